# Builds a firmware project with fwsplice_add_image and checks the image's bytes against the
# bootloader, the 0xFF gap and objcopy's raw binary of the app, and that the build remakes the
# image exactly when an input or the tool changes. Called by CTest with MODE (installed: the
# package; subdirectory: add_subdirectory; fetchcontent: FetchContent from a clone of the
# committed sources), CROSS (ON: tests/firmware-cross, C only, for a Cortex-M0+; OFF:
# tests/firmware, built for the host), BUILD_DIR, CONFIG (the configuration built there),
# SOURCE_DIR, GENERATOR, CXX_COMPILER and WORK_DIR. The cross builds also meet what firmware
# builds bring: the subdirectory one a parent that names only its C compiler, with target
# flags in the environment; the FetchContent one a multi-config generator, where Ninja is at
# hand. FetchContent fetches the commit that the README pins, for the host with the generator
# given too, so that a pin that no longer builds fails the suite.
cmake_minimum_required(VERSION 3.19)

include("${SOURCE_DIR}/cmake/run.cmake")
include("${SOURCE_DIR}/tests/image_by_hand.cmake")

# Runs a configure command that must fail with a message matching `expected`.
function(expect_configure_failure why expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(status EQUAL 0 OR NOT out MATCHES "${expected}")
        message(FATAL_ERROR "${why}: configuring did not fail with '${expected}':\n${out}")
    endif()
endfunction()

# Sets <variable> to the README's FetchContent snippet, fetching from this checkout, and
# <pin-variable> to the commit it pins.
function(readme_snippet variable pin_variable)
    file(READ "${SOURCE_DIR}/README.md" readme)
    string(REGEX MATCH "\n(include\\(FetchContent\\)\n[^`]*FetchContent_MakeAvailable\\(fwsplice\\))"
        snippet "${readme}")
    set(snippet "${CMAKE_MATCH_1}")
    if(NOT snippet MATCHES "GIT_TAG ([^ )\n]+)")
        message(FATAL_ERROR "the README has no FetchContent snippet with a GIT_TAG")
    endif()
    set(${pin_variable} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    string(REPLACE "<url of fwsplice>" "\"${SOURCE_DIR}\"" snippet "${snippet}")
    set(${variable} "${snippet}" PARENT_SCOPE)
endfunction()

set(source "${WORK_DIR}/src")
set(build "${WORK_DIR}/build")
set(step_link "Linking C(XX)? executable (Debug/)?app")
set(step_merge "fwsplice: merging firmware")

# Builds the project and checks that exactly the steps named after `why` ran; with none, that
# Ninja found nothing to do.
function(build why)
    # In parallel, so that under make the host build meets the parent's job server.
    run(output COMMAND "${CMAKE_COMMAND}" --build "${build}" --parallel 2)
    no_warning("${why}" "${output}")
    if(NOT ARGN AND GENERATOR MATCHES "Ninja" AND NOT output MATCHES "no work to do")
        message(FATAL_ERROR "${why}: ninja ran steps:\n${output}")
    endif()
    foreach(step link merge)
        list(FIND ARGN ${step} wanted)
        if(NOT output MATCHES "${step_${step}}" AND NOT wanted EQUAL -1)
            message(FATAL_ERROR "${why}: the ${step} step did not run:\n${output}")
        elseif(output MATCHES "${step_${step}}" AND wanted EQUAL -1)
            message(FATAL_ERROR "${why}: the ${step} step ran:\n${output}")
        endif()
    endforeach()
endfunction()

function(check_image why)
    file(STRINGS "${build}/CMakeCache.txt" objcopy REGEX "^CMAKE_OBJCOPY:")
    string(REGEX REPLACE "^[^=]*=" "" objcopy "${objcopy}")
    run(output COMMAND "${objcopy}" -O binary "${app}" "${WORK_DIR}/app-reference.bin")
    image_by_hand(expected "${source}/boot.bin" "${WORK_DIR}/app-reference.bin")
    file(SIZE "${WORK_DIR}/app-reference.bin" app_size)
    file(READ "${image}" image HEX)
    if(NOT image STREQUAL expected OR app_size EQUAL 0)
        message(FATAL_ERROR "${why}: firmware.bin is not the bootloader, the gap and the app")
    endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(app_source app.cpp)
set(image "${build}/firmware.bin")
find_program(NINJA ninja)
if(CROSS AND MODE STREQUAL "fetchcontent" AND NINJA)
    set(GENERATOR "Ninja Multi-Config")
endif()
# A multi-config generator builds the app per configuration (Debug by default) and the tool
# once, as Release.
set(host "host")
set(app "${build}/app")
if(GENERATOR MATCHES "Multi-Config|^Visual Studio|^Xcode")
    set(host "host/Release")
    set(app "${build}/Debug/app")
endif()
set(configure "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -G "${GENERATOR}")
if(CROSS)
    set(app_source app.c)
    set(image "${build}/images/release/firmware.bin")
    if(GENERATOR MATCHES "Multi-Config")
        set(image "${build}/images/Debug/firmware.bin")
    endif()
    file(COPY "${SOURCE_DIR}/tests/firmware-cross/" DESTINATION "${source}")
    if(MODE STREQUAL "subdirectory")
        set(target_flags "-mcpu=cortex-m0plus -mthumb")
        set(ENV{CFLAGS} "${target_flags} -ffreestanding")
        set(ENV{CXXFLAGS} "${target_flags}")
        set(ENV{LDFLAGS} "${target_flags}")
        list(APPEND configure -DCMAKE_C_COMPILER=arm-none-eabi-gcc
            -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY
            "-DCMAKE_EXE_LINKER_FLAGS=${target_flags} -nostartfiles")
    else()
        list(APPEND configure "-DCMAKE_TOOLCHAIN_FILE=${source}/cortex-m0plus.cmake")
    endif()
else()
    file(COPY "${SOURCE_DIR}/tests/firmware/" DESTINATION "${source}")
    list(APPEND configure "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
file(WRITE "${source}/boot.bin" "bootloader 1: jumps to 0x2000\n")
if(MODE STREQUAL "installed")
    run(output COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --config "${CONFIG}"
        --prefix "${WORK_DIR}/prefix")
    # A cross toolchain file confines find_package to the target's root: the host package is
    # named directly, as the README says.
    list(APPEND configure "-Dfwsplice_DIR=${WORK_DIR}/prefix/share/cmake/fwsplice")
    set(tool "${WORK_DIR}/prefix/bin/fwsplice-image")
elseif(MODE STREQUAL "subdirectory")
    list(APPEND configure "-DFWSPLICE_SOURCE_DIR=${SOURCE_DIR}")
    set(tool "${build}/fwsplice/${host}/fwsplice-image")
else()
    # The README's FetchContent snippet as it stands, fetching from this checkout: cross, the
    # commit under test; for the host, the commit it pins, so that a pin that no longer builds
    # a firmware project fails here. The checkout may be another user's.
    set(git git -c safe.directory=* -C "${SOURCE_DIR}")
    execute_process(COMMAND ${git} rev-parse HEAD RESULT_VARIABLE status OUTPUT_VARIABLE head
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
        message("fwsplice: ${SOURCE_DIR} is not a git checkout, so FetchContent is not tested")
        return()
    endif()
    readme_snippet(snippet pin)
    if(CROSS)
        string(REPLACE "${pin}" "${head}" snippet "${snippet}")
    endif()
    file(WRITE "${source}/fetch-fwsplice.cmake" "${snippet}\n")
    # From source, even where an installed fwsplice would be found.
    list(APPEND configure -DFWSPLICE_FETCH=ON -DFETCHCONTENT_TRY_FIND_PACKAGE_MODE=NEVER)
    set(tool "${build}/_deps/fwsplice-build/${host}/fwsplice-image")
endif()
run(output COMMAND ${configure})
no_warning("configuring" "${output}")

build("first build" link merge)
check_image("first build")
if(CROSS)
    # The tool that the build made runs here: a program for the build machine.
    execute_process(COMMAND "${tool}" --version RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 0 OR NOT out MATCHES "^fwsplice-image ")
        message(FATAL_ERROR "${tool} did not run on the build machine: ${status} ${out}")
    endif()
else()
    run(output COMMAND "${app}")
    if(NOT output STREQUAL "release 1: 8192 8192 0 100 8292\n")
        message(FATAL_ERROR "the app, using the layout header, printed '${output}'")
    endif()
endif()
build("second build")
if(MODE STREQUAL "subdirectory")
    # A parent's build compiles only what the helper runs; fwsplice::fwsplice when asked.
    get_filename_component(host_dir "${tool}" DIRECTORY)
    if(EXISTS "${host_dir}/fwsplice")
        message(FATAL_ERROR "the parent's build compiled fwsplice, which the helper never runs")
    endif()
    run(output COMMAND "${CMAKE_COMMAND}" --build "${build}" --target fwsplice_host_fwsplice)
    if(NOT EXISTS "${host_dir}/fwsplice")
        message(FATAL_ERROR "fwsplice::fwsplice was not built when asked for")
    endif()
endif()
make_newer("${source}/boot.bin" "${image}")
build("bootloader touched" merge)
file(WRITE "${source}/boot.bin" "bootloader 2\n")
make_newer("${source}/boot.bin" "${image}")
build("bootloader changed" merge)
check_image("bootloader changed")
file(READ "${source}/${app_source}" app_text)
string(REPLACE "release 1" "release 2" app_text "${app_text}")
file(WRITE "${source}/${app_source}" "${app_text}")
make_newer("${source}/${app_source}" "${app}")
build("app changed" link merge)
check_image("app changed")
if(MODE STREQUAL "fetchcontent")
    make_newer("${build}/_deps/fwsplice-src/src/image_main.cpp" "${tool}")
    build("fwsplice's source changed" merge)
else()
    make_newer("${tool}" "${image}")
    build("fwsplice changed" merge)
endif()
build("nothing changed")
if(host STREQUAL "host/Release")
    # The other configuration uses the same host tool, compiled once.
    run(output COMMAND "${CMAKE_COMMAND}" --build "${build}" --config Release)
    if(output MATCHES "Building CXX object [^\n]*fwsplice_")
        message(FATAL_ERROR "the Release configuration built the host tool again:\n${output}")
    endif()
    run(output COMMAND "${CMAKE_COMMAND}" --build "${build}" --config Release)
    if(NOT output MATCHES "no work to do")
        message(FATAL_ERROR "the Release configuration, unchanged, ran steps:\n${output}")
    endif()
endif()

if(CROSS)
    if(MODE STREQUAL "subdirectory")
        # Without a C++17 compiler for the build machine, configuring says what to do.
        expect_configure_failure("no host compiler"
            "no C\\+\\+17 compiler for the build machine.*fwsplice_DIR"
            ${configure} -B "${WORK_DIR}/no-host-compiler" -DFWSPLICE_HOST_CXX_COMPILER=/bin/false)
    endif()
    return()
endif()
if(MODE STREQUAL "subdirectory" OR MODE STREQUAL "installed")
    include("${SOURCE_DIR}/tests/firmware_${MODE}.cmake")
endif()

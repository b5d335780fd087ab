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

# Runs a configure command that must fail with a message matching `expected`.
function(expect_configure_failure why expected)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(status EQUAL 0 OR NOT out MATCHES "${expected}")
        message(FATAL_ERROR "${why}: configuring did not fail with '${expected}':\n${out}")
    endif()
endfunction()

set(source "${WORK_DIR}/src")
set(build "${WORK_DIR}/build")
set(step_link "Linking C(XX)? executable (Debug/)?app")
set(step_convert "fwsplice: converting app")
set(step_merge "fwsplice: merging firmware")

# Builds the project and checks that exactly the steps named after `why` ran; with none, that
# Ninja found nothing to do.
function(build why)
    # In parallel, so that under make the host build meets the parent's job server.
    run("${CMAKE_COMMAND}" --build "${build}" --parallel 2)
    no_warning("${why}")
    if(NOT ARGN AND GENERATOR MATCHES "Ninja" AND NOT output MATCHES "no work to do")
        message(FATAL_ERROR "${why}: ninja ran steps:\n${output}")
    endif()
    foreach(step link convert merge)
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
    run("${objcopy}" -O binary "${app}" "${WORK_DIR}/app-reference.bin")
    file(READ "${source}/boot.bin" boot HEX)
    file(READ "${WORK_DIR}/app-reference.bin" app HEX)
    file(READ "${image}" image HEX)
    string(LENGTH "${boot}" boot_digits)
    math(EXPR gap_bytes "8192 - ${boot_digits} / 2")
    string(REPEAT "ff" ${gap_bytes} gap)
    if(NOT image STREQUAL "${boot}${gap}${app}" OR app STREQUAL "")
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
    run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --config "${CONFIG}"
        --prefix "${WORK_DIR}/prefix")
    # A cross toolchain file confines find_package to the target's root: the host package is
    # named directly, as the README says.
    list(APPEND configure "-Dfwsplice_DIR=${WORK_DIR}/prefix/share/cmake/fwsplice")
    set(tool "${WORK_DIR}/prefix/bin/fwsplice")
elseif(MODE STREQUAL "subdirectory")
    list(APPEND configure "-DFWSPLICE_SOURCE_DIR=${SOURCE_DIR}")
    set(tool "${build}/fwsplice/${host}/fwsplice")
else()
    # The commit that the README's FetchContent snippet pins, as a user would fetch it: a pin
    # that no longer builds a firmware project fails here. The checkout may be another user's.
    set(git git -c safe.directory=* -C "${SOURCE_DIR}")
    execute_process(COMMAND ${git} rev-parse HEAD RESULT_VARIABLE status OUTPUT_QUIET)
    if(NOT status EQUAL 0)
        message("fwsplice: ${SOURCE_DIR} is not a git checkout, so FetchContent is not tested")
        return()
    endif()
    file(READ "${SOURCE_DIR}/README.md" readme)
    if(NOT readme MATCHES "GIT_TAG ([^ )\n]+)")
        message(FATAL_ERROR "the README has no FetchContent snippet with a GIT_TAG")
    endif()
    list(APPEND configure "-DFWSPLICE_GIT=${SOURCE_DIR}" "-DFWSPLICE_TAG=${CMAKE_MATCH_1}")
    set(tool "${build}/_deps/fwsplice-build/${host}/fwsplice")
endif()
run(${configure})
no_warning("configuring")

build("first build" link convert merge)
check_image("first build")
if(CROSS)
    # The tool that the build made runs here: a program for the build machine.
    execute_process(COMMAND "${tool}" RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 255 OR NOT out MATCHES "Usage. fwsplice")
        message(FATAL_ERROR "${tool} did not run on the build machine: ${status} ${out}")
    endif()
else()
    run("${app}")
    if(NOT output STREQUAL "release 1: 8192 8192 0 100 8292\n")
        message(FATAL_ERROR "the app, using the layout header, printed '${output}'")
    endif()
endif()
build("second build")
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
build("app changed" link convert merge)
check_image("app changed")
if(MODE STREQUAL "fetchcontent")
    make_newer("${build}/_deps/fwsplice-src/src/main.cpp" "${tool}")
    build("fwsplice's source changed" merge)
else()
    make_newer("${tool}" "${image}")
    build("fwsplice changed" merge)
endif()
build("nothing changed")
if(host STREQUAL "host/Release")
    # The other configuration uses the same host tool, compiled once.
    run("${CMAKE_COMMAND}" --build "${build}" --config Release)
    if(output MATCHES "Building CXX object [^\n]*fwsplice_")
        message(FATAL_ERROR "the Release configuration built the host tool again:\n${output}")
    endif()
    run("${CMAKE_COMMAND}" --build "${build}" --config Release)
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
if(MODE STREQUAL "subdirectory")
    # As a subproject, fwsplice leaves the parent's variables and cache as they were, but for
    # its own FWSPLICE_* and fwsplice_* names: the same parent (whose project() has no VERSION)
    # is configured without fwsplice and with it, and what it sees at its end is compared.
    file(WRITE "${WORK_DIR}/parent/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(firmware LANGUAGES CXX)
if(WITH_FWSPLICE)
    add_subdirectory(\"${SOURCE_DIR}\" fwsplice)
endif()
get_cmake_property(names VARIABLES)
list(FILTER names EXCLUDE REGEX \"^(fwsplice|FWSPLICE)_|^WITH_FWSPLICE$\")
foreach(name IN LISTS names)
    string(APPEND seen \"\${name}=\${\${name}}\\n\")
endforeach()
file(WRITE \"\${CMAKE_BINARY_DIR}/../\${WITH_FWSPLICE}.txt\" \"\${seen}\")
")
    foreach(with OFF ON)
        run("${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/${with}"
            -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=${with})
        file(READ "${WORK_DIR}/parent/${with}.txt" variables_${with})
        string(REPLACE "${WORK_DIR}/parent/${with}" "<build>" variables_${with}
            "${variables_${with}}")
        file(STRINGS "${WORK_DIR}/parent/${with}/CMakeCache.txt" cache_${with}
            REGEX "^[A-Za-z_][^:#]*:[A-Z]+=")
        list(TRANSFORM cache_${with} REPLACE "${WORK_DIR}/parent/${with}" "<build>")
        # CMake counts the directories it reads.
        list(FILTER cache_${with} EXCLUDE
            REGEX "^(fwsplice|FWSPLICE)_|^WITH_FWSPLICE:|^CMAKE_NUMBER_OF_MAKEFILES:")
    endforeach()
    if(NOT variables_ON STREQUAL variables_OFF)
        file(WRITE "${WORK_DIR}/parent/diff-OFF.txt" "${variables_OFF}")
        file(WRITE "${WORK_DIR}/parent/diff-ON.txt" "${variables_ON}")
        message(FATAL_ERROR "fwsplice as a subdirectory changed the parent's variables: "
            "compare ${WORK_DIR}/parent/diff-OFF.txt and diff-ON.txt")
    endif()
    list(REMOVE_ITEM cache_ON ${cache_OFF})
    if(cache_ON)
        message(FATAL_ERROR "fwsplice as a subdirectory changed the parent's cache: ${cache_ON}")
    endif()
    # The build machine's compiler by name, as CMAKE_CXX_COMPILER takes one; or not found.
    get_filename_component(compiler_name "${CXX_COMPILER}" NAME)
    run("${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/by-name"
        -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=ON
        "-DFWSPLICE_HOST_CXX_COMPILER=${compiler_name}")
    file(STRINGS "${WORK_DIR}/parent/by-name/CMakeCache.txt" found
        REGEX "^FWSPLICE_HOST_CXX_PATH:")
    string(REGEX REPLACE "^[^=]*=" "" found "${found}")
    get_filename_component(found_name "${found}" NAME)
    if(NOT IS_ABSOLUTE "${found}" OR NOT found_name STREQUAL compiler_name)
        message(FATAL_ERROR "FWSPLICE_HOST_CXX_COMPILER=${compiler_name} was not found: ${found}")
    endif()
    expect_configure_failure("no such compiler"
        "looked for no-such-c\\+\\+ \\(FWSPLICE_HOST_CXX_COMPILER\\) on the PATH"
        "${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/no-such"
        -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=ON
        -DFWSPLICE_HOST_CXX_COMPILER=no-such-c++)
    if(EXISTS "${build}/fwsplice/tests")
        message(FATAL_ERROR "fwsplice as a subdirectory configured its tests")
    endif()
    run("${CMAKE_COMMAND}" --install "${build}" --prefix "${WORK_DIR}/prefix")
    file(GLOB_RECURSE installed "${WORK_DIR}/prefix/*")
    if(installed)
        message(FATAL_ERROR "fwsplice as a subdirectory installed ${installed}")
    endif()
    return()
endif()

if(MODE STREQUAL "fetchcontent")
    return()
endif()

# Misuse fails at configure time, with a message that says what is wrong.
set(misuse_no_bootloader "fwsplice_add_image(image SKETCH app.bin)" "BOOTLOADER is missing")
set(misuse_no_sketch "fwsplice_add_image(image BOOTLOADER boot.bin)" "SKETCH is missing")
set(misuse_missing_file "fwsplice_add_image(image BOOTLOADER nowhere.bin SKETCH app.bin)"
    "BOOTLOADER .*/nowhere.bin does not exist")
set(misuse_no_objcopy "set(CMAKE_OBJCOPY \"\")\nset(CMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH FALSE)\nset(CMAKE_FIND_USE_CMAKE_SYSTEM_PATH FALSE)\nfwsplice_add_image(image BOOTLOADER boot.bin SKETCH app)"
    "needs objcopy, which was not found: set CMAKE_OBJCOPY")
set(misuse_no_target "fwsplice_add_image(image BOOTLOADER boot.bin SKETCH ap)"
    "SKETCH ap names no target defined so far or in this directory")
set(flash "fwsplice_add_image(image BOOTLOADER boot.bin SKETCH app FLASH_SIZE")
set(not_a_size "is not a size above 0")
set(misuse_flash_zero "${flash} 0)" "FLASH_SIZE 0 ${not_a_size}")
set(misuse_flash_negative "${flash} -8192)" "FLASH_SIZE -8192 ${not_a_size}")
set(misuse_flash_unit "${flash} 64KB)" "FLASH_SIZE 64KB ${not_a_size}")
set(misuse_flash_bare_hex "${flash} 0x)" "FLASH_SIZE 0x ${not_a_size}")
set(misuse_hex_without_origin "${flash} 64K HEX image.hex)"
    "HEX image.hex needs FLASH_ORIGIN")
set(misuse_origin_unit "${flash} 64K FLASH_ORIGIN 8G)" "FLASH_ORIGIN 8G is not an address")
set(misuse_library "add_library(boot STATIC app.cpp)\n${flash} 64K)\nfwsplice_add_image(other BOOTLOADER boot SKETCH app)"
    "BOOTLOADER target boot is a STATIC_LIBRARY, not an executable")
# No empty value, as an unset variable gives, may switch a check off.
set(no_value "is given no value")
set(misuse_flash_empty "${flash} \"\")" "FLASH_SIZE ${no_value}")
set(misuse_origin_unset "${flash} 64K FLASH_ORIGIN \"\${UNSET}\")" "FLASH_ORIGIN ${no_value}")
set(misuse_output_empty "${flash} 64K OUTPUT \"\")" "OUTPUT ${no_value}")
set(misuse_hex_empty "${flash} 64K FLASH_ORIGIN 0 HEX \"\" OUTPUT out.bin)" "HEX ${no_value}")
set(image "fwsplice_add_image(image BOOTLOADER boot.bin SKETCH app")
set(misuse_same_file "fwsplice_add_image(image BOOTLOADER app.bin SKETCH ./app.bin)"
    "BOOTLOADER and SKETCH are both app.bin")
set(misuse_same_target "add_executable(alias ALIAS app)\nfwsplice_add_image(image BOOTLOADER alias SKETCH app)"
    "BOOTLOADER and SKETCH are both alias")
set(misuse_output_list "string(ASCII 59 semicolon)\n${image} OUTPUT \"a\${semicolon}b\")"
    "OUTPUT a.b is a list, not one file")
set(misuse_output_is_hex "${image} FLASH_ORIGIN 0 OUTPUT fw.out HEX fw.out)"
    "OUTPUT and HEX are both .*/fw.out")
set(misuse_output_is_input "fwsplice_add_image(image BOOTLOADER boot.bin SKETCH app.bin OUTPUT \${CMAKE_CURRENT_SOURCE_DIR}/app.bin)"
    "OUTPUT .*/app.bin is SKETCH app.bin: the image would replace an input")
file(WRITE "${source}/app.bin" "app")
foreach(misuse no_bootloader no_sketch missing_file no_objcopy no_target flash_zero
        flash_negative flash_unit flash_bare_hex hex_without_origin origin_unit library
        flash_empty origin_unset output_empty hex_empty same_file same_target output_list
        output_is_hex output_is_input)
    list(GET misuse_${misuse} 0 call)
    list(GET misuse_${misuse} 1 expected)
    file(WRITE "${source}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(misuse LANGUAGES CXX)
find_package(fwsplice CONFIG REQUIRED)
add_executable(app app.cpp)
${call}
")
    expect_configure_failure(${misuse} "${expected}" "${CMAKE_COMMAND}" -S "${source}"
        -B "${WORK_DIR}/misuse-${misuse}" -G "${GENERATOR}" "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
endforeach()

foreach(installed bin/fwsplice libexec/fwsplice/fwsplice-check share/man/man1/fwsplice.1.gz include/fwsplice/combined_image.hpp
        include/fwsplice/combined_image.h share/fwsplice/ld/fwsplice.ld
        share/doc/fwsplice/copyright share/doc/fwsplice/changelog.gz)
    if(NOT EXISTS "${WORK_DIR}/prefix/${installed}")
        message(FATAL_ERROR "${installed} was not installed")
    endif()
endforeach()

# The checks before a merge, with each generator at hand: FLASH_SIZE exactly full, one byte
# over and again after that failure, then raised in CMakeLists.txt; bootloaders of 8192 bytes,
# of 8193 with data in the last byte, and longer but padded with 0xFF. A failed check leaves
# no image behind.
set(generators "Unix Makefiles")
if(NINJA)
    list(APPEND generators Ninja)
endif()
set(edge "${WORK_DIR}/edge")
set(tool "${WORK_DIR}/prefix/bin/fwsplice")
string(REPEAT "b" 8192 region)
file(WRITE "${edge}/empty.bin" "")
run("${tool}" "${edge}/empty.bin" "${edge}/empty.bin" "${edge}/erased.bin")
file(WRITE "${edge}/region.bin" "${region}")
run("${tool}" "${edge}/region.bin" "${edge}/erased.bin" "${edge}/padded.bin")
function(edge_project flash_size)
    file(WRITE "${edge}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(edge LANGUAGES NONE)
find_package(fwsplice CONFIG REQUIRED)
fwsplice_add_image(edge BOOTLOADER boot.bin SKETCH sketch.bin FLASH_SIZE ${flash_size})
")
endfunction()
function(edge_build why expected_size failure)
    execute_process(COMMAND "${CMAKE_COMMAND}" --build "${edge}/build"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(image "${edge}/build/edge.bin")
    set(size 0)
    if(EXISTS "${image}")
        file(SIZE "${image}" size)
    endif()
    # A failed check stops the build before the merge: the tool never prints a line.
    if(failure AND (status EQUAL 0 OR NOT out MATCHES "${failure}" OR EXISTS "${image}" OR
            out MATCHES "Opened bootloader file"))
        message(FATAL_ERROR "${generator}, ${why}: no failure with '${failure}':\n${out}")
    elseif(NOT failure AND (NOT status EQUAL 0 OR NOT size EQUAL expected_size))
        message(FATAL_ERROR "${generator}, ${why}: no ${expected_size}-byte image:\n${out}")
    endif()
endfunction()
foreach(generator IN LISTS generators)
    file(REMOVE_RECURSE "${edge}/build")
    edge_project(8292)
    file(COPY_FILE "${edge}/region.bin" "${edge}/boot.bin")
    string(REPEAT "s" 100 sketch)
    file(WRITE "${edge}/sketch.bin" "${sketch}")
    run("${CMAKE_COMMAND}" -S "${edge}" -B "${edge}/build" -G "${generator}"
        "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
    edge_build("exactly full" 8292 "")
    file(APPEND "${edge}/sketch.bin" "s")
    make_newer("${edge}/sketch.bin" "${edge}/build/edge.bin")
    set(too_large "image .*/edge.bin would be 8293 bytes, larger than FLASH_SIZE 8292 bytes")
    edge_build("one byte over" 0 "${too_large}")
    edge_build("one byte over, built again" 0 "${too_large}")
    edge_project(0x2065)
    edge_build("FLASH_SIZE raised" 8293 "")
    file(APPEND "${edge}/boot.bin" "x")
    make_newer("${edge}/boot.bin" "${edge}/build/edge.bin")
    edge_build("8193-byte bootloader" 0
        "bootloader .*/boot.bin has data past its 8192-byte region: the byte at offset 8192")
    file(COPY_FILE "${edge}/padded.bin" "${edge}/boot.bin")
    edge_build("bootloader padded with 0xFF" 8293 "")
endforeach()

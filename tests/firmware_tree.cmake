# Builds tests/firmware-tree (a bootloader target and an app target in one tree, C for a
# Cortex-M0+) with fwsplice from its sources: with Unix Makefiles, into a nested folder, with
# FLASH_ORIGIN and HEX, then with Ninja Multi-Config in cross-config mode, where each
# configuration's image must be made from that configuration's programs. Called by CTest with
# SOURCE_DIR and WORK_DIR.
cmake_minimum_required(VERSION 3.20)

include("${SOURCE_DIR}/cmake/run.cmake")
include("${SOURCE_DIR}/tests/image_by_hand.cmake")
set(source "${SOURCE_DIR}/tests/firmware-tree")
file(REMOVE_RECURSE "${WORK_DIR}")

# The image as a user would make it by hand from the two ELF files of one configuration.
function(check_image why build config)
    if(config)
        set(config "/${config}")
    endif()
    foreach(part bootloader app)
        run(output COMMAND arm-none-eabi-objcopy -O binary "${build}/${part}${config}/${part}"
            "${WORK_DIR}/${part}.bin")
    endforeach()
    image_by_hand(expected "${WORK_DIR}/bootloader.bin" "${WORK_DIR}/app.bin")
    file(READ "${WORK_DIR}/app.bin" app HEX)
    file(READ "${image}" made HEX)
    if(NOT made STREQUAL expected)
        message(FATAL_ERROR "${why}: ${image} is not the bootloader, the gap and the app")
    endif()
    set(app "${app}" PARENT_SCOPE)
endfunction()

# Checks that a HEX file, read back by another tool, is the image at FLASH_ORIGIN; cropped to
# the flash, so that a HEX put at a wrong address never reads back into gigabytes.
function(check_hex why hex image)
    run(output COMMAND srec_cat "${hex}" -intel -crop 0x08000000 0x08010000 -offset -0x08000000
        -o "${WORK_DIR}/from-hex.bin" -binary)
    file(READ "${WORK_DIR}/from-hex.bin" from_hex HEX)
    file(READ "${image}" made HEX)
    if(NOT from_hex STREQUAL made)
        message(FATAL_ERROR "${why}: ${hex} is not ${image} at 0x08000000")
    endif()
endfunction()

# Builds, and expects a failure that says `expected` and leaves neither image nor HEX.
function(expect_build_failure why expected)
    execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(status EQUAL 0 OR NOT out MATCHES "${expected}" OR EXISTS "${image}" OR EXISTS "${hex}")
        message(FATAL_ERROR "${why}: no failure with '${expected}', or an image left:\n${out}")
    endif()
endfunction()

set(build "${WORK_DIR}/makefiles")
set(image "${build}/images/nested/firmware.bin")
set(hex "${build}/images/nested/firmware.hex")
set(configure -S "${source}" "-DFWSPLICE_SOURCE_DIR=${SOURCE_DIR}"
    "-DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/tests/firmware-cross/cortex-m0plus.cmake")
run(output COMMAND "${CMAKE_COMMAND}" ${configure} -B "${build}" -G "Unix Makefiles")
no_warning("configuring with Makefiles" "${output}")
# In parallel, so that the host build meets the parent's job server.
run(output COMMAND "${CMAKE_COMMAND}" --build "${build}" --parallel 2)
no_warning("building with Makefiles in parallel" "${output}")
if(NOT output MATCHES "fwsplice: firmware.bin: [0-9]+ of 65536 bytes of flash \\([0-9.]+%\\); bootloader [0-9]+ of 8192")
    message(FATAL_ERROR "no flash summary in the build log:\n${output}")
endif()
check_image("Makefiles" "${build}" "")
check_hex("Makefiles" "${hex}" "${image}")
run(output COMMAND "${CMAKE_COMMAND}" --build "${build}")
if(output MATCHES "fwsplice: merging")
    message(FATAL_ERROR "a build with nothing changed remade the image:\n${output}")
endif()

# The same programs as firmware projects ship them, as files: the bootloader as Intel HEX, the
# app as its ELF file and as S-records, in a project that enables no language and has no
# objcopy, under names that a shell or make would read otherwise. Regenerating a file remakes
# exactly the images that use it; a file that turns from raw to HEX needs no new configure.
set(files "${WORK_DIR}/files")
set(odd "app $x 'q' #1")
file(MAKE_DIRECTORY "${files}")
run(output COMMAND arm-none-eabi-objcopy -O ihex "${build}/bootloader/bootloader" "${files}/bootloader.hex")
configure_file("${build}/app/app" "${files}/${odd}.elf" COPYONLY)
run(output COMMAND arm-none-eabi-objcopy -O srec "${build}/app/app" "${files}/app.srec")
run(output COMMAND arm-none-eabi-objcopy -O binary "${build}/app/app" "${files}/app.image")
file(WRITE "${files}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(files LANGUAGES NONE)
set(CMAKE_OBJCOPY \"\")
add_subdirectory(\"${SOURCE_DIR}\" fwsplice)
fwsplice_add_image(elf BOOTLOADER bootloader.hex SKETCH \"${odd}.elf\" FLASH_SIZE 64K
    FLASH_ORIGIN 0x08000000 OUTPUT \"${odd}.bin\" HEX elf.hex)
fwsplice_add_image(srec BOOTLOADER bootloader.hex SKETCH app.srec FLASH_ORIGIN 0x08000000)
fwsplice_add_image(raw BOOTLOADER bootloader.hex SKETCH app.image)
")
run(output COMMAND "${CMAKE_COMMAND}" -S "${files}" -B "${files}/build" -G "Unix Makefiles")
no_warning("configuring a project of files" "${output}")
run(output COMMAND "${CMAKE_COMMAND}" --build "${files}/build")
no_warning("building a project of files" "${output}")
foreach(made "${odd}" srec raw)
    file(READ "${files}/build/${made}.bin" from_files HEX)
    file(READ "${image}" from_targets HEX)
    if(NOT from_files STREQUAL from_targets)
        message(FATAL_ERROR "${made}.bin, made from files, is not the image made from targets")
    endif()
endforeach()
check_hex("a project of files" "${files}/build/elf.hex" "${image}")
run(output COMMAND "${CMAKE_COMMAND}" --build "${files}/build")
if(output MATCHES "fwsplice: merging")
    message(FATAL_ERROR "a project of files with nothing changed remade:\n${output}")
endif()
make_newer("${files}/bootloader.hex" "${files}/build/srec.bin")
run(output COMMAND "${CMAKE_COMMAND}" --build "${files}/build")
if(NOT output MATCHES "merging elf" OR NOT output MATCHES "merging srec" OR NOT output MATCHES "merging raw")
    message(FATAL_ERROR "a regenerated bootloader.hex did not remake every image:\n${output}")
endif()
file(COPY_FILE "${files}/app.srec" "${files}/app.image")
make_newer("${files}/app.image" "${files}/build/raw.bin")
run(output COMMAND "${CMAKE_COMMAND}" --build "${files}/build")
if(output MATCHES "merging (elf|srec)" OR NOT output MATCHES "merging raw")
    message(FATAL_ERROR "app.image, now S-records, remade other images or not its own:\n${output}")
endif()
file(READ "${files}/build/raw.bin" from_files HEX)
if(NOT from_files STREQUAL from_targets)
    message(FATAL_ERROR "app.image, now S-records, was not read as such")
endif()
# Option bytes far above the app, in the app's HEX: refused at once, naming FLASH_SIZE and them.
run(output COMMAND arm-none-eabi-objcopy -O ihex "${build}/app/app" "${files}/app.hex")
file(READ "${files}/app.hex" app_hex)
string(REPLACE ":00000001FF" ":020000041FFFDC\n:0400000001020304F2\n:00000001FF" app_hex "${app_hex}")
file(WRITE "${files}/app.hex" "${app_hex}")
file(APPEND "${files}/CMakeLists.txt"
    "fwsplice_add_image(options BOOTLOADER bootloader.hex SKETCH app.hex FLASH_SIZE 64K)\n")
run(output COMMAND "${CMAKE_COMMAND}" "${files}/build")
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${files}/build" --target options
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(status EQUAL 0 OR NOT out MATCHES "larger than FLASH_SIZE 65536 bytes: [^\n]*app.hex has data at 0x1fff0000, past the 57344 bytes")
    message(FATAL_ERROR "option bytes in app.hex were not refused:\n${out}")
endif()

# A setting changed on an image that built remakes it: a FLASH_SIZE too small now fails the
# build and leaves no image, and one large enough makes it again.
run(output COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_SIZE=8K)
expect_build_failure("FLASH_SIZE lowered" "larger than FLASH_SIZE 8192 bytes")
run(output COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_SIZE=64K)
run(output COMMAND "${CMAKE_COMMAND}" --build "${build}")
check_image("FLASH_SIZE back" "${build}" "")
# A changed FLASH_ORIGIN reruns the check, which finds both programs linked for another one;
# so does an app linked at the flash base.
run(output COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_ORIGIN=0x08001000)
expect_build_failure("FLASH_ORIGIN changed" "fwsplice: bootloader [^ ]*/bootloader is linked at 0x08000000 and sketch [^ ]*/app at 0x08002000, as for FLASH_ORIGIN 0x08000000, but FLASH_ORIGIN is 0x08001000: FLASH_ORIGIN is likely wrong; set it to 0x08000000")
run(output COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_ORIGIN=0x08000000)
run(output COMMAND "${CMAKE_COMMAND}" --build "${build}")
check_image("FLASH_ORIGIN back" "${build}" "")
run(output COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DAPP_SCRIPT=app-at-base.ld)
expect_build_failure("app linked at the flash base" "fwsplice: sketch [^ ]*/app is linked at 0x08000000, but the image puts it at 0x08002000 \\(FLASH_ORIGIN 0x08000000 \\+ 0x2000\\): link it at 0x08002000")

# Every configuration its own image, from its own programs, however Ninja is driven.
find_program(NINJA ninja)
if(NOT NINJA)
    message("fwsplice: ninja not found, so the multi-config build is not tested")
    return()
endif()
set(build "${WORK_DIR}/multi")
run(output COMMAND "${CMAKE_COMMAND}" ${configure} -B "${build}" -G "Ninja Multi-Config"
    -DCMAKE_CROSS_CONFIGS=all -DCMAKE_DEFAULT_CONFIGS=all)
no_warning("configuring with Ninja Multi-Config" "${output}")
# A fresh tree, driven from another configuration's file, builds this configuration's image.
run(output COMMAND "${NINJA}" -C "${build}" -f build-Debug.ninja firmware:Release)
no_warning("firmware:Release from build-Debug.ninja" "${output}")
set(image "${build}/images/Release/firmware.bin")
check_image("firmware:Release from build-Debug.ninja" "${build}" Release)
run(output COMMAND "${NINJA}" -C "${build}")
no_warning("all configurations" "${output}")
foreach(config Debug Release)
    set(image "${build}/images/${config}/firmware.bin")
    check_image("${config}" "${build}" ${config})
    set(app_${config} "${app}")
endforeach()
if(app_Debug STREQUAL app_Release)
    message(FATAL_ERROR "the Debug and the Release app are the same: the test shows nothing")
endif()

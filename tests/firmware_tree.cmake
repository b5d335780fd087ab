# Builds tests/firmware-tree (a bootloader target and an app target in one tree, C for a
# Cortex-M0+) with fwsplice from its sources: with Unix Makefiles, into a nested folder, with
# FLASH_ORIGIN and HEX, then with Ninja Multi-Config in cross-config mode, where each
# configuration's image must be made from that configuration's programs. Called by CTest with
# SOURCE_DIR and WORK_DIR.
cmake_minimum_required(VERSION 3.20)

include("${SOURCE_DIR}/cmake/run.cmake")
set(source "${SOURCE_DIR}/tests/firmware-tree")
file(REMOVE_RECURSE "${WORK_DIR}")

# The image as a user would make it by hand from the two ELF files of one configuration.
function(check_image why build config)
    if(config)
        set(config "/${config}")
    endif()
    foreach(part bootloader app)
        run(arm-none-eabi-objcopy -O binary "${build}/${part}${config}/${part}"
            "${WORK_DIR}/${part}.bin")
        file(READ "${WORK_DIR}/${part}.bin" ${part} HEX)
    endforeach()
    string(LENGTH "${bootloader}" digits)
    math(EXPR gap_bytes "8192 - ${digits} / 2")
    string(REPEAT "ff" ${gap_bytes} gap)
    file(READ "${image}" made HEX)
    if(NOT made STREQUAL "${bootloader}${gap}${app}")
        message(FATAL_ERROR "${why}: ${image} is not the bootloader, the gap and the app")
    endif()
    set(app "${app}" PARENT_SCOPE)
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
run("${CMAKE_COMMAND}" ${configure} -B "${build}" -G "Unix Makefiles")
no_warning("configuring with Makefiles")
run("${CMAKE_COMMAND}" --build "${build}")
no_warning("building with Makefiles")
if(NOT output MATCHES "fwsplice: firmware.bin: [0-9]+ of 65536 bytes of flash \\([0-9.]+%\\); bootloader [0-9]+ of 8192")
    message(FATAL_ERROR "no flash summary in the build log:\n${output}")
endif()
check_image("Makefiles" "${build}" "")
# The HEX, read back by another tool, is the image at FLASH_ORIGIN.
run(srec_cat "${hex}" -intel -offset -0x08000000 -o "${WORK_DIR}/from-hex.bin" -binary)
file(READ "${WORK_DIR}/from-hex.bin" from_hex HEX)
file(READ "${image}" made HEX)
if(NOT from_hex STREQUAL made)
    message(FATAL_ERROR "${hex} is not ${image} at 0x08000000")
endif()
foreach(part bootloader app)
    run(stat -c %a "${build}/fwsplice-inputs/${part}.bin")
    if(NOT output STREQUAL "644\n")
        message(FATAL_ERROR "the converted ${part} has mode ${output}")
    endif()
endforeach()
run("${CMAKE_COMMAND}" --build "${build}")
if(output MATCHES "fwsplice: (merging|converting)")
    message(FATAL_ERROR "a build with nothing changed remade the image:\n${output}")
endif()

# A changed FLASH_ORIGIN reruns the check, which finds both programs linked for another one;
# so does an app linked at the flash base.
run("${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_ORIGIN=0x08001000)
expect_build_failure("FLASH_ORIGIN changed" "fwsplice: bootloader bootloader is linked at 0x08000000 and sketch app at 0x08002000, as for FLASH_ORIGIN 0x08000000, but FLASH_ORIGIN is 0x08001000: FLASH_ORIGIN is likely wrong; set it to 0x08000000")
run("${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DFLASH_ORIGIN=0x08000000)
run("${CMAKE_COMMAND}" --build "${build}")
check_image("FLASH_ORIGIN back" "${build}" "")
run("${CMAKE_COMMAND}" -S "${source}" -B "${build}" -DAPP_SCRIPT=app-at-base.ld)
expect_build_failure("app linked at the flash base" "fwsplice: sketch app is linked at 0x08000000, but the image puts it at 0x08002000 \\(FLASH_ORIGIN 0x08000000 \\+ 0x2000\\): link it at 0x08002000")

# Every configuration its own image, from its own programs, however Ninja is driven.
find_program(NINJA ninja)
if(NOT NINJA)
    message("fwsplice: ninja not found, so the multi-config build is not tested")
    return()
endif()
set(build "${WORK_DIR}/multi")
run("${CMAKE_COMMAND}" ${configure} -B "${build}" -G "Ninja Multi-Config"
    -DCMAKE_CROSS_CONFIGS=all -DCMAKE_DEFAULT_CONFIGS=all)
no_warning("configuring with Ninja Multi-Config")
# A fresh tree, driven from another configuration's file, builds this configuration's image.
run("${NINJA}" -C "${build}" -f build-Debug.ninja firmware:Release)
no_warning("firmware:Release from build-Debug.ninja")
set(image "${build}/images/Release/firmware.bin")
check_image("firmware:Release from build-Debug.ninja" "${build}" Release)
run("${NINJA}" -C "${build}")
no_warning("all configurations")
foreach(config Debug Release)
    set(image "${build}/images/${config}/firmware.bin")
    check_image("${config}" "${build}" ${config})
    set(app_${config} "${app}")
endforeach()
if(app_Debug STREQUAL app_Release)
    message(FATAL_ERROR "the Debug and the Release app are the same: the test shows nothing")
endif()

# Builds the README's make or Meson recipe exactly as the README gives it (taken from it here),
# for a Cortex-M0+ bootloader and app built with arm-none-eabi-gcc: the image must be the two
# programs' objcopy raw images padded and joined, its HEX must read back as it, a second build
# must do nothing, an edited app must remake it, and a too-small FLASH_SIZE or swapped inputs
# must fail the build and leave no image. Called by CTest with RECIPE (make or meson),
# SOURCE_DIR, TOOL_DIR (where fwsplice-image is, put first on the PATH as an install would),
# LD_DIR (fwsplice.ld) and WORK_DIR.
cmake_minimum_required(VERSION 3.19)

include("${SOURCE_DIR}/cmake/run.cmake")
include("${SOURCE_DIR}/tests/image_by_hand.cmake")
file(REMOVE_RECURSE "${WORK_DIR}")
set(source "${WORK_DIR}/src")
set(tree "${SOURCE_DIR}/tests/firmware-tree")
file(COPY "${tree}/bootloader/bootloader.c" "${tree}/bootloader/bootloader.ld" "${tree}/app/app.ld"
    "${tree}/flash.ld" "${tree}/sections.ld" "${SOURCE_DIR}/tests/firmware-cross/app.c"
    DESTINATION "${source}")
set(ENV{PATH} "${TOOL_DIR}:$ENV{PATH}")

file(READ "${SOURCE_DIR}/README.md" readme)
if(NOT readme MATCHES "\n```${RECIPE}\n([^`]*fwsplice[^`]*)```")
    message(FATAL_ERROR "the README has no ${RECIPE} recipe")
endif()
set(recipe "${CMAKE_MATCH_1}")

set(flags "'-mcpu=cortex-m0plus', '-mthumb', '-ffreestanding', '-Os'")
set(link "'-nostdlib', '-Wl,-e,reset', '-L${source}', '-L${LD_DIR}'")
if(RECIPE STREQUAL "make")
    set(build "${source}")
    set(image "${build}/firmware.bin")
    set(hex "${build}/firmware.hex")
    string(REPLACE "', '" " " make_flags "${flags}")
    string(REPLACE "', '" " " make_link "${link}")
    string(REPLACE "'" "" make_flags "${make_flags}")
    string(REPLACE "'" "" make_link "${make_link}")
    # The recipe first, as the default goal; then how this project makes its programs.
    file(WRITE "${source}/Makefile" "${recipe}
CFLAGS = ${make_flags} -I${SOURCE_DIR}/src
LDFLAGS = ${make_link}
%.elf: %.c %.ld
\tarm-none-eabi-gcc $(CFLAGS) $(LDFLAGS) -T $*.ld $< -o $@
%.hex: %.elf
\tarm-none-eabi-objcopy -O ihex $< $@
.SECONDARY:
")
    set(build_command make -C "${build}")
    set(bootloader "${build}/bootloader.elf")
    set(app "${build}/app.elf")
    set(script "${source}/Makefile")
else()
    set(build "${WORK_DIR}/build")
    set(image "${build}/firmware.bin")
    set(hex "${build}/firmware.hex")
    file(WRITE "${source}/cortex-m0plus.ini" "[binaries]
c = 'arm-none-eabi-gcc'
ar = 'arm-none-eabi-ar'
strip = 'arm-none-eabi-strip'
[host_machine]
system = 'none'
cpu_family = 'arm'
cpu = 'cortex-m0plus'
endian = 'little'
")
    file(WRITE "${source}/meson.build" "project('firmware', 'c')
flags = [${flags}, '-I${SOURCE_DIR}/src']
bootloader = executable('bootloader', 'bootloader.c', c_args: flags,
  link_args: flags + [${link}, '-T' + meson.current_source_dir() / 'bootloader.ld'])
app = executable('app', 'app.c', c_args: flags,
  link_args: flags + [${link}, '-T' + meson.current_source_dir() / 'app.ld'])
${recipe}")
    run(output COMMAND meson setup "${build}" "${source}" --cross-file "${source}/cortex-m0plus.ini")
    set(build_command meson compile -C "${build}")
    set(bootloader "${build}/bootloader")
    set(app "${build}/app")
    set(script "${source}/meson.build")
endif()

# The image as a user would make it by hand from the two programs.
function(check_image why)
    foreach(part bootloader app)
        run(output COMMAND arm-none-eabi-objcopy -O binary "${${part}}" "${WORK_DIR}/${part}.bin")
    endforeach()
    image_by_hand(expected "${WORK_DIR}/bootloader.bin" "${WORK_DIR}/app.bin")
    file(READ "${image}" made HEX)
    run(output COMMAND srec_cat "${hex}" -intel -offset -0x08000000 -o "${WORK_DIR}/from-hex.bin"
        -binary)
    file(READ "${WORK_DIR}/from-hex.bin" from_hex HEX)
    if(NOT made STREQUAL expected OR NOT from_hex STREQUAL made)
        message(FATAL_ERROR "${why}: the image is not the bootloader, the gap and the app, or its "
            "HEX is not the image")
    endif()
endfunction()

# Builds; with `expected`, the build must fail saying so and leave no image and no HEX.
function(build why expected)
    execute_process(COMMAND ${build_command} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
        ERROR_VARIABLE out)
    if(expected AND (status EQUAL 0 OR NOT out MATCHES "${expected}" OR EXISTS "${image}" OR
            EXISTS "${hex}"))
        message(FATAL_ERROR "${why}: no failure with '${expected}', or an image left:\n${out}")
    elseif(NOT expected AND NOT status EQUAL 0)
        message(FATAL_ERROR "${why}: the build failed:\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

build("first build" "")
check_image("first build")
build("second build" "")
if(NOT output MATCHES "(Nothing to be done|is up to date|no work to do)" OR
        output MATCHES "fwsplice: firmware.bin")
    message(FATAL_ERROR "a second build did something:\n${output}")
endif()
file(READ "${source}/app.c" app_text)
string(REPLACE "release 1" "release 2" app_text "${app_text}")
file(WRITE "${source}/app.c" "${app_text}")
make_newer("${source}/app.c" "${image}")
build("app edited" "")
if(NOT output MATCHES "fwsplice: firmware.bin: [0-9]+ of 262144 bytes of flash")
    message(FATAL_ERROR "an edited app did not remake the image:\n${output}")
endif()
check_image("app edited")

# A FLASH_SIZE too small for the image, then the inputs swapped: each in the recipe itself.
file(READ "${script}" text)
string(REPLACE "256K" "8K" small "${text}")
file(WRITE "${script}" "${small}")
make_newer("${script}" "${image}")
make_newer("${source}/app.c" "${image}")
build("FLASH_SIZE too small" "larger than FLASH_SIZE 8192 bytes")
if(RECIPE STREQUAL "make")
    string(REPLACE "bootloader.hex app.elf" "app.elf bootloader.hex" swapped "${text}")
else()
    string(REPLACE "[bootloader, app]" "[app, bootloader]" swapped "${text}")
endif()
file(WRITE "${script}" "${swapped}")
make_newer("${script}" "${source}/app.c")
make_newer("${source}/app.c" "${script}")
build("inputs swapped" "is linked at 0x08000000, but the image puts it at 0x08002000")

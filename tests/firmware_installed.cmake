# The installed package: misuse refused at configure time, the files installed, and the checks
# before a merge with each generator at hand. Included by firmware_project.cmake, with its
# variables.
# Misuse fails at configure time, with a message that says what is wrong.
set(misuse_no_bootloader "fwsplice_add_image(image SKETCH app.bin)" "BOOTLOADER is missing")
set(misuse_no_sketch "fwsplice_add_image(image BOOTLOADER boot.bin)" "SKETCH is missing")
set(misuse_missing_file "fwsplice_add_image(image BOOTLOADER nowhere.bin SKETCH app.bin)"
    "BOOTLOADER .*/nowhere.bin does not exist")
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
foreach(misuse no_bootloader no_sketch missing_file no_target flash_zero
        flash_negative flash_unit flash_bare_hex hex_without_origin origin_unit library
        flash_empty origin_unset same_file same_target output_list
        output_is_hex output_is_input)
    list(GET misuse_${misuse} 0 call)
    list(GET misuse_${misuse} 1 expected)
    file(WRITE "${source}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(misuse LANGUAGES NONE)
find_package(fwsplice CONFIG REQUIRED)
add_executable(app app.cpp)
${call}
")
    expect_configure_failure(${misuse} "${expected}" "${CMAKE_COMMAND}" -S "${source}"
        -B "${WORK_DIR}/misuse-${misuse}" -G "${GENERATOR}" "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
endforeach()

foreach(installed bin/fwsplice bin/fwsplice-image share/man/man1/fwsplice.1.gz
        share/man/man1/fwsplice-image.1.gz include/fwsplice/combined_image.hpp
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
run(output COMMAND "${tool}" "${edge}/empty.bin" "${edge}/empty.bin" "${edge}/erased.bin")
file(WRITE "${edge}/region.bin" "${region}")
run(output COMMAND "${tool}" "${edge}/region.bin" "${edge}/erased.bin" "${edge}/padded.bin")
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
    run(output COMMAND "${CMAKE_COMMAND}" -S "${edge}" -B "${edge}/build" -G "${generator}"
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

# The README's FetchContent snippet takes the installed package where there is one: nothing of
# fwsplice is fetched or built, and the image is made all the same.
readme_snippet(snippet pin)
set(fetched "${WORK_DIR}/fetched")
file(WRITE "${fetched}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.24)
project(fetched LANGUAGES NONE)
${snippet}
fwsplice_add_image(firmware BOOTLOADER boot.bin SKETCH app.bin)
")
file(WRITE "${fetched}/boot.bin" "boot")
file(WRITE "${fetched}/app.bin" "app")
run(output COMMAND "${CMAKE_COMMAND}" -S "${fetched}" -B "${fetched}/build" -G "${GENERATOR}"
    "-Dfwsplice_DIR=${WORK_DIR}/prefix/share/cmake/fwsplice")
run(output COMMAND "${CMAKE_COMMAND}" --build "${fetched}/build")
if(EXISTS "${fetched}/build/_deps/fwsplice-src" OR NOT EXISTS "${fetched}/build/firmware.bin")
    message(FATAL_ERROR "the README's snippet fetched fwsplice though it is installed, or made "
        "no image:\n${output}")
endif()

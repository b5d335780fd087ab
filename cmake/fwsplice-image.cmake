# fwsplice_add_image(<name> BOOTLOADER <file> SKETCH <file-or-executable-target>
#                    [OUTPUT <file>] [FLASH_SIZE <bytes>])
#
# Adds a target <name>, built by default, that merges BOOTLOADER and SKETCH into OUTPUT
# (default: ${CMAKE_CURRENT_BINARY_DIR}/<name>.bin) with fwsplice::fwsplice. A SKETCH that
# names an executable target, defined before or after this call in the same directory, is
# first turned into a raw binary with ${CMAKE_OBJCOPY} -O binary. Before each merge the build
# fails, and removes any old OUTPUT, when the bootloader has bytes other than 0xFF past its
# 8192-byte region (BOOTLOADER and SKETCH swapped, say), or when the image would be larger than
# FLASH_SIZE bytes (decimal or 0x hexadecimal). The image is remade exactly when the
# bootloader, the sketch, FLASH_SIZE or fwsplice changes. Relative BOOTLOADER and SKETCH paths
# are taken from the current source directory, a relative OUTPUT from the current binary
# directory.
function(fwsplice_add_image name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "BOOTLOADER;SKETCH;OUTPUT;FLASH_SIZE" "")
    set(usage "fwsplice_add_image(${name} BOOTLOADER <file> SKETCH <file-or-target> "
        "[OUTPUT <file>] [FLASH_SIZE <bytes>])")
    string(CONCAT usage ${usage})
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${usage}: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_BOOTLOADER)
        message(FATAL_ERROR "${usage}: BOOTLOADER is missing")
    endif()
    if(NOT arg_SKETCH)
        message(FATAL_ERROR "${usage}: SKETCH is missing")
    endif()
    set(flash_size 0)
    if(DEFINED arg_FLASH_SIZE)
        _fwsplice_flash_size(flash_size "${arg_FLASH_SIZE}" "${usage}")
    endif()
    if(NOT arg_OUTPUT)
        set(arg_OUTPUT "${name}.bin")
    endif()
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    _fwsplice_input_file(bootloader "${arg_BOOTLOADER}" BOOTLOADER "${usage}")
    add_custom_target("${name}" ALL DEPENDS "${output}")

    # The limit in a file of its own, rewritten only when it changes: a changed FLASH_SIZE then
    # reruns the check with any generator, not only with those that track command lines.
    set(limit_file "${CMAKE_CURRENT_BINARY_DIR}/${name}.flash-size")
    set(limit_text "${flash_size}\n")
    if(EXISTS "${limit_file}")
        file(READ "${limit_file}" old_limit)
    endif()
    if(NOT old_limit STREQUAL limit_text)
        file(WRITE "${limit_file}" "${limit_text}")
    endif()

    _fwsplice_file_at_hand(sketch_file "${arg_SKETCH}")
    set(rules "${name}" "${bootloader}" "${arg_SKETCH}" "${output}" "${flash_size}"
        "${limit_file}" "${usage}")
    if(TARGET "${arg_SKETCH}" OR sketch_file)
        _fwsplice_image_rules(${rules})
    elseif(CMAKE_VERSION VERSION_LESS 3.19)
        message(FATAL_ERROR "${usage}: SKETCH ${arg_SKETCH} is neither a file nor a target "
            "defined so far: define the target before this call")
    else()
        # A target defined further down in this directory is found once the directory is read.
        # The arguments are quoted now, since a deferred call reads variables only when it runs.
        set(call "cmake_language(DEFER CALL _fwsplice_image_rules")
        foreach(argument IN LISTS rules)
            string(APPEND call " [==[${argument}]==]")
        endforeach()
        cmake_language(EVAL CODE "${call})")
    endif()
endfunction()

# The rules that convert the sketch (for a target), check the inputs and merge them.
function(_fwsplice_image_rules name bootloader sketch_argument output flash_size limit_file
        usage)
    if(TARGET "${sketch_argument}")
        get_target_property(sketch_type "${sketch_argument}" TYPE)
        if(NOT sketch_type STREQUAL "EXECUTABLE")
            message(FATAL_ERROR "${usage}: SKETCH target ${sketch_argument} is a "
                "${sketch_type}, not an executable")
        endif()
        if(NOT CMAKE_OBJCOPY)
            message(FATAL_ERROR "${usage}: SKETCH ${sketch_argument} is a target, and turning "
                "it into a raw binary needs objcopy, which was not found: set CMAKE_OBJCOPY")
        endif()
        set(sketch "${CMAKE_CURRENT_BINARY_DIR}/${name}-sketch.bin")
        add_custom_command(OUTPUT "${sketch}"
            COMMAND "${CMAKE_OBJCOPY}" -O binary "$<TARGET_FILE:${sketch_argument}>" "${sketch}"
            DEPENDS "${sketch_argument}"
            COMMENT "fwsplice: converting ${sketch_argument} to a raw binary"
            VERBATIM)
    else()
        _fwsplice_file_at_hand(sketch "${sketch_argument}")
        if(NOT sketch)
            get_filename_component(sketch "${sketch_argument}" ABSOLUTE
                BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            message(FATAL_ERROR "${usage}: SKETCH ${sketch_argument} names no target defined in "
                "this directory, and ${sketch} does not exist and is not made by the build")
        endif()
    endif()

    # The tool's progress lines stay in the build log: its failure messages are among them.
    # Not every generator makes an output's folder.
    get_filename_component(output_dir "${output}" DIRECTORY)
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_dir}"
        COMMAND fwsplice::check "${output}" "${bootloader}" "${sketch}" "${flash_size}"
        COMMAND fwsplice::fwsplice "${bootloader}" "${sketch}" "${output}"
        DEPENDS fwsplice::fwsplice fwsplice::check "${bootloader}" "${sketch}" "${limit_file}"
        COMMENT "fwsplice: merging ${name}"
        VERBATIM)
endfunction()

# Sets <variable> to FLASH_SIZE as a decimal number of bytes: decimal or 0x hexadecimal, and
# more than 0.
function(_fwsplice_flash_size variable value usage)
    string(LENGTH "${value}" length)
    if(NOT value MATCHES "^([1-9][0-9]*|0[xX][0-9a-fA-F]+)$" OR length GREATER 17)
        message(FATAL_ERROR "${usage}: FLASH_SIZE ${value} is not a number of bytes above 0 "
            "(decimal, or hexadecimal with 0x)")
    endif()
    math(EXPR bytes "${value}")
    if(bytes LESS_EQUAL 0)
        message(FATAL_ERROR "${usage}: FLASH_SIZE ${value} is not a number of bytes above 0")
    endif()
    set(${variable} "${bytes}" PARENT_SCOPE)
endfunction()

# Sets <variable> to the absolute path of a file, taken from the current source directory,
# that exists or is made by the build; else to <variable>-NOTFOUND.
function(_fwsplice_file_at_hand variable file)
    get_filename_component(absolute "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_source_file_property(generated "${absolute}" GENERATED)
    if(EXISTS "${absolute}" OR generated)
        set(${variable} "${absolute}" PARENT_SCOPE)
    else()
        set(${variable} "${variable}-NOTFOUND" PARENT_SCOPE)
    endif()
endfunction()

# Sets <variable> to the absolute path of an input file, which must exist or be made by the
# build.
function(_fwsplice_input_file variable file keyword usage)
    _fwsplice_file_at_hand(absolute "${file}")
    if(NOT absolute)
        get_filename_component(absolute "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        message(FATAL_ERROR "${usage}: ${keyword} ${absolute} does not exist and is not made by "
            "the build")
    endif()
    set(${variable} "${absolute}" PARENT_SCOPE)
endfunction()

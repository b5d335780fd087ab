# fwsplice_add_image(<name> BOOTLOADER <file> SKETCH <file-or-executable-target> [OUTPUT <file>])
#
# Adds a target <name>, built by default, that merges BOOTLOADER and SKETCH into OUTPUT
# (default: ${CMAKE_CURRENT_BINARY_DIR}/<name>.bin) with fwsplice::fwsplice. A SKETCH that
# names an executable target is first turned into a raw binary with ${CMAKE_OBJCOPY} -O binary.
# The image is remade exactly when the bootloader, the sketch or fwsplice changes.
# Relative BOOTLOADER and SKETCH paths are taken from the current source directory, a relative
# OUTPUT from the current binary directory.
function(fwsplice_add_image name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "BOOTLOADER;SKETCH;OUTPUT" "")
    set(usage "fwsplice_add_image(${name} BOOTLOADER <file> SKETCH <file-or-target> [OUTPUT <file>])")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${usage}: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_BOOTLOADER)
        message(FATAL_ERROR "${usage}: BOOTLOADER is missing")
    endif()
    if(NOT arg_SKETCH)
        message(FATAL_ERROR "${usage}: SKETCH is missing")
    endif()
    if(NOT arg_OUTPUT)
        set(arg_OUTPUT "${name}.bin")
    endif()
    get_filename_component(output "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    _fwsplice_input_file(bootloader "${arg_BOOTLOADER}" BOOTLOADER "${usage}")

    if(TARGET "${arg_SKETCH}")
        get_target_property(sketch_type "${arg_SKETCH}" TYPE)
        if(NOT sketch_type STREQUAL "EXECUTABLE")
            message(FATAL_ERROR "${usage}: SKETCH target ${arg_SKETCH} is a ${sketch_type}, "
                "not an executable")
        endif()
        if(NOT CMAKE_OBJCOPY)
            message(FATAL_ERROR "${usage}: SKETCH ${arg_SKETCH} is a target, and turning it into "
                "a raw binary needs objcopy, which was not found: set CMAKE_OBJCOPY")
        endif()
        set(sketch "${CMAKE_CURRENT_BINARY_DIR}/${name}-sketch.bin")
        add_custom_command(OUTPUT "${sketch}"
            COMMAND "${CMAKE_OBJCOPY}" -O binary "$<TARGET_FILE:${arg_SKETCH}>" "${sketch}"
            DEPENDS "${arg_SKETCH}"
            COMMENT "fwsplice: converting ${arg_SKETCH} to a raw binary"
            VERBATIM)
    else()
        _fwsplice_input_file(sketch "${arg_SKETCH}" SKETCH "${usage}")
    endif()

    # The tool's progress lines stay in the build log: its failure messages are among them.
    add_custom_command(OUTPUT "${output}"
        COMMAND fwsplice::fwsplice "${bootloader}" "${sketch}" "${output}"
        DEPENDS fwsplice::fwsplice "${bootloader}" "${sketch}"
        COMMENT "fwsplice: merging ${name}"
        VERBATIM)
    add_custom_target("${name}" ALL DEPENDS "${output}")
endfunction()

# Sets <variable> to the absolute path of an input file, which must exist or be made by the
# build.
function(_fwsplice_input_file variable file keyword usage)
    get_filename_component(absolute "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_source_file_property(generated "${absolute}" GENERATED)
    if(NOT EXISTS "${absolute}" AND NOT generated)
        message(FATAL_ERROR "${usage}: ${keyword} ${absolute} does not exist and is not made by "
            "the build")
    endif()
    set(${variable} "${absolute}" PARENT_SCOPE)
endfunction()

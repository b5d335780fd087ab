include("${CMAKE_CURRENT_LIST_DIR}/fwsplice-arguments.cmake")

# fwsplice_add_image(<name> BOOTLOADER <file-or-executable-target>
#                    SKETCH <file-or-executable-target> [OUTPUT <file>]
#                    [FLASH_SIZE <size>] [FLASH_ORIGIN <address>] [HEX <file>])
#
# Adds a target <name>, built by default, that makes OUTPUT from BOOTLOADER and SKETCH with one
# run of fwsplice::image. Each input is an executable target (defined anywhere before this
# call, or later in the same directory) or a file, read at build time by its content: raw,
# ELF, Intel HEX or S-record. With a multi-config generator every configuration gets its own
# image: OUTPUT (default <name>.bin, under $<CONFIG>/ there) and HEX must then hold $<CONFIG>.
#
# The build fails, and removes any old OUTPUT and HEX (never an input), when
# the bootloader has bytes other than 0xFF past its 8192-byte region, when the image would be
# larger than FLASH_SIZE, when an input's bytes reach past what the image holds of it, or
# when an input that says where it is linked is linked elsewhere than the image puts it: with
# FLASH_ORIGIN, the bootloader at FLASH_ORIGIN and the sketch at FLASH_ORIGIN + 0x2000;
# without, the sketch 0x2000 above the bootloader. HEX is an Intel HEX copy of the image at
# FLASH_ORIGIN. Sizes and addresses are decimal, 0x hexadecimal, or either with K or M (1024,
# 1024 * 1024), as linker scripts write them. The image is remade exactly when an input, a
# setting or fwsplice-image changes. Relative input paths are taken from the current source
# directory, relative OUTPUT and HEX from the current binary directory.
function(fwsplice_add_image name)
    cmake_parse_arguments(PARSE_ARGV 1 arg ""
        "BOOTLOADER;SKETCH;OUTPUT;FLASH_SIZE;FLASH_ORIGIN;HEX" "")
    set(usage "fwsplice_add_image(${name} BOOTLOADER <file-or-target> SKETCH <file-or-target> "
        "[OUTPUT <file>] [FLASH_SIZE <size>] [FLASH_ORIGIN <address>] [HEX <file>])")
    string(CONCAT usage ${usage})
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${usage}: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    # An empty value, as an unset variable gives, would otherwise read as a keyword not given,
    # and switch its check off in silence. Before CMake 3.31 an empty string after a keyword
    # is dropped without a word, so the arguments are read here too.
    set(keywords BOOTLOADER SKETCH OUTPUT FLASH_SIZE FLASH_ORIGIN HEX)
    set(empty ${arg_KEYWORDS_MISSING_VALUES})
    math(EXPR last "${ARGC} - 1")
    foreach(index RANGE 1 ${last})
        math(EXPR before "${index} - 1")
        set(keyword "${ARGV${before}}")
        if(before GREATER 0 AND keyword IN_LIST keywords AND "${ARGV${index}}" STREQUAL "")
            list(APPEND empty ${keyword})
        endif()
    endforeach()
    foreach(keyword IN LISTS empty)
        message(FATAL_ERROR "${usage}: ${keyword} is given no value (an empty or unset "
            "variable?)")
    endforeach()
    foreach(keyword BOOTLOADER SKETCH)
        if(NOT arg_${keyword})
            message(FATAL_ERROR "${usage}: ${keyword} is missing")
        endif()
    endforeach()
    foreach(keyword OUTPUT HEX)
        if(arg_${keyword} MATCHES ";")
            message(FATAL_ERROR "${usage}: ${keyword} ${arg_${keyword}} is a list, not one file")
        endif()
    endforeach()
    _fwsplice_same_input(same "${arg_BOOTLOADER}" "${arg_SKETCH}")
    if(same)
        message(FATAL_ERROR "${usage}: BOOTLOADER and SKETCH are both ${arg_BOOTLOADER}: an "
            "image holds two programs")
    endif()
    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    if(multi_config AND CMAKE_VERSION VERSION_LESS 3.20)
        message(FATAL_ERROR "${usage}: with the multi-config generator ${CMAKE_GENERATOR}, "
            "each configuration needs an image of its own, and CMake ${CMAKE_VERSION} cannot "
            "name one per configuration ($<CONFIG> in a custom command's OUTPUT needs 3.20)")
    endif()

    set(flash_size 0)
    if(DEFINED arg_FLASH_SIZE)
        _fwsplice_parse_bytes(flash_size error "${arg_FLASH_SIZE}")
        if(error OR flash_size EQUAL 0)
            message(FATAL_ERROR "${usage}: FLASH_SIZE ${arg_FLASH_SIZE} is not a size above 0 "
                "(decimal, 0x hexadecimal, or either with K or M)")
        endif()
    endif()
    set(origin "")
    if(DEFINED arg_FLASH_ORIGIN)
        _fwsplice_parse_bytes(origin error "${arg_FLASH_ORIGIN}")
        if(error)
            message(FATAL_ERROR "${usage}: FLASH_ORIGIN ${arg_FLASH_ORIGIN} is not an address "
                "(decimal, 0x hexadecimal, or either with K or M)")
        endif()
    endif()
    if(DEFINED arg_HEX AND origin STREQUAL "")
        message(FATAL_ERROR "${usage}: HEX ${arg_HEX} needs FLASH_ORIGIN, the address at which "
            "the image starts in flash")
    endif()

    if(NOT arg_OUTPUT)
        set(arg_OUTPUT "${name}.bin")
        if(multi_config)
            set(arg_OUTPUT "$<CONFIG>/${name}.bin")
        endif()
    endif()
    _fwsplice_output_path(output OUTPUT "${arg_OUTPUT}" "${usage}")
    set(hex "")
    if(DEFINED arg_HEX)
        _fwsplice_output_path(hex HEX "${arg_HEX}" "${usage}")
        _fwsplice_same_input(same "${output}" "${hex}")
        if(same)
            message(FATAL_ERROR "${usage}: OUTPUT and HEX are both ${output}")
        endif()
    endif()
    # The image replaces OUTPUT and HEX, and a refused one removes them: never an input.
    foreach(keyword OUTPUT HEX)
        string(TOLOWER "${keyword}" made)
        foreach(input BOOTLOADER SKETCH)
            _fwsplice_same_input(same "${${made}}" "${arg_${input}}")
            if(same)
                message(FATAL_ERROR "${usage}: ${keyword} ${${made}} is ${input} "
                    "${arg_${input}}: the image would replace an input")
            endif()
        endforeach()
    endforeach()
    # CMake allows a "#" in no rule's output: such an image is made beside a stamp, the rule's
    # output, so that deleting the image alone does not remake it.
    set(made "${output}" ${hex})
    if(made MATCHES "#")
        set(made "${CMAKE_CURRENT_BINARY_DIR}/${name}.fwsplice-made")
        if(multi_config)
            set(made "${CMAKE_CURRENT_BINARY_DIR}/$<CONFIG>/${name}.fwsplice-made")
        endif()
    endif()
    add_custom_target("${name}" ALL DEPENDS ${made})

    # What the rules need, checked and normalised: one list for the call now and the deferred
    # one alike. No value is empty or holds a ';' by now.
    set(rules NAME "${name}" BOOTLOADER "${arg_BOOTLOADER}" SKETCH "${arg_SKETCH}"
        OUTPUT "${output}" FLASH_SIZE "${flash_size}" USAGE "${usage}" MADE "${made}")
    if(NOT origin STREQUAL "")
        list(APPEND rules ORIGIN "${origin}")
    endif()
    if(NOT hex STREQUAL "")
        list(APPEND rules HEX "${hex}")
    endif()
    _fwsplice_file_at_hand(bootloader_file "${arg_BOOTLOADER}")
    _fwsplice_file_at_hand(sketch_file "${arg_SKETCH}")
    if((TARGET "${arg_BOOTLOADER}" OR bootloader_file) AND (TARGET "${arg_SKETCH}" OR sketch_file))
        _fwsplice_image_rules(${rules})
    elseif(CMAKE_VERSION VERSION_LESS 3.19)
        message(FATAL_ERROR "${usage}: BOOTLOADER ${arg_BOOTLOADER} or SKETCH ${arg_SKETCH} is "
            "neither a file nor a target defined so far: define the target before this call")
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

# _fwsplice_image_rules(NAME <name> BOOTLOADER <argument> SKETCH <argument> OUTPUT <file>
#                       FLASH_SIZE <bytes> USAGE <text> MADE <files> [ORIGIN <address>]
#                       [HEX <file>]): the one rule that makes the image, from arguments
# fwsplice_add_image has checked and normalised (FLASH_SIZE 0 where none was given; MADE the
# rule's outputs, OUTPUT and HEX or a stamp).
function(_fwsplice_image_rules)
    cmake_parse_arguments(PARSE_ARGV 0 arg ""
        "NAME;BOOTLOADER;SKETCH;OUTPUT;FLASH_SIZE;USAGE;ORIGIN;HEX" "MADE")

    # The settings in a file of their own, rewritten only when they change: a changed one then
    # remakes the image with any generator, not only with those that track command lines.
    set(settings_file "${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}.fwsplice-settings")
    set(settings_text
        "FLASH_SIZE ${arg_FLASH_SIZE}\nFLASH_ORIGIN ${arg_ORIGIN}\nHEX ${arg_HEX}\n")
    if(EXISTS "${settings_file}")
        file(READ "${settings_file}" old_settings)
    endif()
    if(NOT old_settings STREQUAL settings_text)
        file(WRITE "${settings_file}" "${settings_text}")
    endif()

    set(options "")
    if(arg_FLASH_SIZE GREATER 0)
        list(APPEND options --flash-size ${arg_FLASH_SIZE})
    endif()
    if(DEFINED arg_ORIGIN)
        list(APPEND options --flash-origin ${arg_ORIGIN})
    endif()
    get_filename_component(folders "${arg_OUTPUT}" DIRECTORY)
    if(DEFINED arg_HEX)
        list(APPEND options --hex "${arg_HEX}")
        get_filename_component(hex_folder "${arg_HEX}" DIRECTORY)
        list(APPEND folders "${hex_folder}")
    endif()
    set(stamp "")
    if(arg_MADE MATCHES "fwsplice-made$")
        get_filename_component(stamp_folder "${arg_MADE}" DIRECTORY)
        list(APPEND folders "${stamp_folder}")
        set(stamp COMMAND "${CMAKE_COMMAND}" -E touch "${arg_MADE}")
    endif()
    set(inputs "")
    set(depends "")
    foreach(role BOOTLOADER SKETCH)
        _fwsplice_input(input depend "${arg_${role}}" ${role} "${arg_USAGE}")
        list(APPEND inputs "${input}")
        list(APPEND depends ${depend})
    endforeach()

    # Not every generator makes an output's folder. The flash summary stays in the build log.
    add_custom_command(OUTPUT ${arg_MADE}
        COMMAND "${CMAKE_COMMAND}" -E make_directory ${folders}
        COMMAND fwsplice::image ${options} -- ${inputs} "${arg_OUTPUT}"
        ${stamp}
        DEPENDS fwsplice::image ${depends} "${settings_file}"
        COMMENT "fwsplice: merging ${arg_NAME}"
        VERBATIM)
endfunction()

# Sets <variable> to what fwsplice-image is given for an input (an executable target's file, or
# a file's absolute path, taken from the current source directory) and <depends-variable> to
# what the rule depends on: the target, which is then built first and remakes the image when
# it is linked again, or the file.
function(_fwsplice_input variable depends_variable argument keyword usage)
    if(TARGET "${argument}")
        get_target_property(type "${argument}" TYPE)
        if(NOT type STREQUAL "EXECUTABLE")
            message(FATAL_ERROR "${usage}: ${keyword} target ${argument} is a ${type}, not an "
                "executable")
        endif()
        get_target_property(aliased "${argument}" ALIASED_TARGET)
        if(aliased)
            set(argument "${aliased}")
        endif()
        # The file too: in a cross-config build, that of the configuration built.
        set(${variable} "$<TARGET_FILE:${argument}>" PARENT_SCOPE)
        set(${depends_variable} "${argument};$<TARGET_FILE:${argument}>" PARENT_SCOPE)
        return()
    endif()
    _fwsplice_file_at_hand(file "${argument}")
    if(NOT file)
        get_filename_component(file "${argument}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        message(FATAL_ERROR "${usage}: ${keyword} ${argument} names no target defined so far or "
            "in this directory, and ${file} does not exist and is not made by the build")
    endif()
    set(${variable} "${file}" PARENT_SCOPE)
    set(${depends_variable} "${file}" PARENT_SCOPE)
endfunction()

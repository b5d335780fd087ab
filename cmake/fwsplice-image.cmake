# fwsplice_add_image(<name> BOOTLOADER <file-or-executable-target>
#                    SKETCH <file-or-executable-target> [OUTPUT <file>]
#                    [FLASH_SIZE <size>] [FLASH_ORIGIN <address>] [HEX <file>])
#
# Adds a target <name>, built by default, that merges BOOTLOADER and SKETCH into OUTPUT with
# fwsplice::fwsplice. An input that names an executable target (defined anywhere before this
# call, or later in the same directory) is first turned into a raw binary with
# ${CMAKE_OBJCOPY} -O binary, once however many images use it. With a multi-config generator
# every configuration gets its own converted inputs and image: OUTPUT (default
# <name>.bin, under $<CONFIG>/ there) and HEX must then hold $<CONFIG>.
#
# Before each merge the build fails, and removes any old OUTPUT and HEX, when the bootloader
# has bytes other than 0xFF past its 8192-byte region, when the image would be larger than
# FLASH_SIZE, or, with FLASH_ORIGIN, when an input given as a target is linked elsewhere than
# the image puts it (the bootloader at FLASH_ORIGIN, the sketch at FLASH_ORIGIN + 0x2000). HEX
# is an Intel HEX copy of the image at FLASH_ORIGIN. Sizes and addresses are decimal, 0x
# hexadecimal, or either with K or M (1024, 1024 * 1024), as linker scripts write them. The
# image is remade exactly when an input, a setting or fwsplice changes. Relative input paths
# are taken from the current source directory, relative OUTPUT and HEX from the current binary
# directory.
function(fwsplice_add_image name)
    cmake_parse_arguments(PARSE_ARGV 1 arg ""
        "BOOTLOADER;SKETCH;OUTPUT;FLASH_SIZE;FLASH_ORIGIN;HEX" "")
    set(usage "fwsplice_add_image(${name} BOOTLOADER <file-or-target> SKETCH <file-or-target> "
        "[OUTPUT <file>] [FLASH_SIZE <size>] [FLASH_ORIGIN <address>] [HEX <file>])")
    string(CONCAT usage ${usage})
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "${usage}: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    foreach(keyword BOOTLOADER SKETCH)
        if(NOT arg_${keyword})
            message(FATAL_ERROR "${usage}: ${keyword} is missing")
        endif()
    endforeach()
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
    if(DEFINED arg_HEX AND NOT CMAKE_OBJCOPY)
        message(FATAL_ERROR "${usage}: HEX ${arg_HEX} is made with objcopy, which was not "
            "found: set CMAKE_OBJCOPY")
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
    endif()
    add_custom_target("${name}" ALL DEPENDS "${output}" ${hex})

    # The settings in a file of their own, rewritten only when they change: a changed one then
    # reruns the check with any generator, not only with those that track command lines.
    set(settings_file "${CMAKE_CURRENT_BINARY_DIR}/${name}.fwsplice-settings")
    set(settings_text "FLASH_SIZE ${flash_size}\nFLASH_ORIGIN ${origin}\nHEX ${hex}\n")
    if(EXISTS "${settings_file}")
        file(READ "${settings_file}" old_settings)
    endif()
    if(NOT old_settings STREQUAL settings_text)
        file(WRITE "${settings_file}" "${settings_text}")
    endif()

    set(rules "${name}" "${arg_BOOTLOADER}" "${arg_SKETCH}" "${output}" "${hex}"
        "${flash_size}" "${origin}" "${settings_file}" "${usage}")
    _fwsplice_file_at_hand(bootloader_file "${arg_BOOTLOADER}")
    _fwsplice_file_at_hand(sketch_file "${arg_SKETCH}")
    if((TARGET "${arg_BOOTLOADER}" OR bootloader_file) AND (TARGET "${arg_SKETCH}" OR sketch_file))
        _fwsplice_image_rules("${name}" "${arg_BOOTLOADER}" "${arg_SKETCH}" "${output}" "${hex}"
            "${flash_size}" "${origin}" "${settings_file}" "${usage}")
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

# _fwsplice_parse_bytes(<variable> <error-variable> <text>): a size or an address as a linker
# script writes one (decimal, 0x hexadecimal, either with K or M for 1024 or 1024 * 1024), in
# decimal; <error-variable> is true where the text is none, or would pass 2^48.
function(_fwsplice_parse_bytes variable error_variable text)
    set(${error_variable} TRUE PARENT_SCOPE)
    if(NOT text MATCHES "^(0|[1-9][0-9]*|0[xX]([0-9a-fA-F]+))([KkMm]?)$")
        return()
    endif()
    set(number "${CMAKE_MATCH_1}")
    set(suffix "${CMAKE_MATCH_3}")
    string(REGEX REPLACE "^0[xX]0*" "" digits "${number}")
    string(LENGTH "${digits}" length)
    if((number MATCHES "^0[xX]" AND length GREATER 13) OR
            (NOT number MATCHES "^0[xX]" AND length GREATER 15))
        return()
    endif()
    set(scale 1)
    if(suffix MATCHES "[Kk]")
        set(scale 1024)
    elseif(suffix MATCHES "[Mm]")
        set(scale 1048576)
    endif()
    math(EXPR value "${number}")
    math(EXPR most "281474976710656 / ${scale}")
    if(value GREATER most)
        return()
    endif()
    math(EXPR bytes "${value} * ${scale}")
    set(${variable} "${bytes}" PARENT_SCOPE)
    set(${error_variable} FALSE PARENT_SCOPE)
endfunction()

# The rules that convert the inputs given as targets, check the inputs and merge them.
function(_fwsplice_image_rules name bootloader_argument sketch_argument output hex flash_size
        origin settings_file usage)
    set(check_arguments "${output}")
    set(depends "")
    foreach(role bootloader sketch)
        _fwsplice_input(${role} elf target "${${role}_argument}" ${role} "${usage}")
        list(APPEND check_arguments "${${role}}")
        list(APPEND depends "${${role}}")
        if(target)
            add_dependencies("${name}" "${target}")
            if(NOT origin STREQUAL "")
                list(APPEND elf_arguments --${role}-elf "${${role}_argument}" "${elf}")
            endif()
        endif()
    endforeach()
    list(APPEND check_arguments "${flash_size}")
    set(outputs "${output}")
    get_filename_component(folders "${output}" DIRECTORY)
    set(make_hex "")
    if(NOT hex STREQUAL "")
        list(APPEND check_arguments --hex "${hex}")
        list(APPEND outputs "${hex}")
        get_filename_component(hex_folder "${hex}" DIRECTORY)
        list(APPEND folders "${hex_folder}")
        set(make_hex COMMAND "${CMAKE_OBJCOPY}" -I binary -O ihex
            --change-addresses "${origin}" "${output}" "${hex}")
    endif()
    if(NOT origin STREQUAL "")
        list(APPEND check_arguments --origin "${origin}" ${elf_arguments})
    endif()

    # Not every generator makes an output's folder. The check's summary and the tool's
    # progress lines stay in the build log: its failure messages are among them.
    add_custom_command(OUTPUT ${outputs}
        COMMAND "${CMAKE_COMMAND}" -E make_directory ${folders}
        COMMAND fwsplice::check ${check_arguments}
        COMMAND fwsplice::fwsplice ${depends} "${output}"
        ${make_hex}
        DEPENDS fwsplice::fwsplice fwsplice::check ${depends} "${settings_file}"
        COMMENT "fwsplice: merging ${name}"
        VERBATIM)
endfunction()

# Sets <variable> to the raw binary of an input, and <elf-variable> and <target-variable> to
# the ELF file and the conversion's target where the input is an executable target.
function(_fwsplice_input variable elf_variable target_variable argument keyword usage)
    string(TOUPPER "${keyword}" keyword)
    if(TARGET "${argument}")
        get_target_property(type "${argument}" TYPE)
        if(NOT type STREQUAL "EXECUTABLE")
            message(FATAL_ERROR "${usage}: ${keyword} target ${argument} is a ${type}, not an "
                "executable")
        endif()
        if(NOT CMAKE_OBJCOPY)
            message(FATAL_ERROR "${usage}: ${keyword} ${argument} is a target, and turning it "
                "into a raw binary needs objcopy, which was not found: set CMAKE_OBJCOPY")
        endif()
        _fwsplice_converted(converted conversion "${argument}")
        set(${variable} "${converted}" PARENT_SCOPE)
        set(${elf_variable} "$<TARGET_FILE:${argument}>" PARENT_SCOPE)
        set(${target_variable} "${conversion}" PARENT_SCOPE)
        return()
    endif()
    _fwsplice_file_at_hand(file "${argument}")
    if(NOT file)
        get_filename_component(file "${argument}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        message(FATAL_ERROR "${usage}: ${keyword} ${argument} names no target defined so far or "
            "in this directory, and ${file} does not exist and is not made by the build")
    endif()
    set(${variable} "${file}" PARENT_SCOPE)
    set(${elf_variable} "" PARENT_SCOPE)
    set(${target_variable} "" PARENT_SCOPE)
endfunction()

# Sets <variable> to the raw binary of an executable target, and <target-variable> to the
# target that makes it; the rule is made once, for the first image that asks, and every other
# image waits for that target, as a rule's output in another folder needs with Makefiles.
function(_fwsplice_converted variable target_variable target)
    get_target_property(aliased "${target}" ALIASED_TARGET)
    if(aliased)
        set(target "${aliased}")
    endif()
    string(MAKE_C_IDENTIFIER "fwsplice_convert_${target}" conversion)
    get_property(converted GLOBAL PROPERTY "${conversion}_file")
    if(NOT converted)
        set(folder "${CMAKE_CURRENT_BINARY_DIR}/fwsplice-inputs")
        get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
        if(multi_config)
            string(APPEND folder "/$<CONFIG>")
        endif()
        set(converted "${folder}/${target}.bin")
        # Plain data, whatever mode objcopy gives it.
        set(plain_data "")
        if(NOT CMAKE_HOST_WIN32)
            set(plain_data COMMAND chmod 0644 "${converted}")
        endif()
        add_custom_command(OUTPUT "${converted}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
            COMMAND "${CMAKE_OBJCOPY}" -O binary "$<TARGET_FILE:${target}>" "${converted}"
            ${plain_data}
            DEPENDS "${target}" "$<TARGET_FILE:${target}>"
            COMMENT "fwsplice: converting ${target} to a raw binary"
            VERBATIM)
        add_custom_target("${conversion}" DEPENDS "${converted}")
        set_property(GLOBAL PROPERTY "${conversion}_file" "${converted}")
    endif()
    set(${variable} "${converted}" PARENT_SCOPE)
    set(${target_variable} "${conversion}" PARENT_SCOPE)
endfunction()

# Sets <variable> to the absolute path of an OUTPUT or HEX file, which under a multi-config
# generator must name each configuration's own.
function(_fwsplice_output_path variable keyword file usage)
    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    if(multi_config AND NOT file MATCHES "\\$<CONFIG>")
        message(FATAL_ERROR "${usage}: ${keyword} ${file} is one file for every configuration "
            "of the multi-config generator ${CMAKE_GENERATOR}, so that building one would "
            "overwrite another's: put $<CONFIG> in it")
    endif()
    if(NOT IS_ABSOLUTE "${file}")
        set(file "${CMAKE_CURRENT_BINARY_DIR}/${file}")
    endif()
    set(${variable} "${file}" PARENT_SCOPE)
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

# The inputs of fwsplice_add_image, turned into the raw bytes they load: a target's ELF file,
# or a file whose content is ELF, Intel HEX or S-record, through objcopy at build time, once
# however many images use it; a file that holds a raw image as it is. Included by
# fwsplice-image.cmake.

# Sets <variable> to the raw bytes of an input, <source-variable> to the file they are made
# from (an executable target's ELF file, or the file given), and <target-variable> to the
# target that makes them, which holds no more than <limit> bytes of them for this image. A
# file that holds a raw image is merged as it is.
function(_fwsplice_input variable source_variable target_variable argument keyword limit usage)
    if(TARGET "${argument}")
        get_target_property(type "${argument}" TYPE)
        if(NOT type STREQUAL "EXECUTABLE")
            message(FATAL_ERROR "${usage}: ${keyword} target ${argument} is a ${type}, not an "
                "executable")
        endif()
        _fwsplice_objcopy(objcopy)
        if(NOT objcopy)
            message(FATAL_ERROR "${usage}: ${keyword} ${argument} is a target, and turning it "
                "into a raw binary needs objcopy, which was not found: set CMAKE_OBJCOPY")
        endif()
        get_target_property(aliased "${argument}" ALIASED_TARGET)
        if(aliased)
            set(argument "${aliased}")
        endif()
        _fwsplice_converted(converted conversion "${argument}" "$<TARGET_FILE:${argument}>"
            "${argument}" "${argument}" ${limit})
        set(source "$<TARGET_FILE:${argument}>")
    else()
        _fwsplice_file_at_hand(source "${argument}")
        if(NOT source)
            get_filename_component(source "${argument}" ABSOLUTE
                BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            message(FATAL_ERROR "${usage}: ${keyword} ${argument} names no target defined so "
                "far or in this directory, and ${source} does not exist and is not made by the "
                "build")
        endif()
        _fwsplice_raw_at_hand(raw "${source}")
        set(converted "${source}")
        set(conversion "")
        _fwsplice_objcopy(objcopy)
        if(NOT raw AND NOT objcopy AND EXISTS "${source}")
            message(FATAL_ERROR "${usage}: ${keyword} ${argument} holds ELF, Intel HEX or "
                "S-record, and making its raw image needs objcopy, which was not found: set "
                "CMAKE_OBJCOPY")
        endif()
        if(NOT raw)
            string(MD5 key "${source}")
            string(SUBSTRING "${key}" 0 12 key)
            get_filename_component(file_name "${source}" NAME)
            _fwsplice_converted(converted conversion "file_${key}" "${source}" "${file_name}"
                "${file_name}-${key}" ${limit})
        endif()
    endif()
    set(${variable} "${converted}" PARENT_SCOPE)
    set(${source_variable} "${source}" PARENT_SCOPE)
    set(${target_variable} "${conversion}" PARENT_SCOPE)
endfunction()

# Sets <variable> to the raw bytes of <source> (a file, or an executable target's file), made
# as <file-name>.bin and named <title> in the build log, and <target-variable> to the target
# that makes them. The rule is made once, for the first image that asks, and every other image
# waits for that target, as a rule's output in another folder needs with Makefiles. <limit> is
# the most bytes an image may hold of it; the rule refuses bytes past the largest that any
# image asks for.
function(_fwsplice_converted variable target_variable key source title file_name limit)
    string(MAKE_C_IDENTIFIER "fwsplice_convert_${key}" conversion)
    get_property(converted GLOBAL PROPERTY "${conversion}_file")
    if(NOT converted)
        set(inputs "${CMAKE_CURRENT_BINARY_DIR}/fwsplice-inputs")
        set(folder "${inputs}")
        get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
        if(multi_config)
            string(APPEND folder "/$<CONFIG>")
        endif()
        set(converted "${folder}/${file_name}.bin")
        # Rewritten only where the largest limit changes, which reruns the rule.
        set(limit_file "${inputs}/${file_name}.limit")
        file(GENERATE OUTPUT "${limit_file}"
            CONTENT "$<TARGET_PROPERTY:${conversion},FWSPLICE_LIMIT>\n")
        set(depends "${source}")
        if(TARGET "${key}")
            list(APPEND depends "${key}")
        endif()
        _fwsplice_objcopy(objcopy)
        get_property(script GLOBAL PROPERTY fwsplice_convert_script)
        add_custom_command(OUTPUT "${converted}"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
            COMMAND "${CMAKE_COMMAND}" "-DINPUT=${source}" "-DOUTPUT=${converted}"
                "-DCHECK=$<TARGET_FILE:fwsplice::check>" "-DLIMIT_FILE=${limit_file}"
                "-DOBJCOPY=${objcopy}" -P "${script}"
            DEPENDS ${depends} fwsplice::check "${limit_file}" "${script}"
            COMMENT "fwsplice: converting ${title} to a raw binary"
            VERBATIM)
        add_custom_target("${conversion}" DEPENDS "${converted}")
        set_property(GLOBAL PROPERTY "${conversion}_file" "${converted}")
    endif()
    get_target_property(largest "${conversion}" FWSPLICE_LIMIT)
    if(NOT largest OR limit GREATER largest)
        set_property(TARGET "${conversion}" PROPERTY FWSPLICE_LIMIT ${limit})
    endif()
    set(${variable} "${converted}" PARENT_SCOPE)
    set(${target_variable} "${conversion}" PARENT_SCOPE)
endfunction()

# Sets <variable> to whether a file is at hand and holds a raw image. Where its first line looks
# like an ELF header, an Intel HEX record or an S-record, or it is made by the build, the build
# converts it, and fwsplice-check tells there for sure which it holds (a raw image is then
# copied as it is). Read as hex digits, since a text read of a binary stops at its first NUL.
function(_fwsplice_raw_at_hand variable file)
    set(${variable} FALSE PARENT_SCOPE)
    if(NOT EXISTS "${file}")
        return()
    endif()
    file(READ "${file}" head LIMIT 600 HEX)
    set(digit "(3[0-9]|4[1-6]|6[1-6])")
    if(head MATCHES "^7f454c46" OR
            head MATCHES "^(3a|533[0-9])(${digit}${digit})+(0d|0a|$)")
        return()
    endif()
    set(${variable} TRUE PARENT_SCOPE)
endfunction()

# Sets <variable> to the objcopy that makes raw images: the toolchain's, or where the project
# enabled no language, one found on the PATH; empty where there is none.
function(_fwsplice_objcopy variable)
    if(CMAKE_OBJCOPY)
        set(${variable} "${CMAKE_OBJCOPY}" PARENT_SCOPE)
        return()
    endif()
    find_program(FWSPLICE_OBJCOPY NAMES objcopy gobjcopy)
    mark_as_advanced(FWSPLICE_OBJCOPY)
    set(${variable} "" PARENT_SCOPE)
    if(FWSPLICE_OBJCOPY)
        set(${variable} "${FWSPLICE_OBJCOPY}" PARENT_SCOPE)
    endif()
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

# Where the build finds the conversion script: beside this file, in the sources or the package.
set_property(GLOBAL PROPERTY fwsplice_convert_script
    "${CMAKE_CURRENT_LIST_DIR}/fwsplice-convert.cmake")

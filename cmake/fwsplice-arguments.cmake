# What fwsplice_add_image makes of its arguments: sizes and addresses, inputs that are one,
# and the paths of the files it makes. Included by fwsplice-image.cmake.

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

# Sets <variable> to whether two arguments name one target (an alias counts as its target) or
# one file (paths taken from the current source directory, links resolved).
function(_fwsplice_same_input variable first second)
    set(names "")
    foreach(name IN ITEMS "${first}" "${second}")
        if(TARGET "${name}")
            get_target_property(aliased "${name}" ALIASED_TARGET)
            if(aliased)
                set(name "${aliased}")
            endif()
            list(APPEND names "target ${name}")
        else()
            get_filename_component(name "${name}" REALPATH BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            list(APPEND names "file ${name}")
        endif()
    endforeach()
    list(GET names 0 first)
    list(GET names 1 second)
    if(first STREQUAL second)
        set(${variable} TRUE PARENT_SCOPE)
    else()
        set(${variable} FALSE PARENT_SCOPE)
    endif()
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

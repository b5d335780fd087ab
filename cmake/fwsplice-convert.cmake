# Turns one input of fwsplice_add_image into the raw bytes it loads, at build time and by its
# content: an ELF, Intel HEX or S-record file through objcopy, a raw image as it is. First
# fwsplice-check tells the format and refuses bytes that reach further than any image could
# hold, before objcopy would make a file the size of the gap. Run by the build with INPUT,
# OUTPUT, CHECK (fwsplice-check), LIMIT_FILE (the most bytes any image holds of it) and
# OBJCOPY (empty where none was found).
cmake_minimum_required(VERSION 3.16)

file(READ "${LIMIT_FILE}" limit)
string(STRIP "${limit}" limit)
execute_process(COMMAND "${CHECK}" --source "${INPUT}" "${limit}"
    RESULT_VARIABLE status OUTPUT_VARIABLE format OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "fwsplice: ${INPUT} cannot be made into a raw image")
endif()

# Written whole beside the output, then renamed: a failed step leaves no half-made input.
set(partial "${OUTPUT}.partial")
if(format STREQUAL "binary")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E copy "${INPUT}" "${partial}"
        RESULT_VARIABLE status)
else()
    if(NOT OBJCOPY)
        message(FATAL_ERROR "fwsplice: ${INPUT} is ${format}, not raw bytes, and making a "
            "raw image of it needs objcopy, which was not found: set CMAKE_OBJCOPY")
    endif()
    # An ELF file as objcopy knows its machine, as a target's is, then by its generic name,
    # which a GNU objcopy for any other machine reads too.
    set(status 1)
    if(format MATCHES "^elf")
        execute_process(COMMAND "${OBJCOPY}" -O binary "${INPUT}" "${partial}"
            RESULT_VARIABLE status ERROR_QUIET)
    endif()
    if(NOT status EQUAL 0)
        execute_process(COMMAND "${OBJCOPY}" -I "${format}" -O binary "${INPUT}" "${partial}"
            RESULT_VARIABLE status)
    endif()
endif()
if(NOT status EQUAL 0)
    file(REMOVE "${partial}")
    message(FATAL_ERROR "fwsplice: ${INPUT} could not be made into a raw image")
endif()
# Plain data, whatever mode objcopy or the input gives it.
if(NOT CMAKE_HOST_WIN32)
    execute_process(COMMAND chmod 0644 "${partial}")
endif()
file(RENAME "${partial}" "${OUTPUT}")

# cmake -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> -P gzip.cmake: compresses with no name
# or time stamp in the header, so that the result depends on the bytes alone.
execute_process(COMMAND "${GZIP}" -9 -n -c "${INPUT}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "gzip ${INPUT} failed: ${status}")
endif()

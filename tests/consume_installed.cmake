# Installs the build tree into a scratch prefix, then configures, builds and runs the consumer
# project against it. Called by CTest with BUILD_DIR, SOURCE_DIR and WORK_DIR set.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed (${status}):\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/consumer" -B "${WORK_DIR}/build"
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/app")
if(NOT output STREQUAL "8192 8192 0 100 8292\n")
    message(FATAL_ERROR "the consumer printed '${output}'")
endif()
foreach(installed bin/fwsplice share/man/man1/fwsplice.1 include/fwsplice/combined_image.hpp)
    if(NOT EXISTS "${WORK_DIR}/prefix/${installed}")
        message(FATAL_ERROR "${installed} was not installed")
    endif()
endforeach()

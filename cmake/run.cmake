# run(<command> <arguments>...) for cmake -P scripts: runs the command, sets `output` in the
# caller to what it printed, and stops the script, with that output, where it fails. Messages
# begin with ${run_context}, where the script sets one.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${run_context}${ARGN} failed (${status}):\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

# no_warning(<why>): stops the script where what `run` printed last holds a warning: a warning
# in every build log teaches people to ignore warnings.
function(no_warning why)
    if(output MATCHES "CMake Warning|[Ww]arning:")
        message(FATAL_ERROR "${run_context}${why}: a warning in the log:\n${output}")
    endif()
endfunction()

# Touches a file until it is newer than `reference`, as a clock's coarse tick may leave an edit
# with the same time as the last build's output, which no build tool would see as a change.
function(make_newer file reference)
    if(NOT EXISTS "${reference}")
        message(FATAL_ERROR "${reference} does not exist")
    endif()
    execute_process(COMMAND find "${file}" -newer "${reference}" OUTPUT_VARIABLE newer)
    while(newer STREQUAL "")
        file(TOUCH "${file}")
        execute_process(COMMAND find "${file}" -newer "${reference}" OUTPUT_VARIABLE newer)
    endwhile()
endfunction()

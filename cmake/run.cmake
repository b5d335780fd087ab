# run(<variable> [CONTEXT <text>] COMMAND <command> <arguments>...) for cmake -P scripts: runs
# the command and sets <variable> to what it printed; where it fails, stops the script with
# that output, after <text>.
function(run variable)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "CONTEXT" "COMMAND")
    execute_process(COMMAND ${arg_COMMAND}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${arg_CONTEXT}${arg_COMMAND} failed (${status}):\n${out}")
    endif()
    set(${variable} "${out}" PARENT_SCOPE)
endfunction()

# no_warning(<why> <log>): stops the script where the log holds a warning: a warning in every
# build log teaches people to ignore warnings.
function(no_warning why log)
    if(log MATCHES "CMake Warning|[Ww]arning:")
        message(FATAL_ERROR "${why}: a warning in the log:\n${log}")
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

# The version has one source, project(VERSION), from which CMake makes the man page, the
# package version file and the packages' names; what is written by hand must agree with it:
# the changelog's latest entry. The commit or tag that the README's FetchContent snippet names
# must exist. Called by CTest with SOURCE_DIR and VERSION.
cmake_minimum_required(VERSION 3.16)

function(expect what file regex)
    file(READ "${file}" text)
    if(NOT text MATCHES "${regex}")
        message(FATAL_ERROR "${what} (${file}) does not say version ${VERSION}")
    endif()
endfunction()

string(REPLACE "." "\\." version "${VERSION}")
expect("the changelog's latest entry" "${SOURCE_DIR}/docs/changelog" "^fwsplice \\(${version}\\) ")
file(READ "${SOURCE_DIR}/README.md" readme)
if(NOT readme MATCHES "GIT_TAG ([^ )\n]+)")
    message(FATAL_ERROR "the README has no FetchContent snippet with a GIT_TAG")
endif()
set(tag "${CMAKE_MATCH_1}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -c "safe.directory=${SOURCE_DIR}" -C "${SOURCE_DIR}"
            cat-file -e "${tag}^{commit}"
        RESULT_VARIABLE status ERROR_QUIET)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "the README's FetchContent snippet names ${tag}, which is no "
            "commit or tag of this repository")
    endif()
endif()

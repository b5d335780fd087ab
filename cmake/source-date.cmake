# fwsplice_source_date(<epoch> <commit> <day> <version>): the time that a release's dates and
# file times take, so that the same commit gives the same artefacts whenever it is built. It is
# SOURCE_DATE_EPOCH from the environment; else the commit's time, from git (where the sources
# are the top of their own repository) or from the stamp that git archive writes into
# source-commit.txt; else a fixed time. <commit> is the commit's hash where it is known, <day>
# the day, for the man page, and <version> names the packages: the project's version for the
# commit tagged v<version> (or a source archive of it), else
# <version>+git<YYYYMMDD>.<short hash>, which Debian orders after the release, so that two
# different commits never make files of one name. Configuring never fails for want of git or
# of a readable history: those fall back, and say so.
function(fwsplice_source_date epoch_variable commit_variable day_variable version_variable)
    set(commit "")
    set(fwsplice_date_origin "")
    if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
        if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
            message(FATAL_ERROR "fwsplice: SOURCE_DATE_EPOCH is '$ENV{SOURCE_DATE_EPOCH}', "
                "which is not a number of seconds since 1970-01-01 UTC: set it to one, or unset "
                "it")
        endif()
        set(epoch "$ENV{SOURCE_DATE_EPOCH}")
        set(fwsplice_date_origin "SOURCE_DATE_EPOCH")
    endif()

    # git archive fills this in (export-subst in .gitattributes); in a checkout it stays a
    # template.
    file(READ "${PROJECT_SOURCE_DIR}/cmake/source-commit.txt" fwsplice_stamp)
    set(fwsplice_release_tag "v${PROJECT_VERSION}")
    set(fwsplice_tagged OFF)
    if(fwsplice_stamp MATCHES "^([0-9]+) ([0-9a-f]+) ?([^\n]*)")
        set(fwsplice_commit_time "${CMAKE_MATCH_1}")
        set(commit "${CMAKE_MATCH_2}")
        set(fwsplice_commit_origin "the source archive of commit ${CMAKE_MATCH_2}")
        if(", ${CMAKE_MATCH_3}," MATCHES ", tag: ${fwsplice_release_tag},")
            set(fwsplice_tagged ON)
        endif()
    else()
        find_package(Git QUIET)
        if(GIT_FOUND)
            # safe.directory: the checkout may belong to another user, as in a CI container.
            set(fwsplice_git "${GIT_EXECUTABLE}" -c "safe.directory=${PROJECT_SOURCE_DIR}"
                -C "${PROJECT_SOURCE_DIR}")
            # Only the top of fwsplice's own repository names its commit: a copy kept inside
            # another project's repository would otherwise take that project's.
            execute_process(COMMAND ${fwsplice_git} rev-parse --show-toplevel
                OUTPUT_VARIABLE fwsplice_top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            get_filename_component(fwsplice_top "${fwsplice_top}" REALPATH)
            get_filename_component(fwsplice_here "${PROJECT_SOURCE_DIR}" REALPATH)
            execute_process(COMMAND ${fwsplice_git} log -1 --format=%ct%x20%H
                RESULT_VARIABLE fwsplice_git_status OUTPUT_VARIABLE fwsplice_head
                ERROR_VARIABLE fwsplice_git_error OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(fwsplice_git_status EQUAL 0 AND NOT fwsplice_top STREQUAL fwsplice_here)
                set(fwsplice_no_commit "the sources are inside the git repository ${fwsplice_top}, "
                    "not the top of their own")
                string(CONCAT fwsplice_no_commit ${fwsplice_no_commit})
            elseif(fwsplice_git_status EQUAL 0 AND fwsplice_head MATCHES "^([0-9]+) ([0-9a-f]+)$")
                set(fwsplice_commit_time "${CMAKE_MATCH_1}")
                set(commit "${CMAKE_MATCH_2}")
                set(fwsplice_commit_origin "commit ${CMAKE_MATCH_2}")
                execute_process(COMMAND ${fwsplice_git} tag --points-at HEAD
                    OUTPUT_VARIABLE fwsplice_tags ERROR_QUIET)
                if("\n${fwsplice_tags}" MATCHES "\n${fwsplice_release_tag}\n")
                    set(fwsplice_tagged ON)
                endif()
                _fwsplice_configure_again_on_commit(${fwsplice_git})
            elseif(EXISTS "${PROJECT_SOURCE_DIR}/.git")
                string(STRIP "${fwsplice_git_error}" fwsplice_git_error)
                set(fwsplice_no_commit "git could not read the commit: ${fwsplice_git_error}")
            endif()
        else()
            set(fwsplice_no_commit "git was not found")
        endif()
    endif()

    if(fwsplice_date_origin STREQUAL "" AND DEFINED fwsplice_commit_time)
        set(epoch "${fwsplice_commit_time}")
        set(fwsplice_date_origin "${fwsplice_commit_origin}")
    elseif(fwsplice_date_origin STREQUAL "")
        set(epoch 1765238400)  # 2025-12-09, before fwsplice's first release
        set(fwsplice_date_origin "the fixed fallback, as no commit is known")
        if(DEFINED fwsplice_no_commit)
            string(APPEND fwsplice_date_origin " (${fwsplice_no_commit})")
        endif()
    endif()

    set(fwsplice_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    string(TIMESTAMP day "%Y-%m-%d" UTC)
    if(DEFINED fwsplice_commit_time)
        set(ENV{SOURCE_DATE_EPOCH} "${fwsplice_commit_time}")
        string(TIMESTAMP fwsplice_commit_day "%Y%m%d" UTC)
    endif()
    set(ENV{SOURCE_DATE_EPOCH} "${fwsplice_saved_epoch}")
    message(STATUS "fwsplice: dates from ${fwsplice_date_origin}: ${day}")

    set(version "${PROJECT_VERSION}")
    if(NOT fwsplice_tagged AND NOT commit STREQUAL "")
        string(SUBSTRING "${commit}" 0 7 fwsplice_short)
        set(version "${PROJECT_VERSION}+git${fwsplice_commit_day}.${fwsplice_short}")
    endif()
    set(${epoch_variable} "${epoch}" PARENT_SCOPE)
    set(${commit_variable} "${commit}" PARENT_SCOPE)
    set(${day_variable} "${day}" PARENT_SCOPE)
    set(${version_variable} "${version}" PARENT_SCOPE)
endfunction()

# A new commit, in a worktree or with packed refs too, configures again: HEAD, packed-refs,
# the branch's ref, and its folder, since a packed branch gains a loose ref again at its next
# commit. The git command line is given.
function(_fwsplice_configure_again_on_commit)
    execute_process(COMMAND ${ARGN} rev-parse --symbolic-full-name HEAD
        OUTPUT_VARIABLE ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${ARGN} rev-parse --git-path HEAD --git-path packed-refs
            --git-path "${ref}"
        OUTPUT_VARIABLE paths OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" paths "${paths}")
    if(ref MATCHES "^refs/")
        list(GET paths 2 ref_path)
        get_filename_component(ref_dir "${ref_path}" DIRECTORY)
        list(APPEND paths "${ref_dir}")
    endif()
    foreach(path IN LISTS paths)
        get_filename_component(path "${path}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
        if(EXISTS "${path}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
        endif()
    endforeach()
endfunction()

# FWSPLICE_SOURCE_DATE_EPOCH: the time that a release's dates and file times take, so that
# the same commit gives the same artefacts whenever it is built. SOURCE_DATE_EPOCH from the
# environment, else the last commit's time, else a fixed time (a tree without git).
# FWSPLICE_DATE is that day, for the man page.
set(FWSPLICE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT FWSPLICE_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(FWSPLICE_SOURCE_DATE_EPOCH 1765238400)  # 2025-12-09, before fwsplice's first release
    find_package(Git QUIET)
    if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
        execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(commit_time MATCHES "^[0-9]+$")
            set(FWSPLICE_SOURCE_DATE_EPOCH "${commit_time}")
        endif()
        # A new commit configures again, so that the dates follow it.
        execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${PROJECT_SOURCE_DIR}" rev-parse
                --absolute-git-dir --symbolic-full-name HEAD
            OUTPUT_VARIABLE git_places OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        string(REPLACE "\n" ";" git_places "${git_places}")
        list(GET git_places 0 git_dir)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/HEAD")
        list(LENGTH git_places places)
        if(places EQUAL 2)
            list(GET git_places 1 branch)
            if(EXISTS "${git_dir}/${branch}")
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/${branch}")
            endif()
        endif()
    endif()
endif()
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${FWSPLICE_SOURCE_DATE_EPOCH}")
string(TIMESTAMP FWSPLICE_DATE "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")

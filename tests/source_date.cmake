# Configuring takes its dates from the project's history wherever the sources come from: a
# checkout owned by another user (as root, the CI container's case), a commit made in a
# worktree after the refs were packed, and a source archive from git archive, which carries its
# commit. A SOURCE_DATE_EPOCH that is no number stops configuring and says so. Called by CTest
# with SOURCE_DIR, GENERATOR and WORK_DIR.
cmake_minimum_required(VERSION 3.16)

include("${SOURCE_DIR}/cmake/run.cmake")

# Configures `tree`, and checks what it says of the dates and the man page's date.
function(expect_dates why tree origin day)
    run(output COMMAND "${CMAKE_COMMAND}" -S "${tree}" -B "${tree}-build" -G "${GENERATOR}"
        -DBUILD_TESTING=OFF)
    if(NOT output MATCHES "fwsplice: dates from ${origin}: ${day}\n")
        message(FATAL_ERROR "${why}: configuring did not say 'dates from ${origin}':\n${output}")
    endif()
    file(STRINGS "${tree}-build/fwsplice.1" title REGEX "^\\.TH ")
    if(NOT title MATCHES " ${day} ")
        message(FATAL_ERROR "${why}: the man page is dated '${title}', not ${day}")
    endif()
endfunction()

set(git git -c safe.directory=* -c user.name=fwsplice -c user.email=tests@fwsplice.invalid)
execute_process(COMMAND ${git} -C "${SOURCE_DIR}" rev-parse HEAD RESULT_VARIABLE status
    OUTPUT_QUIET ERROR_QUIET)
if(NOT status EQUAL 0)
    message("fwsplice-test-skip: ${SOURCE_DIR} is not a git checkout")
    return()
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(clone "${WORK_DIR}/clone")
run(output COMMAND ${git} clone -q "${SOURCE_DIR}" "${clone}")
set(ENV{SOURCE_DATE_EPOCH} "")

# 2026-01-02 and 2026-02-03, as commit times.
set(ENV{GIT_COMMITTER_DATE} "@1767312000 +0000")
run(output COMMAND ${git} -C "${clone}" commit -q --allow-empty -m "dated")
run(output COMMAND ${git} -C "${clone}" rev-parse HEAD)
string(STRIP "${output}" commit)

# The release's tag names the packages with the plain version, in a checkout and in a source
# archive of it; any other commit adds its day and hash.
file(STRINGS "${SOURCE_DIR}/CMakeLists.txt" version REGEX "^    VERSION ")
string(STRIP "${version}" version)
string(REPLACE "VERSION " "" version "${version}")
function(expect_package_version why build expected)
    file(STRINGS "${build}/debian-control.in" line REGEX "^Version: ")
    if(NOT line MATCHES "^Version: ${expected}$")
        message(FATAL_ERROR "${why}: the packages say ${line}, not ${expected}")
    endif()
endfunction()
run(output COMMAND ${git} -C "${clone}" tag "v${version}")
run(output COMMAND ${git} -C "${clone}" archive --format=tar --prefix=archive/ -o "${WORK_DIR}/archive.tar" HEAD)
run(output COMMAND "${CMAKE_COMMAND}" -E chdir "${WORK_DIR}" "${CMAKE_COMMAND}" -E tar xf archive.tar)
expect_dates("a source archive" "${WORK_DIR}/archive" "the source archive of commit ${commit}"
    2026-01-02)
expect_package_version("a source archive of the tag" "${WORK_DIR}/archive-build" "${version}")

foreach(epoch 1.5e9 tomorrow -1)
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/archive"
        -B "${WORK_DIR}/bad-epoch" -G "${GENERATOR}" -DBUILD_TESTING=OFF
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(status EQUAL 0 OR NOT out MATCHES "SOURCE_DATE_EPOCH is '${epoch}', which is not a number")
        message(FATAL_ERROR "a SOURCE_DATE_EPOCH of ${epoch} did not stop configuring:\n${out}")
    endif()
endforeach()
set(ENV{SOURCE_DATE_EPOCH} "")

# A copy kept in another project's repository (vendored, not a submodule) names no commit of
# that project's: it falls back, and says why.
set(vendor "${WORK_DIR}/vendoring")
run(output COMMAND ${git} init -q "${vendor}")
run(output COMMAND ${git} -C "${clone}" archive --format=tar --prefix=fwsplice/ -o "${WORK_DIR}/plain.tar"
    HEAD~1)
run(output COMMAND "${CMAKE_COMMAND}" -E chdir "${vendor}" "${CMAKE_COMMAND}" -E tar xf "${WORK_DIR}/plain.tar")
# Written, not copied: file(COPY) skips a file of the same time, as the archive's is when the
# commit was made within the second before the checkout.
file(READ "${SOURCE_DIR}/cmake/source-commit.txt" placeholder)
file(WRITE "${vendor}/fwsplice/cmake/source-commit.txt" "${placeholder}")
run(output COMMAND ${git} -C "${vendor}" add -A)
run(output COMMAND ${git} -C "${vendor}" commit -q -m "vendored")
expect_dates("a copy inside another repository" "${vendor}/fwsplice"
    "the fixed fallback, as no commit is known \\(the sources are inside the git repository ${vendor}, not the top of their own\\)"
    2025-12-09)

# A new commit in a worktree whose branch ref was packed configures again and takes its date.
set(worktree "${WORK_DIR}/worktree")
run(output COMMAND ${git} -C "${clone}" worktree add -q -b dated "${worktree}")
run(output COMMAND ${git} -C "${clone}" pack-refs --all)
expect_dates("a worktree" "${worktree}" "commit ${commit}" 2026-01-02)
set(ENV{GIT_COMMITTER_DATE} "@1770076800 +0000")
run(output COMMAND ${git} -C "${worktree}" commit -q --allow-empty -m "dated again")
run(output COMMAND ${git} -C "${worktree}" rev-parse HEAD)
string(STRIP "${output}" commit)
# A target that compiles nothing: what counts is that the build configures again.
run(output COMMAND "${CMAKE_COMMAND}" --build "${worktree}-build" --target fwsplice_compressed_docs)
if(NOT output MATCHES "dates from commit ${commit}: 2026-02-03")
    message(FATAL_ERROR "a commit in a worktree with packed refs did not configure again:\n"
        "${output}")
endif()
string(SUBSTRING "${commit}" 0 7 short)
expect_package_version("a commit after the tag" "${worktree}-build"
    "${version}\\+git20260203\\.${short}")

# A checkout that belongs to another user, as root builds it in a CI container.
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
    message("fwsplice: not root, so a checkout owned by another user is not tried")
    return()
endif()
run(output COMMAND ${git} -C "${clone}" rev-parse HEAD)
string(STRIP "${output}" clone_commit)
run(output COMMAND chown -R nobody "${clone}")
expect_dates("another user's checkout" "${clone}" "commit ${clone_commit}" 2026-01-02)
run(output COMMAND "${CMAKE_COMMAND}" --build "${clone}-build" --target fwsplice_compressed_docs)

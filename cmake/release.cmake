# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSOURCE_DATE_EPOCH=... -DVERSION=... -DWINDOWS=...
#       -DBUILD_TYPE=... -P release.cmake
# Makes BUILD_DIR/release: the Debian package and the .tar.gz of the install tree (or, in a
# Windows build, a .zip of fwsplice.exe, the licence and the README), and SHA256SUMS. CPack
# makes the packages; they are then packed again with every file's order, owner (0/0), mode
# and time fixed, so that the bytes depend on the sources alone, not on who builds them,
# where, when, or with which umask.
cmake_minimum_required(VERSION 3.16)

if(NOT BUILD_TYPE STREQUAL "Release")
    message(FATAL_ERROR "release: ${BUILD_DIR} is a '${BUILD_TYPE}' build; a release is made "
        "from a Release build (cmake -DCMAKE_BUILD_TYPE=Release)")
endif()
set(release "${BUILD_DIR}/release")
set(scratch "${BUILD_DIR}/release-scratch")
file(REMOVE_RECURSE "${release}" "${scratch}")
file(MAKE_DIRECTORY "${release}" "${scratch}")
set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
set(ENV{LC_ALL} C)
set(ENV{TZ} UTC)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "release: ${ARGN} failed (${status}):\n${out}")
    endif()
endfunction()

# Directories and programs 0755, other files 0644, every time the release's own.
function(normalise tree)
    run(find "${tree}" -type d -exec chmod 0755 {} +)
    run(find "${tree}" -type f -perm /0111 -exec chmod 0755 {} +)
    run(find "${tree}" -type f ! -perm /0111 -exec chmod 0644 {} +)
    run(find "${tree}" -exec touch -h -d "@${SOURCE_DATE_EPOCH}" {} +)
endfunction()

if(WINDOWS)
    set(name "fwsplice-${VERSION}-windows-x86_64")
    file(MAKE_DIRECTORY "${scratch}/${name}")
    file(COPY "${BUILD_DIR}/fwsplice.exe" "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/README.md"
        DESTINATION "${scratch}/${name}")
    normalise("${scratch}/${name}")
    # zip -X leaves out the extra fields that would record the files' owners and change times.
    find_program(ZIP zip)
    if(NOT ZIP)
        message(FATAL_ERROR "release: the Windows .zip needs zip (Debian: apt-get install zip)")
    endif()
    run("${CMAKE_COMMAND}" -E chdir "${scratch}" "${ZIP}" -X -9 -q "${release}/${name}.zip"
        "${name}/LICENSE" "${name}/README.md" "${name}/fwsplice.exe")
else()
    foreach(generator DEB TGZ)
        run(cpack --config "${BUILD_DIR}/CPackConfig.cmake" -G ${generator} -B "${scratch}/cpack")
    endforeach()
    file(GLOB deb "${scratch}/cpack/*.deb")
    file(GLOB tgz "${scratch}/cpack/*.tar.gz")
    get_filename_component(deb_name "${deb}" NAME)
    get_filename_component(tgz_name "${tgz}" NAME)

    # dpkg-deb sorts the files, records them as root's and takes the ar members' times from
    # SOURCE_DATE_EPOCH.
    run(dpkg-deb -R "${deb}" "${scratch}/deb")
    normalise("${scratch}/deb")
    run(dpkg-deb --root-owner-group -Zxz --build "${scratch}/deb" "${release}/${deb_name}")

    string(REGEX REPLACE "\\.tar\\.gz$" "" top "${tgz_name}")
    file(MAKE_DIRECTORY "${scratch}/tgz")
    run(tar -xzf "${tgz}" -C "${scratch}/tgz")
    normalise("${scratch}/tgz")
    execute_process(
        COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --format=gnu
            "--mtime=@${SOURCE_DATE_EPOCH}" -cf - "${top}"
        COMMAND gzip -9 -n
        WORKING_DIRECTORY "${scratch}/tgz"
        OUTPUT_FILE "${release}/${tgz_name}"
        RESULTS_VARIABLE statuses)
    if(NOT statuses STREQUAL "0;0")
        message(FATAL_ERROR "release: packing ${tgz_name} again failed (${statuses})")
    endif()
endif()
file(REMOVE_RECURSE "${scratch}")

file(GLOB artefacts RELATIVE "${release}" "${release}/*")
list(SORT artefacts)
set(sums "")
foreach(artefact IN LISTS artefacts)
    file(SHA256 "${release}/${artefact}" hash)
    string(APPEND sums "${hash}  ${artefact}\n")
endforeach()
file(WRITE "${release}/SHA256SUMS" "${sums}")
message(STATUS "release: ${release}\n${sums}")

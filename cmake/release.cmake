# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSOURCE_DATE_EPOCH=... -DVERSION=... -DWINDOWS=...
#       -DBUILD_TYPE=... -DARCH=... -DCROSS=... -DOBJDUMP=... -DPROGRAMS=... -DMANDOC=...
#       -P release.cmake
# Makes BUILD_DIR/release from this tree: for Linux the Debian package and
# fwsplice-<version>-linux-<arch>.tar.gz of the install tree, for Windows
# fwsplice-<version>-windows-x86_64.zip; and SHA256SUMS. The packages are packed again with
# every file's order, owner (0/0), mode and time fixed, so that the bytes depend on the
# sources alone: not on who builds them, where, when, with which umask, or with which GZIP,
# TAR_OPTIONS or ZIPOPT in the environment.
cmake_minimum_required(VERSION 3.16)

if(NOT BUILD_TYPE STREQUAL "Release")
    message(FATAL_ERROR "release: ${BUILD_DIR} is a '${BUILD_TYPE}' build; a release is made "
        "from a Release build (cmake -DCMAKE_BUILD_TYPE=Release)")
endif()
set(release "${BUILD_DIR}/release")
set(scratch "${BUILD_DIR}/release-scratch")
file(REMOVE_RECURSE "${release}" "${scratch}")
file(MAKE_DIRECTORY "${release}" "${scratch}")
set(run_context "release: ")
include("${CMAKE_CURRENT_LIST_DIR}/run.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/release-steps.cmake")
release_environment("${SOURCE_DATE_EPOCH}")

# Directories and programs 0755, other files 0644, every time the release's own.
function(normalise tree)
    run(find "${tree}" -type d -exec chmod 0755 {} +)
    run(find "${tree}" -type f -perm /0111 -exec chmod 0755 {} +)
    run(find "${tree}" -type f ! -perm /0111 -exec chmod 0644 {} +)
    run(find "${tree}" -exec touch -h -d "@${SOURCE_DATE_EPOCH}" {} +)
endfunction()

# The installed size in KiB as dpkg-gencontrol counts it (each file rounded up to a KiB, each
# directory and link one), not as du measures it, which depends on the file system.
function(installed_size variable tree)
    file(GLOB_RECURSE entries LIST_DIRECTORIES true "${tree}/*")
    list(FILTER entries EXCLUDE REGEX "^${tree}/DEBIAN(/|$)")
    set(total 0)
    foreach(entry IN LISTS entries)
        if(IS_DIRECTORY "${entry}" OR IS_SYMLINK "${entry}")
            math(EXPR total "${total} + 1")
        else()
            file(SIZE "${entry}" bytes)
            math(EXPR total "${total} + (${bytes} + 1023) / 1024")
        endif()
    endforeach()
    set(${variable} ${total} PARENT_SCOPE)
endfunction()

# What a cross build's programs need of the C library: the newest GLIBC_ symbol version they
# use, which is what dpkg-shlibdeps finds for this machine's own builds.
function(c_library_dependency variable)
    set(newest "")
    foreach(program IN LISTS PROGRAMS)
        # A static program has no dynamic symbols, and needs nothing.
        execute_process(COMMAND "${OBJDUMP}" -T "${program}" OUTPUT_VARIABLE symbols
            ERROR_QUIET)
        string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${symbols}")
        foreach(version IN LISTS versions)
            string(REPLACE "GLIBC_" "" version "${version}")
            if(newest STREQUAL "" OR version VERSION_GREATER newest)
                set(newest "${version}")
            endif()
        endforeach()
    endforeach()
    if(newest STREQUAL "")
        set(${variable} "" PARENT_SCOPE)
    else()
        set(${variable} "libc6 (>= ${newest})" PARENT_SCOPE)
    endif()
endfunction()

if(WINDOWS)
    set(name "fwsplice-${VERSION}-windows-x86_64")
    set(tree "${scratch}/${name}")
    run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${tree}" --strip)
    # A man page as Windows users read one.
    if(NOT MANDOC)
        message(FATAL_ERROR "release: the Windows .zip's man page needs mandoc "
            "(Debian: apt-get install mandoc)")
    endif()
    file(REMOVE_RECURSE "${tree}/share/man")
    run("${MANDOC}" -T html "${BUILD_DIR}/fwsplice.1")
    file(WRITE "${tree}/share/doc/fwsplice/fwsplice.1.html" "${output}")
    file(COPY "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/README.md" DESTINATION "${tree}")
    normalise("${tree}")
    # zip -X leaves out the extra fields that would record the files' owners and change times.
    find_program(ZIP zip)
    if(NOT ZIP)
        message(FATAL_ERROR "release: the Windows .zip needs zip (Debian: apt-get install zip)")
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${scratch}" "${tree}/*")
    list(SORT files)
    run("${CMAKE_COMMAND}" -E chdir "${scratch}" "${ZIP}" -X -9 -q "${release}/${name}.zip"
        ${files})
else()
    set(cpack cpack --config "${BUILD_DIR}/CPackConfig.cmake" -B "${scratch}/cpack")
    if(CROSS)
        c_library_dependency(depends)
        list(APPEND cpack -D "CPACK_DEBIAN_PACKAGE_DEPENDS=${depends}")
    endif()
    run(${cpack} -G DEB)
    run(${cpack} -G TGZ)
    file(GLOB deb "${scratch}/cpack/*.deb")
    file(GLOB tgz "${scratch}/cpack/*.tar.gz")
    get_filename_component(deb_name "${deb}" NAME)
    get_filename_component(tgz_name "${tgz}" NAME)

    # dpkg-deb sorts the files, records them as root's and takes the ar members' times from
    # SOURCE_DATE_EPOCH.
    run(dpkg-deb -R "${deb}" "${scratch}/deb")
    installed_size(size "${scratch}/deb")
    file(READ "${scratch}/deb/DEBIAN/control" control)
    string(REGEX REPLACE "\nInstalled-Size: [0-9]+\n" "\nInstalled-Size: ${size}\n" control
        "${control}")
    file(WRITE "${scratch}/deb/DEBIAN/control" "${control}")
    normalise("${scratch}/deb")
    run(dpkg-deb --root-owner-group -Zxz --build "${scratch}/deb" "${release}/${deb_name}")

    string(REGEX REPLACE "\\.tar\\.gz$" "" cpack_top "${tgz_name}")
    set(top "fwsplice-${VERSION}-linux-${ARCH}")
    file(MAKE_DIRECTORY "${scratch}/tgz")
    run(tar -xzf "${tgz}" -C "${scratch}/tgz")
    file(RENAME "${scratch}/tgz/${cpack_top}" "${scratch}/tgz/${top}")
    normalise("${scratch}/tgz")
    execute_process(
        COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner --format=gnu
            "--mtime=@${SOURCE_DATE_EPOCH}" -cf - "${top}"
        COMMAND gzip -9 -n
        WORKING_DIRECTORY "${scratch}/tgz"
        OUTPUT_FILE "${release}/${top}.tar.gz"
        RESULTS_VARIABLE statuses)
    if(NOT statuses STREQUAL "0;0")
        message(FATAL_ERROR "release: packing ${top}.tar.gz failed (${statuses})")
    endif()
endif()
file(REMOVE_RECURSE "${scratch}")

write_checksums("${release}")

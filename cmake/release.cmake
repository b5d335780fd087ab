# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSOURCE_DATE_EPOCH=... -DVERSION=... -DWINDOWS=...
#       -DBUILD_TYPE=... -DARCH=... -DOBJDUMP=... -DPROGRAMS=... -DMANDOC=...
#       -P release.cmake
# Makes BUILD_DIR/release from this tree's install tree: for Linux the Debian package and
# fwsplice-<version>-linux-<arch>.tar.gz, for Windows fwsplice-<version>-windows-x86_64.zip;
# and SHA256SUMS. Every file's order, owner (0/0), mode and time is fixed, so that the bytes
# depend on the sources alone: not on who builds them, where, when, with which umask, or with
# which GZIP, TAR_OPTIONS or ZIPOPT in the environment.
cmake_minimum_required(VERSION 3.16)

if(NOT BUILD_TYPE STREQUAL "Release")
    message(FATAL_ERROR "release: ${BUILD_DIR} is a '${BUILD_TYPE}' build; a release is made "
        "from a Release build (cmake -DCMAKE_BUILD_TYPE=Release)")
endif()
set(release "${BUILD_DIR}/release")
set(scratch "${BUILD_DIR}/release-scratch")
file(REMOVE_RECURSE "${release}" "${scratch}")
file(MAKE_DIRECTORY "${release}" "${scratch}")
include("${CMAKE_CURRENT_LIST_DIR}/run.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/release-steps.cmake")
release_environment("${SOURCE_DATE_EPOCH}")

# Directories and programs 0755, other files 0644, every time the release's own.
function(normalise tree)
    run(output CONTEXT "release: " COMMAND
        find "${tree}" -type d -exec chmod 0755 {} +)
    run(output CONTEXT "release: " COMMAND
        find "${tree}" -type f -perm /0111 -exec chmod 0755 {} +)
    run(output CONTEXT "release: " COMMAND
        find "${tree}" -type f ! -perm /0111 -exec chmod 0644 {} +)
    run(output CONTEXT "release: " COMMAND
        find "${tree}" -exec touch -h -d "@${SOURCE_DATE_EPOCH}" {} +)
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

# What the programs need of the C library: the newest GLIBC_ symbol version they use, read from
# the programs themselves, so that a cross build's package says what its own programs need.
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
    run(output CONTEXT "release: " COMMAND
        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${tree}" --strip)
    # A man page as Windows users read one.
    if(NOT MANDOC)
        message(FATAL_ERROR "release: the Windows .zip's man page needs mandoc "
            "(Debian: apt-get install mandoc)")
    endif()
    file(REMOVE_RECURSE "${tree}/share/man")
    foreach(page fwsplice.1 fwsplice-image.1)
        run(output CONTEXT "release: " COMMAND "${MANDOC}" -T html "${BUILD_DIR}/${page}")
        file(WRITE "${tree}/share/doc/fwsplice/${page}.html" "${output}")
    endforeach()
    file(COPY "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/README.md" DESTINATION "${tree}")
    normalise("${tree}")
    # zip -X leaves out the extra fields that would record the files' owners and change times.
    find_program(ZIP zip)
    if(NOT ZIP)
        message(FATAL_ERROR "release: the Windows .zip needs zip (Debian: apt-get install zip)")
    endif()
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${scratch}" "${tree}/*")
    list(SORT files)
    run(output CONTEXT "release: " COMMAND
        "${CMAKE_COMMAND}" -E chdir "${scratch}" "${ZIP}" -X -9 -q "${release}/${name}.zip"
        ${files})
else()
    # One tree for both: the stripped install tree, under usr/ in the Debian package, and as the
    # archive's top folder.
    set(deb "${scratch}/deb")
    run(output CONTEXT "release: " COMMAND
        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${deb}/usr" --strip)
    normalise("${deb}")
    c_library_dependency(DEPENDS)
    installed_size(INSTALLED_SIZE "${deb}")
    configure_file("${BUILD_DIR}/debian-control.in" "${deb}/DEBIAN/control" @ONLY)
    file(READ "${deb}/DEBIAN/control" control)
    # A fully static build needs nothing (its package is not released; its archive is).
    string(REPLACE "\nDepends: \n" "\n" control "${control}")
    file(WRITE "${deb}/DEBIAN/control" "${control}")
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${deb}" "${deb}/usr/*")
    list(SORT files)
    set(sums "")
    foreach(file IN LISTS files)
        file(MD5 "${deb}/${file}" hash)
        string(APPEND sums "${hash}  ${file}\n")
    endforeach()
    file(WRITE "${deb}/DEBIAN/md5sums" "${sums}")
    normalise("${deb}/DEBIAN")
    string(REGEX MATCH "Architecture: ([a-z0-9]+)" architecture "${control}")
    set(deb_name "fwsplice_${VERSION}_${CMAKE_MATCH_1}.deb")
    # dpkg-deb sorts the files, records them as root's and takes the ar members' times from
    # SOURCE_DATE_EPOCH.
    run(output CONTEXT "release: " COMMAND
        dpkg-deb --root-owner-group -Zxz --build "${deb}" "${release}/${deb_name}")

    set(top "fwsplice-${VERSION}-linux-${ARCH}")
    file(MAKE_DIRECTORY "${scratch}/tgz")
    file(RENAME "${deb}/usr" "${scratch}/tgz/${top}")
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

# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSOURCE_DATE_EPOCH=... -DVERSION=... -DCOMMIT=...
#       -DGENERATOR=... -DCXX_COMPILER=... -P release-all.cmake
# Makes BUILD_DIR/release-all from a native Linux x86_64 tree: for x86_64, aarch64 and armhf a
# fully static .tar.gz (it runs on any Linux, whatever its C library) and a Debian package
# linked as Debian requires; the Windows .zip; the .buildinfo that records what they were built
# from; and SHA256SUMS. Each comes from a Release build of its own, under
# BUILD_DIR/release-all-work, by that build's release target (cmake/release.cmake).
cmake_minimum_required(VERSION 3.16)

set(out "${BUILD_DIR}/release-all")
set(work "${BUILD_DIR}/release-all-work")
file(REMOVE_RECURSE "${out}")
file(MAKE_DIRECTORY "${out}" "${work}")
# Every build takes the same dates, whatever it finds.
include("${CMAKE_CURRENT_LIST_DIR}/release-steps.cmake")
release_environment("${SOURCE_DATE_EPOCH}")

# What the builds need beyond the native ones, named as Debian packages them.
set(needed
    "aarch64-linux-gnu-g++" "g++-aarch64-linux-gnu"
    "arm-linux-gnueabihf-g++" "g++-arm-linux-gnueabihf"
    "x86_64-w64-mingw32-g++-posix" "g++-mingw-w64-x86-64-posix"
    "dpkg-deb" "dpkg-dev" "dpkg-shlibdeps" "dpkg-dev" "zip" "zip" "mandoc" "mandoc"
    "xz" "xz-utils" "gzip" "gzip")
set(missing "")
while(needed)
    list(POP_FRONT needed program package)
    find_program(found_${program} "${program}")
    if(NOT found_${program})
        list(APPEND missing "${package}")
    endif()
endwhile()
if(missing)
    list(REMOVE_DUPLICATES missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "release-all: cross compilers or packaging tools are missing; on "
        "Debian: apt-get install ${missing}")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/run.cmake")

# name, toolchain file (or "-" for the native compiler), static (ON/OFF), artefact glob
set(hosts
    "linux-x86_64" "-" ON "*.tar.gz"
    "amd64" "-" OFF "*.deb"
    "linux-aarch64" "aarch64-linux-gnu" ON "*.tar.gz"
    "arm64" "aarch64-linux-gnu" OFF "*.deb"
    "linux-armhf" "arm-linux-gnueabihf" ON "*.tar.gz"
    "armhf" "arm-linux-gnueabihf" OFF "*.deb"
    "windows-x86_64" "mingw-w64-x86_64" ON "*.zip")
set(flags "")
while(hosts)
    list(POP_FRONT hosts name toolchain static artefact)
    set(build "${work}/${name}")
    set(configure "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G "${GENERATOR}"
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF "-DFWSPLICE_STATIC=${static}")
    if(toolchain STREQUAL "-")
        list(APPEND configure "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
    else()
        list(APPEND configure
            "-DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchains/${toolchain}.cmake")
    endif()
    message(STATUS "release-all: ${name}")
    run(output CONTEXT "release-all: " COMMAND ${configure})
    run(output CONTEXT "release-all: " COMMAND
        "${CMAKE_COMMAND}" --build "${build}" --target release)
    file(GLOB made "${build}/release/${artefact}")
    file(COPY ${made} DESTINATION "${out}")
    # The flags without the places where they were built.
    file(READ "${build}/build-flags-Release.txt" built_with)
    # The build folder first: it may lie inside the sources.
    string(REPLACE "${build}" "<build>" built_with "${built_with}")
    string(REPLACE "${SOURCE_DIR}" "<source>" built_with "${built_with}")
    string(REGEX REPLACE " +" " " built_with "${built_with}")
    string(REGEX REPLACE "\n([a-z])" "\n  \\1" built_with "${built_with}")
    string(APPEND flags " ${name}:\n  ${built_with}")
endwhile()

# The record of what the release was built from, in the manner of Debian's .buildinfo: nothing
# in it varies between two builds of one commit with one toolchain. Each tool and each library
# that goes into the bytes is named with the version of the Debian package it comes from, which
# a rebuilder installs; a tool from elsewhere, with the version it reports itself.
function(package_version variable file)
    get_filename_component(file "${file}" REALPATH)
    # With merged /usr, dpkg may know a program by its path outside /usr.
    string(REGEX REPLACE "^/usr/" "/" outside "${file}")
    execute_process(COMMAND dpkg-query -S "${file}" OUTPUT_VARIABLE owner ERROR_QUIET)
    if(owner STREQUAL "")
        execute_process(COMMAND dpkg-query -S "${outside}" OUTPUT_VARIABLE owner ERROR_QUIET)
    endif()
    string(REGEX REPLACE ":[^:]*\n.*$" "" owner "${owner}")
    string(REGEX REPLACE ", .*$" "" owner "${owner}")
    set(${variable} "" PARENT_SCOPE)
    if(owner STREQUAL "")
        return()
    endif()
    execute_process(COMMAND dpkg-query -W -f=\${Version} "${owner}" OUTPUT_VARIABLE version
        ERROR_QUIET)
    if(NOT version STREQUAL "")
        set(${variable} "${owner} (= ${version})" PARENT_SCOPE)
    endif()
endfunction()
function(tool_version variable tool)
    find_program(path_${tool} "${tool}")
    package_version(package "${path_${tool}}")
    if(package STREQUAL "")
        execute_process(COMMAND "${tool}" --version OUTPUT_VARIABLE text ERROR_VARIABLE text)
        string(REGEX MATCH "[^\n]*[0-9]+(\\.[0-9]+|-posix)[^\n]*" package "${text}")
    endif()
    set(${variable} "${package}" PARENT_SCOPE)
endfunction()
set(tools "")
foreach(tool "${CXX_COMPILER}" aarch64-linux-gnu-g++ arm-linux-gnueabihf-g++
        x86_64-w64-mingw32-g++-posix ld aarch64-linux-gnu-ld arm-linux-gnueabihf-ld
        x86_64-w64-mingw32-ld dpkg-deb gzip xz zip mandoc cmake)
    tool_version(line "${tool}")
    get_filename_component(tool_name "${tool}" NAME)
    string(APPEND tools " ${tool_name}: ${line}\n")
endforeach()
# What each compiler links into the programs: the C library, the C++ runtime and GCC's own.
set(libraries "")
foreach(compiler "${CXX_COMPILER}" aarch64-linux-gnu-g++ arm-linux-gnueabihf-g++
        x86_64-w64-mingw32-g++-posix)
    get_filename_component(compiler_name "${compiler}" NAME)
    set(archives libc.a libstdc++.a libgcc.a libgcc_eh.a)
    if(compiler_name MATCHES "mingw")
        set(archives libmsvcrt.a libstdc++.a libgcc.a libgcc_eh.a libwinpthread.a)
    endif()
    foreach(archive IN LISTS archives)
        execute_process(COMMAND "${compiler}" -print-file-name=${archive}
            OUTPUT_VARIABLE file OUTPUT_STRIP_TRAILING_WHITESPACE)
        package_version(package "${file}")
        string(APPEND libraries " ${compiler_name} ${archive}: ${package}\n")
    endforeach()
endforeach()
file(GLOB artefacts RELATIVE "${out}" "${out}/*")
list(SORT artefacts)
set(files "")
foreach(artefact IN LISTS artefacts)
    file(SHA256 "${out}/${artefact}" hash)
    file(SIZE "${out}/${artefact}" size)
    string(APPEND files " ${hash} ${size} ${artefact}\n")
endforeach()
set(buildinfo "fwsplice-${VERSION}.buildinfo")
file(WRITE "${out}/${buildinfo}" "Format: 1.0
Source: fwsplice
Version: ${VERSION}
Commit: ${COMMIT}
Source-Date-Epoch: ${SOURCE_DATE_EPOCH}
Checksums-Sha256:
${files}Build-Tools:
${tools}Built-Using-Libraries:
${libraries}Build-Flags:
${flags}")

write_checksums("${out}")

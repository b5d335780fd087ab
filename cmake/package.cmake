# fwsplice_package(<version> <arch-variable> <mandoc-variable>): what the release script
# (cmake/release.cmake) needs to pack <version> that only configuring knows: the Debian
# package's control file, in debian-control.in, and the flags in effect, in
# build-flags-<config>.txt, which release-all records. Sets <arch-variable> to the machine's
# name in the archives' names, and <mandoc-variable> to mandoc, which makes the man page's
# HTML (empty where it is not found).
function(fwsplice_package version arch_variable mandoc_variable)
    # Debian's names for the machines it packages for.
    set(fwsplice_deb_arch amd64)
    set(fwsplice_arch x86_64)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
        set(fwsplice_deb_arch arm64)
        set(fwsplice_arch aarch64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
        set(fwsplice_deb_arch armhf)
        set(fwsplice_arch armhf)
    endif()

    # Fields in the order, and lines in the form, that dpkg-deb keeps; a line of its own per
    # sentence, kept short for dpkg. Depends and Installed-Size are filled in from the packed
    # tree.
    file(WRITE "${PROJECT_BINARY_DIR}/debian-control.in" "Architecture: ${fwsplice_deb_arch}
Depends: @DEPENDS@
Description: join a bootloader and a sketch into one flashable image
 fwsplice writes a combined firmware image: the bootloader's
 first 8192 bytes, padded with 0xFF, then the application (sketch) image at
 offset 0x2000. A failed or interrupted run leaves the output as it was.
 It also ships a CMake package: fwsplice::fwsplice, the image layout as the
 header-only fwsplice::combined_image, and fwsplice_add_image() for builds.
Maintainer: fwsplice developers <maintainers@fwsplice.invalid>
Package: fwsplice
Priority: optional
Section: devel
Version: ${version}
Installed-Size: @INSTALLED_SIZE@

")

    # The flags in effect, for the release's record of what it was built from.
    file(GENERATE OUTPUT "${PROJECT_BINARY_DIR}/build-flags-$<CONFIG>.txt" CONTENT "\
compiler: ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}
compile: ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_RELEASE} \
$<JOIN:$<TARGET_PROPERTY:fwsplice_objects,COMPILE_OPTIONS>, >
definitions: $<JOIN:$<TARGET_PROPERTY:fwsplice_objects,COMPILE_DEFINITIONS>, >
link: ${CMAKE_EXE_LINKER_FLAGS} $<JOIN:$<TARGET_PROPERTY:fwsplice,LINK_OPTIONS>, >
")

    find_program(FWSPLICE_MANDOC mandoc)
    mark_as_advanced(FWSPLICE_MANDOC)
    set(mandoc "")
    if(FWSPLICE_MANDOC)
        set(mandoc "${FWSPLICE_MANDOC}")
    endif()
    set(${arch_variable} "${fwsplice_arch}" PARENT_SCOPE)
    set(${mandoc_variable} "${mandoc}" PARENT_SCOPE)
endfunction()

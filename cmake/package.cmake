# fwsplice_package(<version> <arch-variable>): packaging: the Debian package and the archives
# of <version> (CPack, packed again by the release scripts, cmake/release.cmake and
# cmake/release-all.cmake, so that the bytes depend on the sources alone), and what those
# scripts record of the build. Sets <arch-variable> to the machine's name in the archives'.
function(fwsplice_package version arch_variable)
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

    set(CPACK_PACKAGE_NAME fwsplice)
    set(CPACK_PACKAGE_VERSION "${version}")
    set(CPACK_PACKAGE_VENDOR "fwsplice developers")
    set(CPACK_PACKAGE_CONTACT "fwsplice developers <maintainers@fwsplice.invalid>")
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join a bootloader and a sketch into one flashable image")
    # Lines kept short for dpkg; a line of its own per sentence.
    set(CPACK_PACKAGE_DESCRIPTION "fwsplice writes a combined firmware image: the bootloader's
first 8192 bytes, padded with 0xFF, then the application (sketch) image at
offset 0x2000. A failed or interrupted run leaves the output as it was.
It also ships a CMake package: fwsplice::fwsplice, the image layout as the
header-only fwsplice::combined_image, and fwsplice_add_image() for builds.")
    set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
    set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${fwsplice_deb_arch}")
    set(CPACK_DEBIAN_PACKAGE_SECTION devel)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # dpkg-shlibdeps knows only this machine's libraries; a cross build's Depends are read from its
    # binaries by the release script.
    if(CMAKE_CROSSCOMPILING)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    else()
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    endif()
    set(CPACK_STRIP_FILES ON)
    include(CPack)

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
    set(${arch_variable} "${fwsplice_arch}" PARENT_SCOPE)
endfunction()

# Install rules, the CMake package (fwsplice::fwsplice, fwsplice::combined_image and
# fwsplice_add_image), and the Debian and tar packages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FWSPLICE_CMAKE_DIR "${CMAKE_INSTALL_DATADIR}/cmake/fwsplice")
set(FWSPLICE_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/fwsplice")

install(TARGETS fwsplice combined_image EXPORT fwsplice-targets
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
# fwsplice_add_image's check, which no user runs by hand.
install(TARGETS fwsplice_check EXPORT fwsplice-targets
    RUNTIME DESTINATION "${CMAKE_INSTALL_LIBEXECDIR}/fwsplice")
install(FILES src/fwsplice/combined_image.hpp DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/fwsplice")
# The licence, in the machine-readable form that Debian asks for.
install(FILES docs/copyright DESTINATION "${FWSPLICE_DOC_DIR}")
install(EXPORT fwsplice-targets NAMESPACE fwsplice:: DESTINATION "${FWSPLICE_CMAKE_DIR}")
configure_package_config_file(cmake/fwsplice-config.cmake.in
    "${PROJECT_BINARY_DIR}/fwsplice-config.cmake" INSTALL_DESTINATION "${FWSPLICE_CMAKE_DIR}")
# The tool runs for a consumer of any architecture, and the layout is a header.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/fwsplice-config-version.cmake"
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${PROJECT_BINARY_DIR}/fwsplice-config.cmake"
    "${PROJECT_BINARY_DIR}/fwsplice-config-version.cmake" cmake/fwsplice-image.cmake
    DESTINATION "${FWSPLICE_CMAKE_DIR}")

# The man page carries the version and the date of the sources it was made from.
include("${CMAKE_CURRENT_LIST_DIR}/source-date.cmake")
configure_file(docs/fwsplice.1.in "${PROJECT_BINARY_DIR}/fwsplice.1" @ONLY)

# Debian wants the man page and the changelog compressed, with gzip -n so that the package
# is the same on every build; man reads either form.
find_program(FWSPLICE_GZIP gzip)
mark_as_advanced(FWSPLICE_GZIP)
if(FWSPLICE_GZIP)
    set(compressed "${PROJECT_BINARY_DIR}/fwsplice.1.gz"
        "${PROJECT_BINARY_DIR}/changelog.gz")
    foreach(source "${PROJECT_BINARY_DIR}/fwsplice.1" "${PROJECT_SOURCE_DIR}/docs/changelog")
        get_filename_component(file "${source}" NAME)
        add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/${file}.gz"
            COMMAND "${CMAKE_COMMAND}" -DGZIP=${FWSPLICE_GZIP}
                "-DINPUT=${source}" "-DOUTPUT=${PROJECT_BINARY_DIR}/${file}.gz"
                -P "${PROJECT_SOURCE_DIR}/cmake/gzip.cmake"
            DEPENDS "${source}" cmake/gzip.cmake
            VERBATIM)
    endforeach()
    add_custom_target(fwsplice_compressed_docs ALL DEPENDS ${compressed})
    install(FILES "${PROJECT_BINARY_DIR}/fwsplice.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install(FILES "${PROJECT_BINARY_DIR}/changelog.gz" DESTINATION "${FWSPLICE_DOC_DIR}")
else()
    install(FILES "${PROJECT_BINARY_DIR}/fwsplice.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install(FILES docs/changelog DESTINATION "${FWSPLICE_DOC_DIR}")
endif()

set(CPACK_PACKAGE_NAME fwsplice)
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
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# cmake --build <dir> --target release: the .deb, the .tar.gz (or, for Windows, a .zip) and
# SHA256SUMS in <dir>/release, the same bytes whoever builds the same commit.
add_custom_target(release
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
        "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DSOURCE_DATE_EPOCH=${FWSPLICE_SOURCE_DATE_EPOCH}"
        "-DVERSION=${PROJECT_VERSION}" "-DWINDOWS=${WIN32}" "-DBUILD_TYPE=${CMAKE_BUILD_TYPE}"
        -P "${PROJECT_SOURCE_DIR}/cmake/release.cmake"
    USES_TERMINAL
    VERBATIM)
add_dependencies(release fwsplice fwsplice_check)
if(TARGET fwsplice_compressed_docs)
    add_dependencies(release fwsplice_compressed_docs)
endif()

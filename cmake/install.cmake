# Install rules, the CMake package for the layout header, and the Debian and tar packages.
include(CMakePackageConfigHelpers)

set(FWSPLICE_CMAKE_DIR "${CMAKE_INSTALL_DATADIR}/cmake/fwsplice")

install(TARGETS fwsplice RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES docs/fwsplice.1 DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES src/combined_image.hpp DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/fwsplice")

install(TARGETS combined_image EXPORT fwsplice-targets)
install(EXPORT fwsplice-targets NAMESPACE fwsplice:: DESTINATION "${FWSPLICE_CMAKE_DIR}")
configure_package_config_file(cmake/fwsplice-config.cmake.in
    "${PROJECT_BINARY_DIR}/fwsplice-config.cmake" INSTALL_DESTINATION "${FWSPLICE_CMAKE_DIR}")
# The layout is a header with no compiled code, so one package serves every architecture.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/fwsplice-config-version.cmake"
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES "${PROJECT_BINARY_DIR}/fwsplice-config.cmake"
    "${PROJECT_BINARY_DIR}/fwsplice-config-version.cmake" DESTINATION "${FWSPLICE_CMAKE_DIR}")

set(CPACK_PACKAGE_NAME fwsplice)
set(CPACK_PACKAGE_VENDOR "fwsplice developers")
set(CPACK_PACKAGE_CONTACT "fwsplice developers <maintainers@fwsplice.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "join a bootloader and a sketch into one flashable image")
set(CPACK_PACKAGE_DESCRIPTION
    "fwsplice writes a combined firmware image: the bootloader's first 8192 bytes, \
padded with 0xFF, then the application (sketch) image at offset 0x2000. It also ships \
the image layout as a header-only CMake package (fwsplice::combined_image).")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# fwsplice_install_rules(<day>): the install rules: the tool, its helper, the layout headers and
# linker-script fragment, the CMake package (fwsplice::fwsplice, fwsplice::image,
# fwsplice::combined_image and fwsplice_add_image), the man pages dated <day>, the licence and the
# changelog; and fwsplice_compressed_docs, the target that compresses the documents as Debian
# wants them, where gzip is at hand.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

function(fwsplice_install_rules day)

    set(FWSPLICE_CMAKE_DIR "${CMAKE_INSTALL_DATADIR}/cmake/fwsplice")
    set(FWSPLICE_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/fwsplice")

    install(TARGETS fwsplice fwsplice_image combined_image EXPORT fwsplice-targets
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    install(FILES src/fwsplice/combined_image.hpp src/fwsplice/combined_image.h
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/fwsplice")
    install(FILES "${PROJECT_BINARY_DIR}/ld/fwsplice.ld"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/fwsplice/ld")
    target_link_directories(combined_image INTERFACE
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_DATADIR}/fwsplice/ld>)
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
        cmake/fwsplice-arguments.cmake DESTINATION "${FWSPLICE_CMAKE_DIR}")

    # The man page carries the version and the date of the sources it was made from.
    set(FWSPLICE_DATE "${day}")
    configure_file(docs/fwsplice.1.in "${PROJECT_BINARY_DIR}/fwsplice.1" @ONLY)
    configure_file(docs/fwsplice-image.1.in "${PROJECT_BINARY_DIR}/fwsplice-image.1" @ONLY)

    # Debian wants the man page and the changelog compressed, with gzip -n so that the package
    # is the same on every build, whatever GZIP says in the environment; man reads either form.
    find_program(FWSPLICE_GZIP gzip)
    mark_as_advanced(FWSPLICE_GZIP)
    set(fwsplice_docs "${PROJECT_BINARY_DIR}/fwsplice.1" "${PROJECT_BINARY_DIR}/fwsplice-image.1"
        "${PROJECT_SOURCE_DIR}/docs/changelog")
    set(fwsplice_compressed "")
    if(FWSPLICE_GZIP AND NOT WIN32)
        foreach(source IN LISTS fwsplice_docs)
            get_filename_component(name "${source}" NAME)
            set(copy "${PROJECT_BINARY_DIR}/compressed/${name}")
            add_custom_command(OUTPUT "${copy}.gz"
                COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${copy}"
                COMMAND "${CMAKE_COMMAND}" -E env --unset=GZIP "${FWSPLICE_GZIP}" -9 -n -f "${copy}"
                DEPENDS "${source}"
                VERBATIM)
            list(APPEND fwsplice_compressed "${copy}.gz")
        endforeach()
        set(fwsplice_docs ${fwsplice_compressed})
        add_custom_target(fwsplice_compressed_docs ALL DEPENDS ${fwsplice_compressed})
    endif()
    list(GET fwsplice_docs 0 fwsplice_man_page)
    list(GET fwsplice_docs 1 fwsplice_image_page)
    list(GET fwsplice_docs 2 fwsplice_changelog)
    install(FILES "${fwsplice_man_page}" "${fwsplice_image_page}"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    install(FILES "${fwsplice_changelog}" DESTINATION "${FWSPLICE_DOC_DIR}")
endfunction()

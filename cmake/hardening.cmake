# The hardening that Debian gives its own binaries, on fwsplice's targets only, so that a
# parent project's flags stay as they are: fortified string and memory calls, a stack
# protector, a position-independent executable whose relocations are read-only once loaded,
# and no .comment section. Each is added only where the compiler, the linker and the object
# format take it: Apple's linker, for one, knows no -z. Build paths stay out of the binaries,
# so that a release is the same whoever builds it and wherever.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    return()
endif()
include(CheckCXXCompilerFlag)
include(CheckPIESupported)
set(fwsplice_optimized $<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>)
foreach(target fwsplice_input_objects fwsplice_objects fwsplice fwsplice_check)
    target_compile_options(${target} PRIVATE
        "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=" "-ffile-prefix-map=${PROJECT_BINARY_DIR}/=")
endforeach()
if(WIN32)
    # The PE header's time stamp would make every build differ.
    target_link_options(fwsplice PRIVATE -Wl,--no-insert-timestamp)
    return()
endif()
check_cxx_compiler_flag(-fstack-protector-strong FWSPLICE_HAS_STACK_PROTECTOR)
foreach(target fwsplice_input_objects fwsplice_objects fwsplice fwsplice_check)
    # _FORTIFY_SOURCE needs optimisation; Debug builds (the sanitizers') go without it.
    target_compile_options(${target} PRIVATE
        $<$<BOOL:${FWSPLICE_HAS_STACK_PROTECTOR}>:-fstack-protector-strong>
        $<${fwsplice_optimized}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endforeach()
# A fully static program has no loader to relocate it.
if(NOT FWSPLICE_STATIC)
    check_pie_supported(OUTPUT_VARIABLE fwsplice_pie_output LANGUAGES CXX)
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
        set_target_properties(fwsplice_input_objects fwsplice_objects fwsplice fwsplice_check PROPERTIES
            POSITION_INDEPENDENT_CODE ON)
    endif()
endif()
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
    foreach(target fwsplice fwsplice_check)
        target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
        # llvm-objcopy cannot rewrite a static binary's IRELATIVE relocations; static builds
        # are not the packaged ones.
        if(CMAKE_OBJCOPY AND NOT FWSPLICE_STATIC)
            add_custom_command(TARGET ${target} POST_BUILD
                COMMAND "${CMAKE_OBJCOPY}" --remove-section=.comment "$<TARGET_FILE:${target}>"
                VERBATIM)
        endif()
    endforeach()
endif()

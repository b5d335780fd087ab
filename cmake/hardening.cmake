# The hardening that Debian gives its own binaries, on fwsplice's targets only, so that a
# parent project's flags stay as they are: fortified string and memory calls, a stack
# protector, a position-independent executable whose relocations are read-only once loaded, and
# no .comment section. Each is added only where the compiler, the linker and the object format
# take it: Apple's linker, for one, knows no -z. Build paths stay out of the binaries and their
# debug data, so that a release is the same whoever builds it and wherever.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# fwsplice_harden_objects(<object library>): what the compiler does.
function(fwsplice_harden_objects target)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        return()
    endif()
    # Without a trailing slash, the folder the compiler runs in (the debug data's compile
    # folder) is mapped too: the build tree's top with Ninja, the target's own folder with
    # Makefiles. The build folders' maps come last, as they may lie inside the sources and the
    # last match wins.
    target_compile_options(${target} PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
        "-ffile-prefix-map=${PROJECT_BINARY_DIR}=."
        "-ffile-prefix-map=${CMAKE_CURRENT_BINARY_DIR}=.")
    if(WIN32)
        return()
    endif()
    _fwsplice_position_independent(${target})
    check_cxx_compiler_flag(-fstack-protector-strong FWSPLICE_HAS_STACK_PROTECTOR)
    # _FORTIFY_SOURCE needs optimisation; Debug builds (the sanitizers') go without it.
    set(optimized $<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>)
    target_compile_options(${target} PRIVATE
        $<$<BOOL:${FWSPLICE_HAS_STACK_PROTECTOR}>:-fstack-protector-strong>
        $<${optimized}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endfunction()

# fwsplice_harden_program(<executable>): what the linker does.
function(fwsplice_harden_program target)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        return()
    endif()
    if(WIN32)
        # The PE header's time stamp would make every build differ.
        target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
        return()
    endif()
    _fwsplice_position_independent(${target})
    if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
        # Unused sections go: among them the C++ runtime's random_device, which its string
        # code drags in, and whose open() would be the one call without large-file support on
        # 32-bit hosts.
        target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now -Wl,--gc-sections)
        # llvm-objcopy cannot rewrite a static binary's IRELATIVE relocations; static builds
        # are not the packaged ones.
        if(CMAKE_OBJCOPY AND NOT FWSPLICE_STATIC)
            add_custom_command(TARGET ${target} POST_BUILD
                COMMAND "${CMAKE_OBJCOPY}" --remove-section=.comment "$<TARGET_FILE:${target}>"
                VERBATIM)
        endif()
    endif()
endfunction()

# A position-independent executable, where the linker makes one.
function(_fwsplice_position_independent target)
    if(FWSPLICE_STATIC)
        return()
    endif()
    check_pie_supported(OUTPUT_VARIABLE output LANGUAGES CXX)
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
        set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    endif()
endfunction()

# fwsplice_harden(<target>): the hardening that Debian gives its own binaries, on fwsplice's
# targets only, so that a parent project's flags stay as they are: fortified string and memory
# calls, a stack protector, a position-independent executable whose relocations are read-only
# once loaded, and no .comment section. Each is added only where the compiler, the linker and
# the object format take it: Apple's linker, for one, knows no -z. Build paths stay out of the
# binaries and their debug data, so that a release is the same whoever builds it and wherever.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)
set(fwsplice_hardened OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(fwsplice_hardened ON)
    check_cxx_compiler_flag(-fstack-protector-strong FWSPLICE_HAS_STACK_PROTECTOR)
    if(NOT FWSPLICE_STATIC AND NOT WIN32)
        check_pie_supported(OUTPUT_VARIABLE fwsplice_pie_output LANGUAGES CXX)
    endif()
endif()

function(fwsplice_harden target)
    if(NOT fwsplice_hardened)
        return()
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "OBJECT_LIBRARY")
        # Without a trailing slash, the folder the compiler runs in (the debug data's compile
        # folder) is mapped too: the build tree's top with Ninja, the target's own folder with
        # Makefiles. The build folders' maps come last, as they may lie inside the sources and
        # the last match wins.
        target_compile_options(${target} PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
            "-ffile-prefix-map=${PROJECT_BINARY_DIR}=."
            "-ffile-prefix-map=${CMAKE_CURRENT_BINARY_DIR}=.")
    endif()
    if(WIN32)
        if(NOT type STREQUAL "OBJECT_LIBRARY")
            # The PE header's time stamp would make every build differ.
            target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
        endif()
        return()
    endif()
    if(CMAKE_CXX_LINK_PIE_SUPPORTED)
        set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    endif()
    if(type STREQUAL "OBJECT_LIBRARY")
        # _FORTIFY_SOURCE needs optimisation; Debug builds (the sanitizers') go without it.
        set(optimized $<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>)
        target_compile_options(${target} PRIVATE
            $<$<BOOL:${FWSPLICE_HAS_STACK_PROTECTOR}>:-fstack-protector-strong>
            $<${optimized}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
    elseif(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
        target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
        # llvm-objcopy cannot rewrite a static binary's IRELATIVE relocations; static builds
        # are not the packaged ones.
        if(CMAKE_OBJCOPY AND NOT FWSPLICE_STATIC)
            add_custom_command(TARGET ${target} POST_BUILD
                COMMAND "${CMAKE_OBJCOPY}" --remove-section=.comment "$<TARGET_FILE:${target}>"
                VERBATIM)
        endif()
    endif()
endfunction()

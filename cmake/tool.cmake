# The programs built with this project's own C++ compiler: fwsplice, and fwsplice-check for the
# build's checks of an image. Each is made of object libraries only, linked in the order given,
# so that every generator links the same bytes; each platform's primitives are chosen here.
include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)

set(fwsplice_src "${PROJECT_SOURCE_DIR}/src")
set(fwsplice_platform posix)
if(WIN32)
    set(fwsplice_platform windows)
endif()

# Applies the standard, the warnings, large files, static linking and the hardening to one of
# the tool's targets, an object library or a program.
function(fwsplice_target_defaults target)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "OBJECT_LIBRARY")
        # An explicit standard, so that the compile database carries -std=c++17 for clangd
        # and clang-tidy even where the compiler's default already is C++17.
        set_target_properties(${target} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
            CXX_EXTENSIONS OFF)
        target_link_libraries(${target} PUBLIC combined_image)
        if(MSVC)
            target_compile_options(${target} PRIVATE /W4
                $<$<BOOL:${FWSPLICE_WARNINGS_AS_ERRORS}>:/WX>)
        else()
            target_compile_options(${target} PRIVATE
                -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
                $<$<BOOL:${FWSPLICE_WARNINGS_AS_ERRORS}>:-Werror>)
        endif()
        # 64-bit file offsets on 32-bit hosts too, so that a large input gets the same answer.
        if(NOT WIN32)
            target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
        endif()
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT APPLE)
        # Builds run the tool once per compile on images of some tens of KiB, where loading
        # the shared C++ runtime takes longer than the merge; linked in, it costs nothing to
        # load. Sanitizer and valgrind builds turn both options off.
        if(FWSPLICE_STATIC)
            target_link_options(${target} PRIVATE -static)
        elseif(FWSPLICE_STATIC_RUNTIME)
            target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
        endif()
    endif()
    fwsplice_harden(${target})
endfunction()

# fwsplice_program(<target> <object library>...): a program of these object libraries.
function(fwsplice_program target)
    add_executable(${target})
    foreach(objects IN LISTS ARGN)
        target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
    endforeach()
    fwsplice_target_defaults(${target})
endfunction()

# Reading the inputs, which both programs do alike.
add_library(fwsplice_input_objects OBJECT "${fwsplice_src}/bootloader_tail.cpp"
    "${fwsplice_src}/input_file_${fwsplice_platform}.cpp")
add_library(fwsplice_objects OBJECT "${fwsplice_src}/merge_command.cpp"
    "${fwsplice_src}/whole_file.cpp" "${fwsplice_src}/image_buffer.cpp"
    "${fwsplice_src}/signals_${fwsplice_platform}.cpp")
if(WIN32)
    target_sources(fwsplice_objects PRIVATE "${fwsplice_src}/output_file_windows.cpp")
else()
    target_sources(fwsplice_objects PRIVATE "${fwsplice_src}/output_file_posix.cpp"
        "${fwsplice_src}/in_place_file_posix.cpp" "${fwsplice_src}/temporary_file_posix.cpp"
        "${fwsplice_src}/file_attributes_posix.cpp")
endif()
add_library(fwsplice_main OBJECT "${fwsplice_src}/main.cpp")
add_library(fwsplice_check_objects OBJECT "${fwsplice_src}/check_main.cpp"
    "${fwsplice_src}/check_command.cpp")
foreach(objects fwsplice_input_objects fwsplice_objects fwsplice_main fwsplice_check_objects)
    fwsplice_target_defaults(${objects})
endforeach()

set(fwsplice_parts fwsplice_main fwsplice_objects fwsplice_input_objects)
if(WIN32)
    # The manifest makes UTF-8 the active code page, so non-ASCII paths pass through argv.
    enable_language(RC)
    add_library(fwsplice_resources OBJECT "${fwsplice_src}/fwsplice.rc")
    # The same tool without the manifest, standing for Windows before 1903 in the Wine check.
    fwsplice_program(fwsplice_no_manifest ${fwsplice_parts})
    set_target_properties(fwsplice_no_manifest PROPERTIES EXCLUDE_FROM_ALL ON)
    target_link_options(fwsplice_no_manifest PRIVATE $<$<NOT:$<CXX_COMPILER_ID:MSVC>>:-static>)
    list(APPEND fwsplice_parts fwsplice_resources)
endif()
fwsplice_program(fwsplice ${fwsplice_parts})
add_executable(fwsplice::fwsplice ALIAS fwsplice)
if(MSVC)
    target_link_options(fwsplice PRIVATE /MANIFEST:NO)  # ours is the only manifest
endif()

# The build's check of an image before it is merged (fwsplice_add_image); not a user command.
fwsplice_program(fwsplice_check fwsplice_check_objects fwsplice_input_objects)
add_executable(fwsplice::check ALIAS fwsplice_check)
set_target_properties(fwsplice_check PROPERTIES OUTPUT_NAME fwsplice-check EXPORT_NAME check)

# The tools built with this project's own C++ compiler: fwsplice, and fwsplice-check for the
# build's checks of an image. The sources are two object libraries, reading the inputs and the
# rest, with each platform's primitives chosen here; each program is its main on top.
set(fwsplice_src "${PROJECT_SOURCE_DIR}/src")
# Reading the inputs, which both programs do alike.
add_library(fwsplice_input_objects OBJECT "${fwsplice_src}/bootloader_tail.cpp")
add_library(fwsplice_objects OBJECT "${fwsplice_src}/merge_command.cpp"
    "${fwsplice_src}/whole_file.cpp" "${fwsplice_src}/image_buffer.cpp")
if(WIN32)
    target_sources(fwsplice_input_objects PRIVATE "${fwsplice_src}/input_file_windows.cpp")
    target_sources(fwsplice_objects PRIVATE "${fwsplice_src}/output_file_windows.cpp" "${fwsplice_src}/signals_windows.cpp")
else()
    target_sources(fwsplice_input_objects PRIVATE "${fwsplice_src}/input_file_posix.cpp")
    target_sources(fwsplice_objects PRIVATE "${fwsplice_src}/output_file_posix.cpp" "${fwsplice_src}/in_place_file_posix.cpp"
        "${fwsplice_src}/temporary_file_posix.cpp" "${fwsplice_src}/file_attributes_posix.cpp"
        "${fwsplice_src}/signals_posix.cpp")
endif()
target_link_libraries(fwsplice_input_objects PUBLIC combined_image)
target_link_libraries(fwsplice_objects PUBLIC fwsplice_input_objects)

add_executable(fwsplice ${fwsplice_src}/main.cpp)
add_executable(fwsplice::fwsplice ALIAS fwsplice)
target_link_libraries(fwsplice PRIVATE fwsplice_objects fwsplice_input_objects)
if(WIN32)
    # The manifest makes UTF-8 the active code page, so non-ASCII paths pass through argv.
    enable_language(RC)
    target_sources(fwsplice PRIVATE ${fwsplice_src}/fwsplice.rc)
    if(MSVC)
        target_link_options(fwsplice PRIVATE /MANIFEST:NO)  # ours is the only manifest
    endif()
    # The same tool without the manifest, standing for Windows before 1903 in the Wine check.
    add_executable(fwsplice_no_manifest EXCLUDE_FROM_ALL ${fwsplice_src}/main.cpp)
    target_link_libraries(fwsplice_no_manifest PRIVATE fwsplice_objects fwsplice_input_objects)
    target_link_options(fwsplice_no_manifest PRIVATE $<$<NOT:$<CXX_COMPILER_ID:MSVC>>:-static>)
endif()
# The build's check of an image before it is merged (fwsplice_add_image); not a user command.
add_executable(fwsplice_check "${fwsplice_src}/check_main.cpp" "${fwsplice_src}/check_command.cpp")
add_executable(fwsplice::check ALIAS fwsplice_check)
set_target_properties(fwsplice_check PROPERTIES OUTPUT_NAME fwsplice-check EXPORT_NAME check)
target_link_libraries(fwsplice_check PRIVATE fwsplice_input_objects)

foreach(target fwsplice_input_objects fwsplice_objects fwsplice fwsplice_check)
    # 64-bit file offsets on 32-bit hosts too, so that a large input gets the same answer.
    if(NOT WIN32)
        target_compile_definitions(${target} PRIVATE _FILE_OFFSET_BITS=64)
    endif()
    # An explicit standard, so that the compile database carries -std=c++17 for clangd and
    # clang-tidy even where the compiler's default already is C++17.
    set_target_properties(${target} PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
        CXX_EXTENSIONS OFF)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${FWSPLICE_WARNINGS_AS_ERRORS}>:/WX>)
    else()
        target_compile_options(${target} PRIVATE
            -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
            $<$<BOOL:${FWSPLICE_WARNINGS_AS_ERRORS}>:-Werror>)
    endif()
endforeach()

# Builds run the tool once per compile on images of some tens of KiB, where loading the shared
# C++ runtime takes longer than the merge; linked in, it costs nothing to load. Sanitizer and
# valgrind builds turn both options off.
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT APPLE)
    foreach(target fwsplice fwsplice_check)
        if(FWSPLICE_STATIC)
            target_link_options(${target} PRIVATE -static)
        elseif(FWSPLICE_STATIC_RUNTIME)
            target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
        endif()
    endforeach()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/hardening.cmake)


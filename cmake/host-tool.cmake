# fwsplice added from source to another project: what the build of fwsplice and fwsplice-check
# for the build machine, as a project of their own (fwsplice_host, in the root CMakeLists.txt),
# needs: the build machine's compiler, checked now, and where the programs will be.

set(fwsplice_host_args "")
if(NOT CMAKE_GENERATOR MATCHES "^(Visual Studio|Xcode)")
    # An IDE generator brings its own compiler for the machine it runs on; others need one named.
    # A name is looked for on the PATH, as CMAKE_CXX_COMPILER's is.
    set(FWSPLICE_HOST_CXX_COMPILER "" CACHE STRING "The build machine's C++17 compiler, a name \
or a path, which builds fwsplice for a parent project (default: c++, g++ or clang++)")
    mark_as_advanced(FWSPLICE_HOST_CXX_COMPILER)
    set(fwsplice_compiler_names c++ g++ clang++)
    if(FWSPLICE_HOST_CXX_COMPILER)
        set(fwsplice_compiler_names "${FWSPLICE_HOST_CXX_COMPILER}")
    endif()
    unset(FWSPLICE_HOST_CXX_PATH CACHE)
    find_program(FWSPLICE_HOST_CXX_PATH NAMES ${fwsplice_compiler_names} NO_CMAKE_FIND_ROOT_PATH)
    if(NOT FWSPLICE_HOST_CXX_PATH)
        string(REPLACE ";" ", " fwsplice_compiler_names "${fwsplice_compiler_names}")
        message(FATAL_ERROR "fwsplice: no C++ compiler for the build machine was found: looked "
            "for ${fwsplice_compiler_names} (FWSPLICE_HOST_CXX_COMPILER) on the PATH")
    endif()
    set(fwsplice_probe "${PROJECT_BINARY_DIR}/host-probe.cpp")
    file(WRITE "${fwsplice_probe}" "#include <cstdio>\n#include <string_view>\nint main() {}\n")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=CXXFLAGS
            "${FWSPLICE_HOST_CXX_PATH}" -std=c++17 -fsyntax-only "${fwsplice_probe}"
        RESULT_VARIABLE fwsplice_probe_status OUTPUT_QUIET ERROR_QUIET)
    if(NOT fwsplice_probe_status EQUAL 0)
        message(FATAL_ERROR "fwsplice: fwsplice is built to run on the build machine, and no "
            "C++17 compiler for the build machine was found (FWSPLICE_HOST_CXX_COMPILER: "
            "${FWSPLICE_HOST_CXX_PATH}). Install one (on Debian: apt-get install g++) or "
            "name it with -DFWSPLICE_HOST_CXX_COMPILER=<path>; or point fwsplice_DIR at an "
            "installed fwsplice and use find_package(fwsplice) instead of its sources.")
    endif()
    set(fwsplice_host_args "-DCMAKE_CXX_COMPILER=${FWSPLICE_HOST_CXX_PATH}")
    if(CMAKE_MAKE_PROGRAM)
        list(APPEND fwsplice_host_args "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}")
    endif()
endif()

set(fwsplice_host_dir "${PROJECT_BINARY_DIR}/host")
set(fwsplice_programs_dir "${fwsplice_host_dir}")
get_property(fwsplice_multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(fwsplice_multi_config)
    # The same generator below: Release only, in the same place for every parent configuration.
    set(fwsplice_programs_dir "${fwsplice_host_dir}/Release")
    list(APPEND fwsplice_host_args -DCMAKE_CONFIGURATION_TYPES=Release)
endif()
set(fwsplice_suffix "")
if(CMAKE_HOST_WIN32)
    set(fwsplice_suffix ".exe")
endif()
# Rebuilt when, and only when, one of fwsplice's own files changes.
file(GLOB_RECURSE fwsplice_own_files "${PROJECT_SOURCE_DIR}/src/*"
    "${PROJECT_SOURCE_DIR}/cmake/*.cmake" "${PROJECT_SOURCE_DIR}/cmake/*.in")

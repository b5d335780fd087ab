# fwsplice in a project cross-compiled for another machine: fwsplice and fwsplice-check are
# built for the build machine by its own C++ compiler, in a build of their own with no
# toolchain file, and fwsplice::fwsplice and fwsplice::check name the programs it makes. That
# build runs on every build of the project and does nothing unless fwsplice's sources changed,
# so an image is remade when the tool changes and never otherwise.
include(ExternalProject)

find_program(FWSPLICE_HOST_CXX_COMPILER NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH
    DOC "The build machine's C++17 compiler, which builds fwsplice in a cross build")
mark_as_advanced(FWSPLICE_HOST_CXX_COMPILER)
set(fwsplice_probe "${PROJECT_BINARY_DIR}/host-probe.cpp")
file(WRITE "${fwsplice_probe}" "#include <cstdio>\n#include <string_view>\nint main() {}\n")
set(fwsplice_probe_status 1)
if(FWSPLICE_HOST_CXX_COMPILER)
    execute_process(COMMAND "${FWSPLICE_HOST_CXX_COMPILER}" -std=c++17 -fsyntax-only
            "${fwsplice_probe}"
        RESULT_VARIABLE fwsplice_probe_status OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT fwsplice_probe_status EQUAL 0)
    message(FATAL_ERROR "fwsplice: this project is cross-compiled, so fwsplice is built to run "
        "on the build machine, and no C++17 compiler for the build machine was found "
        "(FWSPLICE_HOST_CXX_COMPILER: ${FWSPLICE_HOST_CXX_COMPILER}). Install one (on Debian: "
        "apt-get install g++) or name it with -DFWSPLICE_HOST_CXX_COMPILER=<path>; or point "
        "fwsplice_DIR at an installed fwsplice and use find_package(fwsplice) instead of its "
        "sources.")
endif()

set(fwsplice_host_dir "${PROJECT_BINARY_DIR}/host")
set(fwsplice_suffix "")
if(CMAKE_HOST_WIN32)
    set(fwsplice_suffix ".exe")
endif()
# An empty toolchain file overrides one given in the environment (CMAKE_TOOLCHAIN_FILE).
ExternalProject_Add(fwsplice_host
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${fwsplice_host_dir}"
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE= -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
        -DFWSPLICE_INSTALL=OFF "-DCMAKE_CXX_COMPILER=${FWSPLICE_HOST_CXX_COMPILER}"
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS "${fwsplice_host_dir}/fwsplice${fwsplice_suffix}"
        "${fwsplice_host_dir}/fwsplice-check${fwsplice_suffix}"
    INSTALL_COMMAND "")
foreach(fwsplice_program fwsplice check)
    add_executable(fwsplice::${fwsplice_program} IMPORTED GLOBAL)
    add_dependencies(fwsplice::${fwsplice_program} fwsplice_host)
endforeach()
set_target_properties(fwsplice::fwsplice PROPERTIES
    IMPORTED_LOCATION "${fwsplice_host_dir}/fwsplice${fwsplice_suffix}")
set_target_properties(fwsplice::check PROPERTIES
    IMPORTED_LOCATION "${fwsplice_host_dir}/fwsplice-check${fwsplice_suffix}")

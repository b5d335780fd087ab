# fwsplice_add_host_build(<build-tests>): fwsplice added from source to another project, with
# its tests where <build-tests> is true, run by the parent's ctest. fwsplice and
# fwsplice-image are built for the build machine as a project of their own, in
# <binary dir>/host, once, as Release, whatever configuration the parent builds, and again only
# when one of fwsplice's own files changes; fwsplice::fwsplice and fwsplice::image name its
# programs, and an image is remade when they change. Its steps make the same files for every
# configuration of a multi-config parent, so that every way of driving one (cross-configs among
# them) finds one rule for each. The parent's toolchain, its flags, and CFLAGS, CXXFLAGS and
# LDFLAGS in the environment (the parent's too, and often the target's) reach none of it.
function(fwsplice_add_host_build build_tests)
    set(host_dir "${PROJECT_BINARY_DIR}/host")
    set(programs_dir "${host_dir}")
    set(arguments "")
    get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
    if(multi_config)
        # The same generator below: Release only, in the same place for every configuration.
        set(programs_dir "${host_dir}/Release")
        list(APPEND arguments -DCMAKE_CONFIGURATION_TYPES=Release)
    endif()
    # An IDE generator brings its own compiler for the machine it runs on; others need one.
    if(NOT CMAKE_GENERATOR MATCHES "^(Visual Studio|Xcode)")
        _fwsplice_host_compiler(compiler)
        list(APPEND arguments "-DCMAKE_CXX_COMPILER=${compiler}")
        if(CMAKE_MAKE_PROGRAM)
            list(APPEND arguments "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}")
        endif()
    endif()
    set(suffix "")
    if(CMAKE_HOST_WIN32)
        set(suffix ".exe")
    endif()
    set(cache "${host_dir}/CMakeCache.txt")
    # An empty toolchain file overrides one given in the environment. A unity build at -O1
    # compiles each part of the tool as one unit, in half the time of a parent's first build:
    # on the images a build makes, -O1 runs as fast as -O3.
    add_custom_command(OUTPUT "${cache}"
        COMMAND "${CMAKE_COMMAND}" -E env --unset=CFLAGS --unset=CXXFLAGS --unset=LDFLAGS
            "${CMAKE_COMMAND}" -S "${PROJECT_SOURCE_DIR}" -B "${host_dir}"
            -G "${CMAKE_GENERATOR}" -DCMAKE_TOOLCHAIN_FILE= -DCMAKE_BUILD_TYPE=Release
            "-DBUILD_TESTING=${build_tests}" -DFWSPLICE_INSTALL=OFF -DCMAKE_UNITY_BUILD=ON
            "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" ${arguments}
        COMMENT "fwsplice: configuring fwsplice for the build machine"
        VERBATIM)
    file(GLOB_RECURSE own_files "${PROJECT_SOURCE_DIR}/src/*"
        "${PROJECT_SOURCE_DIR}/cmake/*.cmake" "${PROJECT_SOURCE_DIR}/cmake/*.in")
    # Under a make parent, the parent's make runs the host build as a make of its own, as
    # ExternalProject does, so that it takes part in the parent's job server instead of warning
    # that it has none and running alone. fwsplice_add_image runs fwsplice-image alone, so that
    # is all a parent's first build compiles; fwsplice itself is built when something asks for
    # it, after, in the same tree.
    set(build_host "${CMAKE_COMMAND}" --build "${host_dir}" --config Release --target)
    if(CMAKE_GENERATOR MATCHES "^(Unix|MinGW|MSYS) Makefiles$")
        set(build_host "$(MAKE)" -C "${host_dir}")
    endif()
    set(previous "")
    foreach(program image fwsplice)
        set(name "fwsplice-${program}")
        set(target "fwsplice_${program}")
        if(program STREQUAL "fwsplice")
            set(name fwsplice)
            set(target fwsplice)
        endif()
        # With its tests, the host build makes everything they run.
        if(build_tests)
            set(target all)
        endif()
        set(stamp "${PROJECT_BINARY_DIR}/fwsplice_host_${program}.stamp")
        add_custom_command(OUTPUT "${stamp}"
            BYPRODUCTS "${programs_dir}/${name}${suffix}"
            COMMAND ${build_host} ${target}
            COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
            DEPENDS "${cache}" "${PROJECT_SOURCE_DIR}/CMakeLists.txt" ${own_files} ${previous}
            COMMENT "fwsplice: building ${name} for the build machine"
            VERBATIM)
        add_custom_target(fwsplice_host_${program} DEPENDS "${stamp}")
        add_executable(fwsplice::${program} IMPORTED GLOBAL)
        add_dependencies(fwsplice::${program} fwsplice_host_${program})
        set_target_properties(fwsplice::${program} PROPERTIES
            IMPORTED_LOCATION "${programs_dir}/${name}${suffix}")
        # One build of the host tree at a time.
        set(previous "${stamp}")
    endforeach()
    if(build_tests)
        add_test(NAME fwsplice_tests
            COMMAND "${CMAKE_CTEST_COMMAND}" -C Release --output-on-failure
            WORKING_DIRECTORY "${host_dir}")
    endif()
endfunction()

# Sets <variable> to the build machine's C++17 compiler: FWSPLICE_HOST_CXX_COMPILER, a name
# looked for on the PATH as CMAKE_CXX_COMPILER's is, or a path; else c++, g++ or clang++. Stops
# configuring, saying what to do, where none is found or it cannot compile C++17.
function(_fwsplice_host_compiler variable)
    set(FWSPLICE_HOST_CXX_COMPILER "" CACHE STRING "The build machine's C++17 compiler, a name \
or a path, which builds fwsplice for a parent project (default: c++, g++ or clang++)")
    mark_as_advanced(FWSPLICE_HOST_CXX_COMPILER)
    set(names c++ g++ clang++)
    if(FWSPLICE_HOST_CXX_COMPILER)
        set(names "${FWSPLICE_HOST_CXX_COMPILER}")
    endif()
    unset(FWSPLICE_HOST_CXX_PATH CACHE)
    find_program(FWSPLICE_HOST_CXX_PATH NAMES ${names} NO_CMAKE_FIND_ROOT_PATH)
    if(NOT FWSPLICE_HOST_CXX_PATH)
        string(REPLACE ";" ", " names "${names}")
        message(FATAL_ERROR "fwsplice: no C++ compiler for the build machine was found: looked "
            "for ${names} (FWSPLICE_HOST_CXX_COMPILER) on the PATH")
    endif()
    set(probe "${PROJECT_BINARY_DIR}/host-probe.cpp")
    file(WRITE "${probe}" "#include <cstdio>\n#include <string_view>\nint main() {}\n")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=CXXFLAGS
            "${FWSPLICE_HOST_CXX_PATH}" -std=c++17 -fsyntax-only "${probe}"
        RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "fwsplice: fwsplice is built to run on the build machine, and no "
            "C++17 compiler for the build machine was found (FWSPLICE_HOST_CXX_COMPILER: "
            "${FWSPLICE_HOST_CXX_PATH}). Install one (on Debian: apt-get install g++) or "
            "name it with -DFWSPLICE_HOST_CXX_COMPILER=<path>; or point fwsplice_DIR at an "
            "installed fwsplice and use find_package(fwsplice) instead of its sources.")
    endif()
    set(${variable} "${FWSPLICE_HOST_CXX_PATH}" PARENT_SCOPE)
endfunction()

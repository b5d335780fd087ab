# What fwsplice as a subdirectory of a firmware project leaves of the parent, and how it finds
# the build machine's compiler. Included by firmware_project.cmake, with its variables.
# As a subproject, fwsplice leaves the parent's variables and cache as they were, but for
# its own FWSPLICE_* and fwsplice_* names: the same parent (whose project() has no VERSION)
# is configured without fwsplice and with it, and what it sees at its end is compared.
file(WRITE "${WORK_DIR}/parent/CMakeLists.txt" "cmake_minimum_required(VERSION 3.16)
project(firmware LANGUAGES CXX)
if(WITH_FWSPLICE)
add_subdirectory(\"${SOURCE_DIR}\" fwsplice)
endif()
get_cmake_property(names VARIABLES)
list(FILTER names EXCLUDE REGEX \"^(fwsplice|FWSPLICE)_|^WITH_FWSPLICE$\")
foreach(name IN LISTS names)
string(APPEND seen \"\${name}=\${\${name}}\\n\")
endforeach()
file(WRITE \"\${CMAKE_BINARY_DIR}/../\${WITH_FWSPLICE}.txt\" \"\${seen}\")
")
foreach(with OFF ON)
    run(output COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/${with}"
        -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=${with})
    file(READ "${WORK_DIR}/parent/${with}.txt" variables_${with})
    string(REPLACE "${WORK_DIR}/parent/${with}" "<build>" variables_${with}
        "${variables_${with}}")
    file(STRINGS "${WORK_DIR}/parent/${with}/CMakeCache.txt" cache_${with}
        REGEX "^[A-Za-z_][^:#]*:[A-Z]+=")
    list(TRANSFORM cache_${with} REPLACE "${WORK_DIR}/parent/${with}" "<build>")
    # CMake counts the directories it reads.
    list(FILTER cache_${with} EXCLUDE
        REGEX "^(fwsplice|FWSPLICE)_|^WITH_FWSPLICE:|^CMAKE_NUMBER_OF_MAKEFILES:")
endforeach()
if(NOT variables_ON STREQUAL variables_OFF)
    file(WRITE "${WORK_DIR}/parent/diff-OFF.txt" "${variables_OFF}")
    file(WRITE "${WORK_DIR}/parent/diff-ON.txt" "${variables_ON}")
    message(FATAL_ERROR "fwsplice as a subdirectory changed the parent's variables: "
        "compare ${WORK_DIR}/parent/diff-OFF.txt and diff-ON.txt")
endif()
list(REMOVE_ITEM cache_ON ${cache_OFF})
if(cache_ON)
    message(FATAL_ERROR "fwsplice as a subdirectory changed the parent's cache: ${cache_ON}")
endif()
# The build machine's compiler by name, as CMAKE_CXX_COMPILER takes one; or not found.
get_filename_component(compiler_name "${CXX_COMPILER}" NAME)
run(output COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/by-name"
    -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=ON
    "-DFWSPLICE_HOST_CXX_COMPILER=${compiler_name}")
file(STRINGS "${WORK_DIR}/parent/by-name/CMakeCache.txt" found
    REGEX "^FWSPLICE_HOST_CXX_PATH:")
string(REGEX REPLACE "^[^=]*=" "" found "${found}")
get_filename_component(found_name "${found}" NAME)
if(NOT IS_ABSOLUTE "${found}" OR NOT found_name STREQUAL compiler_name)
    message(FATAL_ERROR "FWSPLICE_HOST_CXX_COMPILER=${compiler_name} was not found: ${found}")
endif()
expect_configure_failure("no such compiler"
    "looked for no-such-c\\+\\+ \\(FWSPLICE_HOST_CXX_COMPILER\\) on the PATH"
    "${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/parent/no-such"
    -G "${GENERATOR}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" -DWITH_FWSPLICE=ON
    -DFWSPLICE_HOST_CXX_COMPILER=no-such-c++)
if(EXISTS "${build}/fwsplice/tests")
    message(FATAL_ERROR "fwsplice as a subdirectory configured its tests")
endif()
run(output COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${WORK_DIR}/prefix")
file(GLOB_RECURSE installed "${WORK_DIR}/prefix/*")
if(installed)
    message(FATAL_ERROR "fwsplice as a subdirectory installed ${installed}")
endif()

# Compiles and links fwsplice for arm64 macOS with Zig's C++ cross compiler, which ships the
# macOS headers and links Mach-O; the result is checked, not run, since this needs no Mac:
#   ZIG=<path to zig> cmake -S . -B build-macos -G Ninja \
#       -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/zig-aarch64-macos.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(fwsplice_zig "${CMAKE_CURRENT_LIST_DIR}/zig")
set(CMAKE_C_COMPILER "${fwsplice_zig}/aarch64-macos-cc")
set(CMAKE_CXX_COMPILER "${fwsplice_zig}/aarch64-macos-c++")
set(CMAKE_AR "${fwsplice_zig}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${fwsplice_zig}/zig-ranlib" CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL "${fwsplice_zig}/install_name_tool" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

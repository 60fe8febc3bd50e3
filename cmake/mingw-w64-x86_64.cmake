# Cross-building quornax.exe for 64-bit Windows with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix), run and tested under wine:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: their C++ runtime has std::thread, which the
# GoogleTest build wants.
set(triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_AR ${triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${triplet}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${triplet}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: the .exe needs only the DLLs every Windows has, not the
# compiler's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run the programs under wine, through a runner that retries the one
# start failure wine is known for.
get_filename_component(quornax_top "${CMAKE_CURRENT_LIST_DIR}" DIRECTORY)
set(CMAKE_CROSSCOMPILING_EMULATOR "${quornax_top}/tools/wine-run")

# GoogleTest is built from Debian's source package, for this target.
set(QUORNAX_GTEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources to build the tests with")

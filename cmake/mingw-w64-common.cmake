# What the mingw-w64 toolchain files share; GRENFEL_MINGW_TRIPLET names the
# target. The -posix compilers give std::thread and friends.
set(CMAKE_C_COMPILER ${GRENFEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GRENFEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${GRENFEL_MINGW_TRIPLET}-windres)

# Libraries, headers and packages come from the target's tree only, never
# from the Linux system (its GoogleTest is built for Linux).
set(CMAKE_FIND_ROOT_PATH /usr/${GRENFEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

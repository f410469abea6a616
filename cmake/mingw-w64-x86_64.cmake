# Cross build of the 64-bit Windows program with Debian's mingw-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Every program is linked statically, so grenfel.exe and the test programs
# need no DLL beside them. The test programs run under wine64 when it is
# installed (ctest starts them through it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GRENFEL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(GRENFEL_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(GRENFEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GRENFEL_WINE64})
endif()

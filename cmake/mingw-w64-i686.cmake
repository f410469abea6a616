# Cross build of the 32-bit Windows program with Debian's mingw-w64:
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Every program is linked statically. The test programs run under wine32
# (Debian's wine32:i386 beside wine64, in a 64-bit prefix) when it is
# installed (ctest starts them through it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(GRENFEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

find_program(GRENFEL_WINE32 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(GRENFEL_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GRENFEL_WINE32})
endif()

# Cross build for 64-bit Windows with Debian's MinGW-w64 (scripts/build-windows.sh).
# The posix thread model: the win32 one of GCC 12 has no std::thread or
# std::mutex. The programs carry their C and C++ runtimes (-static), so the
# program folder needs no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FERRO_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FERRO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FERRO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${FERRO_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FERRO_MINGW})
# Programs (soapcpp2, python3) are the host's; libraries and headers the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The test programs run under Wine, in a Wine prefix of the build folder's
# own (made once, by the first run; see cmake/windows.cmake), with Wine's
# own diagnostics off.
find_program(FERRO_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(FERRO_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_COMMAND} -E env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
      ${FERRO_WINE64})
endif()

# Cross-compiles eepromfix for 32-bit Windows with Debian's mingw-w64. Its tests need a wine
# that runs 32-bit programs (Debian's wine32 package).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(EEPROMFIX_MINGW_TRIPLE i686-w64-mingw32)

# The posix thread model: GoogleTest needs std::mutex, which this compiler's win32 model lacks.
# Its winpthread runtime is linked in statically like the rest (see below).
find_program(CMAKE_C_COMPILER NAMES ${EEPROMFIX_MINGW_TRIPLE}-gcc-posix ${EEPROMFIX_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${EEPROMFIX_MINGW_TRIPLE}-g++-posix ${EEPROMFIX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${EEPROMFIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${EEPROMFIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program, the tests included, is one file that needs only the system's DLLs: the
# compiler's runtime is linked in, so a user copies the exe and runs it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and other built programs run under wine; its plain loader is the one for 32-bit programs.
find_program(EEPROMFIX_WINE NAMES wine)
if(EEPROMFIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${EEPROMFIX_WINE})
endif()

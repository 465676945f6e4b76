# What the two mingw-w64 toolchain files share; each sets EEPROMFIX_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

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

# Tests and other built programs run under wine, in the project's own prefix (tools/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)

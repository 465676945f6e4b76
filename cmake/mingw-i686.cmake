# Cross-compiles eepromfix for 32-bit Windows with Debian's mingw-w64. Its tests need a wine
# that runs 32-bit programs (Debian's wine32 package).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(EEPROMFIX_MINGW_TRIPLE i686-w64-mingw32)
# Tests and other built programs run under wine; its plain loader is the one for 32-bit programs.
set(EEPROMFIX_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

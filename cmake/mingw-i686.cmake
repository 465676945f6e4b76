# Cross-compiles eepromfix for 32-bit Windows with Debian's mingw-w64. Its tests run under the
# same wine as the 64-bit ones, which needs Debian's wine32:i386 for 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(EEPROMFIX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

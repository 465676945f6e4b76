# The Windows exe that ships: its own build of the tool's sources, with no C++ runtime and no
# posix thread runtime (the test programs keep both; GoogleTest needs them). The tool throws
# nothing and uses no part of the C++ library that needs its runtime, so it links as C against
# mingw-w64's C runtime and the system's DLLs alone: small, and nothing that Windows XP lacks.
enable_language(C)
enable_language(RC)

configure_file(packaging/windows/eepromfix.exe.manifest.in eepromfix.exe.manifest @ONLY)
set(EEPROMFIX_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/eepromfix.exe.manifest)
configure_file(packaging/windows/eepromfix.rc.in eepromfix.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/eepromfix.rc PROPERTIES
  OBJECT_DEPENDS ${EEPROMFIX_MANIFEST})

add_executable(eepromfix
  src/driver/main.cpp
  ${EEPROMFIX_CORE_SOURCES}
  src/platform/windows.cpp
  src/platform/windows_files.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/eepromfix.rc
)
target_include_directories(eepromfix PRIVATE src)
target_compile_options(eepromfix PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Os -g0 -fno-exceptions -fno-rtti -fno-threadsafe-statics
                            -ffunction-sections -fdata-sections>)
# The C runtime's own printf (msvcrt.dll), not mingw-w64's C99 one, which libstdc++'s headers
# switch on and which brings its float formatting along: about 20 KiB that the tool, printing
# only %s, %d, %u and %x, never needs. stdio.h read first, with the switch off, keeps the
# runtime's declarations; the C++ headers that come later cannot change them.
target_compile_definitions(eepromfix PRIVATE __USE_MINGW_ANSI_STDIO=0)
target_compile_options(eepromfix PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-include stdio.h>)
target_link_options(eepromfix PRIVATE
  -s                          # stripped
  -Wl,--gc-sections
  -Wl,--no-insert-timestamp   # the same sources give the same exe
  -no-pthread)                # a link error, rather than winpthread creeping in
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # No DWARF unwind tables for i686: nothing unwinds through the tool's frames (about 2.5 KiB).
  target_compile_options(eepromfix PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-asynchronous-unwind-tables>)
endif()
target_link_libraries(eepromfix PRIVATE setupapi)
set_target_properties(eepromfix PROPERTIES LINKER_LANGUAGE C)
# Every build is checked: its size, and its imports against the list of what Windows XP has.
add_custom_command(TARGET eepromfix POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:eepromfix> -DOBJDUMP=${CMAKE_OBJDUMP}
          -DALLOWED=${PROJECT_SOURCE_DIR}/packaging/windows/allowed-imports.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/check-exe.cmake
  VERBATIM)
install(TARGETS eepromfix RUNTIME DESTINATION bin)

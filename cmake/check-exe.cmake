# The one check of a shipped eepromfix.exe (x86_64 or i686): fails when the exe is larger than
# 64 KiB, imports nothing (an import table that objdump shows in a form not read here), or
# imports a function that packaging/windows/allowed-imports.txt does not list. Run after each
# link of the exe, by tools/test-windows and by tools/check-release on the exes in the zips.
#   cmake [--log-level=VERBOSE] -DEXE=... -DOBJDUMP=... -DALLOWED=... -P check-exe.cmake
# With --log-level=VERBOSE it says what it found: size, number of imports, DLLs.
cmake_minimum_required(VERSION 3.25)
file(SIZE "${EXE}" size)
if(size GREATER 65536)
  message(FATAL_ERROR "${EXE} is ${size} bytes, more than 64 KiB")
endif()

file(STRINGS "${ALLOWED}" allowed REGEX "^[^#]")
string(TOUPPER "${allowed}" allowed)  # DLL names are compared without regard to case
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${dump}")
set(dll "")
set(dlls "")
set(imports 0)
set(unlisted "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
    list(APPEND dlls "${CMAKE_MATCH_1}")
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+ +([^ ]+)$")
    math(EXPR imports "${imports} + 1")
    string(TOUPPER "${dll} ${CMAKE_MATCH_1}" import)
    if(NOT import IN_LIST allowed)
      list(APPEND unlisted "${dll} ${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()
if(imports EQUAL 0)
  message(FATAL_ERROR "${EXE}: no imported functions found in what ${OBJDUMP} -p shows")
endif()
if(unlisted)
  list(JOIN unlisted ", " unlisted)
  message(FATAL_ERROR "${EXE} imports what ${ALLOWED} does not list: ${unlisted}")
endif()
list(JOIN dlls " " dlls)
message(VERBOSE "${EXE}: ${size} bytes, ${imports} imports from ${dlls}")

# Run after each link of the shipped exe (cmake -P): fails the build when the exe is larger than
# 64 KiB or imports a function that packaging/windows/allowed-imports.txt does not list.
#   cmake -DEXE=... -DOBJDUMP=... -DALLOWED=... -P check-exe.cmake
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
set(unlisted "")
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" dll)
  elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+ +([^ ]+)$")
    string(TOUPPER "${dll} ${CMAKE_MATCH_1}" import)
    if(NOT import IN_LIST allowed)
      list(APPEND unlisted "${dll} ${CMAKE_MATCH_1}")
    endif()
  endif()
endforeach()
if(unlisted)
  list(JOIN unlisted ", " unlisted)
  message(FATAL_ERROR "${EXE} imports what ${ALLOWED} does not list: ${unlisted}")
endif()

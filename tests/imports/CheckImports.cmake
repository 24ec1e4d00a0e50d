# cmake -DOBJDUMP=... -DPROGRAM=... "-DALLOWED=a.dll;b.dll" -P CheckImports.cmake
# Fails when the program imports a DLL outside the allowed list (compared without case, as
# Windows does), delay-loads any DLL (those are searched for as plain imports are), or shows no
# import table at all, which would only mean that the check read nothing.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} cannot read ${PROGRAM}")
endif()

string(REGEX MATCH "Entry d [0-9a-fA-F]+ ([0-9a-fA-F]+) Delay Import Directory" delay "${dump}")
if(NOT delay OR NOT CMAKE_MATCH_1 MATCHES "^0+$")
  message(FATAL_ERROR "${PROGRAM} has a delay import directory, or its size cannot be read")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
if(NOT names)
  message(FATAL_ERROR "no import table read from ${PROGRAM}")
endif()
string(TOLOWER "${ALLOWED}" allowed)
set(refused)
foreach(line IN LISTS names)
  string(REGEX REPLACE "^DLL Name: " "" name "${line}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" folded)
  if(NOT folded IN_LIST allowed)
    list(APPEND refused ${name})
  endif()
endforeach()
if(refused)
  message(FATAL_ERROR "${PROGRAM} imports ${refused}, which the loader may take from the "
    "program's folder: only known DLLs may be imported (cmake/AllowedImports.cmake); load any "
    "other from the system folder at run time")
endif()
message(STATUS "${PROGRAM} imports only allowed DLLs")

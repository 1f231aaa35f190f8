# The shipped DLL's import table, read on the build machine (no Wine): only
# libraries that Windows always takes from its own directory (Known DLLs).
# ncrypt.dll and bcrypt.dll are not Known DLLs, so an import of either would
# be satisfied by a file of that name beside the client before the guard
# ran; the guard loads them from the system directory itself.
#   cmake -DOBJDUMP=<objdump> -DDLL=<ZarnelGuard.dll> -P dll_imports.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${result}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(imported "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: *" "" name "${line}")
  string(STRIP "${name}" name)
  string(TOLOWER "${name}" name)
  list(APPEND imported ${name})
endforeach()
if(NOT "kernel32.dll" IN_LIST imported)
  message(FATAL_ERROR "no import table read from ${DLL}: ${imported}")
endif()
set(known kernel32.dll advapi32.dll ntdll.dll msvcrt.dll user32.dll)
foreach(name IN LISTS imported)
  if(NOT name IN_LIST known)
    message(FATAL_ERROR "ZarnelGuard.dll imports ${name}, which Windows may take from the client's directory")
  endif()
endforeach()
message(STATUS "imports: ${imported}")

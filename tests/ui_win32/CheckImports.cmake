# tests/ui_win32/CheckImports.cmake — fails unless a Windows program imports only DLLs that ship with Windows.
#
# cmake -DOBJDUMP=<x86_64-w64-mingw32-objdump> -DPROGRAM=<busfinder.exe> -P CheckImports.cmake
# A statically linked MinGW program needs no libstdc++/libgcc/libwinpthread DLL beside it; msvcrt.dll
# (the C runtime MinGW builds on) and the api-ms-win-crt-* forwarders are part of Windows.
cmake_minimum_required(VERSION 3.25)
foreach(var OBJDUMP PROGRAM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckImports.cmake: -D${var}=... is required")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${status})")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "no import table found in ${PROGRAM}")
endif()

set(allowed kernel32 user32 gdi32 comctl32 winmm msvcrt advapi32 shell32 comdlg32 ole32 oleaut32 uxtheme
            shcore ucrtbase)
set(bad "")
set(all "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" name)
  string(REGEX REPLACE "\\.dll$" "" name "${name}")
  list(APPEND all "${dll}")
  if(name MATCHES "^api-ms-win-crt-")
    continue()
  endif()
  list(FIND allowed "${name}" at)
  if(at EQUAL -1)
    list(APPEND bad "${dll}")
  endif()
endforeach()

message(STATUS "imports: ${all}")
if(bad)
  message(FATAL_ERROR "imports DLLs that Windows does not ship: ${bad}")
endif()

# tests/ui_win32/CheckResources.cmake — fails unless busfinder.exe carries its icon, version block and a manifest asking for common controls v6 and per-monitor dpi awareness.
#
# cmake -DOBJDUMP=<objdump> -DPROGRAM=<busfinder.exe> [-DMANIFEST=<file> -DPYTHON=<python3>] -P CheckResources.cmake
# A manifest that isn't well-formed XML keeps the program from starting on Windows (a side-by-side
# error) while Wine may still run it, so the manifest file is parsed too when Python is given.
cmake_minimum_required(VERSION 3.25)
foreach(var OBJDUMP PROGRAM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckResources.cmake: -D${var}=... is required")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed (${status})")
endif()
# The type level of the resource tree: "010   Entry: ID: 0x000003, ..." (three blanks deep).
string(REGEX MATCHALL "\n[0-9a-f]+   Entry: ID: 0x[0-9a-f]+" entries "${dump}")
set(types "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*ID: 0x0*([0-9a-f]+)$" "\\1" type "${entry}")
  list(APPEND types "${type}")
endforeach()
set(missing "")
foreach(pair "e;RT_GROUP_ICON" "10;RT_VERSION" "18;RT_MANIFEST")
  list(GET pair 0 id)
  list(GET pair 1 name)
  if(NOT id IN_LIST types)
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "${PROGRAM} lacks the resources ${missing} (has types ${types})")
endif()

# The manifest is stored as it was written (UTF-8), so its key phrases are in the file as bytes.
file(READ ${PROGRAM} bytes HEX)
foreach(phrase "Microsoft.Windows.Common-Controls" "PerMonitorV2" "true/pm")
  string(HEX "${phrase}" hex)
  string(FIND "${bytes}" "${hex}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the manifest in ${PROGRAM} does not say ${phrase}")
  endif()
endforeach()

if(DEFINED MANIFEST AND DEFINED PYTHON)
  execute_process(COMMAND ${PYTHON} -c "import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])" ${MANIFEST}
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${MANIFEST} is not well-formed XML: ${error}")
  endif()
endif()
message(STATUS "resources: types ${types}; manifest with common controls v6 and per-monitor dpi awareness")

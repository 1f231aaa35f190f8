# The exports belong to the top layer: an object below core/ that defines
# or calls one (ZarnelGuardInitialize from a feature, say) would start the
# guard from underneath the start-up, past the include direction that the
# layers enforce, since the public header is open to the features for its
# sizes and texts. Read from the objects' symbol tables, natively.
#   cmake -DNM=<llvm-nm> -DOBJECT_LIST=<file of object paths, one a line> -P exports_in_core.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${OBJECT_LIST} OBJECTS)
if(NOT OBJECTS)
  message(FATAL_ERROR "exports_in_core.cmake: no objects listed in ${OBJECT_LIST}")
endif()
set(offending "")
set(count 0)
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} ${object}: ${error}")
  endif()
  math(EXPR count "${count} + 1")
  # 32-bit __stdcall names carry a leading underscore and @N; 64-bit neither.
  string(REGEX MATCHALL "[ \t][A-Za-z][ \t]+_?ZarnelGuard[A-Za-z]+(@[0-9]+)?" found "${symbols}")
  foreach(line IN LISTS found)
    string(STRIP "${line}" line)
    get_filename_component(name ${object} NAME)
    list(APPEND offending "${name}: ${line}")
  endforeach()
endforeach()
if(offending)
  list(JOIN offending "\n  " shown)
  message(FATAL_ERROR "objects below core/ define or call an export:\n  ${shown}")
endif()
message(STATUS "${count} objects below core/ neither define nor call an export")

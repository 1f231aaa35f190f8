# Installs the build into a scratch prefix and fails if the stand-in (or
# anything named ncrypt) is among the installed files.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
if(NOT installed MATCHES "ZarnelGuard.dll")
  message(FATAL_ERROR "the guard itself was not installed: ${installed}")
endif()
string(TOLOWER "${installed}" lowered)
if(lowered MATCHES "ncrypt")
  message(FATAL_ERROR "the stand-in key storage provider was installed: ${installed}")
endif()
file(REMOVE_RECURSE ${PREFIX})

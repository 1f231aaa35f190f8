# One hashing job of the guard manifest step (cmake -P), run beside the
# other jobs so that a client of several gigabytes is hashed on every core.
#   -DJOB=<job file>   lines "<index>|<size>|<name>|<path>"
# Writes <job file>.out, lines "<index>|<sha256>" or "<index>|error|<text>",
# and prints each file with its size and throughput as it goes.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/GuardManifestTiming.cmake)

file(READ "${JOB}" job)
set(results "")
while(NOT job STREQUAL "")
  string(FIND "${job}" "\n" end)
  string(SUBSTRING "${job}" 0 ${end} entry)
  math(EXPR next "${end} + 1")
  string(SUBSTRING "${job}" ${next} -1 job)
  # Names and paths may hold ';' and brackets, never '|' (Windows forbids it).
  string(REGEX MATCH "^([0-9]+)\\|([0-9]+)\\|([^|]*)\\|(.*)$" matched "${entry}")
  set(index "${CMAKE_MATCH_1}")
  set(size "${CMAKE_MATCH_2}")
  set(name "${CMAKE_MATCH_3}")
  set(path "${CMAKE_MATCH_4}")

  zarnelguard_now_us(start)
  # Through a child process, so that an unreadable file gets a message of
  # its own rather than an internal error.
  execute_process(COMMAND "${CMAKE_COMMAND}" -E sha256sum "${path}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE hash_line ERROR_VARIABLE hash_error)
  zarnelguard_now_us(stop)
  if(NOT result EQUAL 0 OR NOT hash_line MATCHES "^([0-9a-f]+) ")
    string(REGEX REPLACE "[\r\n]+" " " hash_error "${hash_error}")
    string(STRIP "${hash_error}" hash_error)
    string(APPEND results "${index}|error|${hash_error}\n")
    continue()
  endif()
  string(APPEND results "${index}|${CMAKE_MATCH_1}\n")
  math(EXPR elapsed "${stop} - ${start}")
  zarnelguard_describe_rate(${size} ${elapsed} rate)
  message(NOTICE "  hashed ${name}: ${rate}")
endwhile()
file(WRITE "${JOB}.out" "${results}")

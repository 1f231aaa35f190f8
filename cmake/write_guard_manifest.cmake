# Build step (cmake -P), run on every build: hashes the client files named
# in the list and writes the guard manifest table as C++ constant data.
#   -DCLIENT_DIR=<dir> -DCLIENT_FILES=<list file> -DOUTPUT=<table .cpp>
#   [-DJOBS=<parallel hashing jobs, 0 or unset: one per core>]
#
# A file's date cannot tell whether its content changed: a copy with an
# older date (an unpacked archive, rsync -a, cp -p, a rolled-back build)
# would leave stale digests in the guard, and every player's start would
# fail. So each file's identity when it was hashed (device and inode, size,
# modification and change times to the nanosecond) is kept beside the
# table, and a file is hashed again when any of them differs. The change
# time is set by the system on every write, rename or date change; no copy
# or unpack tool can set it back. Without `stat` every file is hashed.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/GuardManifestList.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/GuardManifestTiming.cmake)

zarnelguard_read_client_list("${CLIENT_FILES}" client error)
if(error)
  message(FATAL_ERROR "Cannot build the guard manifest: ${error}")
endif()
set(identities "${OUTPUT}.identities")
if(NOT JOBS)
  cmake_host_system_information(RESULT JOBS QUERY NUMBER_OF_LOGICAL_CORES)
endif()
find_program(STAT_PROGRAM stat NO_CACHE)

# What the last run hashed: line 1 the client directory, then one line per
# file, "<index>|<identity>|<sha256>|<name>".
set(known_dir "")
if(EXISTS "${identities}")
  file(READ "${identities}" known)
  string(FIND "${known}" "\n" end)
  if(end GREATER 0)
    string(SUBSTRING "${known}" 0 ${end} known_dir)
    string(SUBSTRING "${known}" ${end} -1 known)
  endif()
endif()
if(NOT known_dir STREQUAL "${CLIENT_DIR}")
  set(known "")
endif()

zarnelguard_now_us(started)
set(to_hash "")
set(total_bytes 0)
foreach(index RANGE 1 ${client_COUNT})
  set(name "${client_${index}}")
  zarnelguard_client_file_problem("${CLIENT_DIR}" "${name}" problem)
  if(problem)
    message(FATAL_ERROR "Cannot build the guard manifest: client file ${index} '${name}': ${problem}")
  endif()
  set(path "${CLIENT_DIR}/${name}")
  file(SIZE "${path}" size_${index})
  set(identity_${index} "")
  if(STAT_PROGRAM)
    execute_process(COMMAND "${STAT_PROGRAM}" -c "%d:%i %s %.9Y %.9Z" "${path}"
                    RESULT_VARIABLE result OUTPUT_VARIABLE identity ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(result EQUAL 0 AND identity MATCHES "^[0-9]+:[0-9]+ [0-9]+ [0-9]+\\.[0-9]+ ([0-9]+)\\.[0-9]+$")
      set(identity_${index} "${identity}")
      # A file changed within the clock's last second could change again
      # with the same times on a file system of coarse timestamps: trust
      # its identity only from the next run on.
      math(EXPR changed_us "${CMAKE_MATCH_1} * 1000000")
      math(EXPR settled "${started} - ${changed_us}")
      if(settled LESS 2000000)
        set(identity_${index} "unsettled ${identity}")
      endif()
    endif()
  endif()
  set(digest_${index} "")
  if(NOT identity_${index} STREQUAL "" AND NOT identity_${index} MATCHES "^unsettled")
    string(FIND "${known}" "\n${index}|${identity_${index}}|" at)
    if(NOT at EQUAL -1)
      string(SUBSTRING "${known}" ${at} -1 row)
      string(REGEX MATCH "^\n[0-9]+\\|[^|]*\\|([0-9a-f]+)\\|([^\n]*)" row "${row}")
      if(CMAKE_MATCH_2 STREQUAL "${name}")
        set(digest_${index} "${CMAKE_MATCH_1}")
      endif()
    endif()
  endif()
  if(digest_${index} STREQUAL "")
    list(APPEND to_hash ${index})
    math(EXPR total_bytes "${total_bytes} + ${size_${index}}")
  endif()
endforeach()

if(to_hash)
  # Largest files first, each to the job with the fewest bytes so far.
  set(order "")
  foreach(index IN LISTS to_hash)
    # Sizes padded to one width sort as numbers.
    string(LENGTH "${size_${index}}" width)
    string(REPEAT "0" 20 pad)
    string(SUBSTRING "${pad}${size_${index}}" ${width} -1 key)
    list(APPEND order "${key}:${index}")
  endforeach()
  list(SORT order ORDER DESCENDING)
  list(LENGTH to_hash count)
  if(JOBS GREATER count)
    set(JOBS ${count})
  endif()
  math(EXPR last_job "${JOBS} - 1")
  foreach(job RANGE ${last_job})
    set(job_bytes_${job} 0)
    set(job_text_${job} "")
  endforeach()
  foreach(entry IN LISTS order)
    string(REGEX REPLACE "^.*:" "" index "${entry}")
    set(lightest 0)
    foreach(job RANGE ${last_job})
      if(job_bytes_${job} LESS job_bytes_${lightest})
        set(lightest ${job})
      endif()
    endforeach()
    math(EXPR job_bytes_${lightest} "${job_bytes_${lightest}} + ${size_${index}}")
    string(APPEND job_text_${lightest} "${index}|${size_${index}}|${client_${index}}|${CLIENT_DIR}/${client_${index}}\n")
  endforeach()

  set(files "files")
  if(count EQUAL 1)
    set(files "file")
  endif()
  zarnelguard_describe_rate(${total_bytes} 0 total_size)
  message(NOTICE "Hashing ${count} client ${files} (${total_size}) into the guard manifest, ${JOBS} at a time")
  # The commands of one execute_process run at the same time (as a pipe
  # line): each job hashes its files and writes its results to a file.
  set(job_commands "")
  foreach(job RANGE ${last_job})
    set(job_file "${OUTPUT}.job${job}")
    file(WRITE "${job_file}" "${job_text_${job}}")
    file(REMOVE "${job_file}.out")
    list(APPEND job_commands COMMAND "${CMAKE_COMMAND}" -DJOB=${job_file} -P ${CMAKE_CURRENT_LIST_DIR}/hash_client_files.cmake)
  endforeach()
  execute_process(${job_commands} RESULTS_VARIABLE job_results)
  zarnelguard_now_us(finished)

  foreach(job RANGE ${last_job})
    set(job_file "${OUTPUT}.job${job}")
    set(out "")
    if(EXISTS "${job_file}.out")
      file(READ "${job_file}.out" out)
    endif()
    while(out MATCHES "^([0-9]+)\\|([^\n]*)\n")
      set(index ${CMAKE_MATCH_1})
      set(result "${CMAKE_MATCH_2}")
      string(LENGTH "${CMAKE_MATCH_0}" used)
      string(SUBSTRING "${out}" ${used} -1 out)
      if(result MATCHES "^error\\|(.*)$")
        message(FATAL_ERROR "Cannot build the guard manifest: client file ${index} '${client_${index}}': ${CLIENT_DIR}/${client_${index}} cannot be read ${CMAKE_MATCH_1}")
      endif()
      set(digest_${index} "${result}")
    endwhile()
    file(REMOVE "${job_file}" "${job_file}.out")
  endforeach()
  foreach(index IN LISTS to_hash)
    if(digest_${index} STREQUAL "")
      message(FATAL_ERROR "Cannot build the guard manifest: hashing client file ${index} '${client_${index}}' failed (${job_results})")
    endif()
  endforeach()
  math(EXPR elapsed "${finished} - ${started}")
  zarnelguard_describe_rate(${total_bytes} ${elapsed} total_rate)
  message(NOTICE "Hashed ${count} client ${files}: ${total_rate}")
endif()

set(rows "")
set(known_rows "${CLIENT_DIR}\n")
foreach(index RANGE 1 ${client_COUNT})
  set(name "${client_${index}}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${digest_${index}}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  string(APPEND rows "    {L\"${name}\", ${size_${index}}ull,\n     {${bytes}}},\n")
  string(REGEX REPLACE "^unsettled .*$" "" identity "${identity_${index}}")
  if(NOT identity STREQUAL "")
    string(APPEND known_rows "${index}|${identity}|${digest_${index}}|${name}\n")
  endif()
endforeach()

set(text "// Generated by the build from the client files: do not edit.
// Client directory: ${CLIENT_DIR}
// File list: ${CLIENT_FILES}
#include \"integrity/guard_manifest.h\"

const GuardManifestEntry kGuardManifest[kGuardManifestEntryCount] = {
${rows}};
")
# Written only when it changed: an unchanged client must not rebuild the
# guard.
file(WRITE "${OUTPUT}.new" "${text}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
file(WRITE "${identities}" "${known_rows}")

# The build step that hashes a client directory into the guard manifest,
# run on small crafted clients: a good list gives the expected rows, and
# every kind of bad list stops the build with a message that names the file
# and the reason.
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -P build_lists_test.cmake
cmake_minimum_required(VERSION 3.25)
set(script ${SOURCE_DIR}/cmake/write_guard_manifest.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/client)

set(core Zarnel.exe A.dll B.dll C.dll D.dll E.dll ZarnelUpdateHelper.exe Client.dat)
set(archives "")
foreach(i RANGE 1 17)
  list(APPEND archives Data${i}.pak)
endforeach()
foreach(name IN LISTS core archives)
  file(WRITE ${WORK_DIR}/client/${name} "abc")
endforeach()
file(MAKE_DIRECTORY ${WORK_DIR}/client/Folder.pak)
file(CREATE_LINK ${WORK_DIR}/client/Data1.pak ${WORK_DIR}/client/Linked.pak SYMBOLIC)

# Runs the build step on a list of `names` and checks its outcome: success
# when `expected` is empty, otherwise failure with `expected` in the output.
function(check case names expected)
  set(list_file ${WORK_DIR}/${case}.txt)
  string(REPLACE ";" "\n" text "# ${case}\n\n${names}\n")
  file(WRITE ${list_file} "${text}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DCLIENT_DIR=${WORK_DIR}/client -DCLIENT_FILES=${list_file}
                          -DOUTPUT=${WORK_DIR}/${case}.cpp -P ${script}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
  if(expected STREQUAL "")
    if(NOT result EQUAL 0)
      message(SEND_ERROR "${case}: the build step failed: ${said}")
    endif()
  elseif(result EQUAL 0)
    message(SEND_ERROR "${case}: the build step accepted a bad list")
  else()
    string(FIND "${said}" "${expected}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${case}: expected '${expected}' in: ${said}")
    endif()
  endif()
endfunction()

function(with_archive index replacement out)
  set(list ${archives})
  list(REMOVE_AT list ${index})
  list(INSERT list ${index} "${replacement}")
  set(${out} ${core} ${list} PARENT_SCOPE)
endfunction()

check(good "${core};${archives}" "")
file(READ ${WORK_DIR}/good.cpp table)
# "abc" is 3 bytes with the standard SHA-256 test digest.
foreach(row "{L\"Zarnel.exe\", 3ull," "{L\"Data17.pak\", 3ull,"
            "{0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}")
  string(FIND "${table}" "${row}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "good: the table lacks ${row}")
  endif()
endforeach()
string(FIND "${table}" "Zarnel.exe" first)
string(FIND "${table}" "Data1.pak" archive)
if(first GREATER archive)
  message(SEND_ERROR "good: the rows are not in list order")
endif()

list(SUBLIST archives 0 16 sixteen)
check(too_few "${core};${sixteen}" "names 24 files; the guard manifest needs exactly 25")
check(too_many "${core};${archives};Extra.pak" "names 26 files; the guard manifest needs exactly 25")
with_archive(3 "data1.PAK" names)
check(duplicate_in_other_case "${names}" "'data1.PAK' is listed twice")
with_archive(0 "sub\\Data1.pak" names)
check(backslash "${names}" "unsafe client file name 'sub\\Data1.pak': it holds a separator")
with_archive(0 "sub/Data1.pak" names)
check(slash "${names}" "unsafe client file name 'sub/Data1.pak': it holds a separator")
with_archive(0 "Data1.pak:stream" names)
check(stream "${names}" "unsafe client file name 'Data1.pak:stream': it holds a separator or a colon")
with_archive(0 ".." names)
check(parent "${names}" "unsafe client file name '..': it is not a file name")
with_archive(0 "Data1.pak." names)
check(trailing_dot "${names}" "unsafe client file name 'Data1.pak.': it ends with a dot")
with_archive(0 "Data?.pak" names)
check(wildcard "${names}" "unsafe client file name 'Data?.pak': it holds a character that Windows does not allow")
with_archive(16 "Missing.pak" names)
check(missing "${names}" "client file 25 'Missing.pak': ${WORK_DIR}/client/Missing.pak is missing")
with_archive(5 "Folder.pak" names)
check(directory "${names}" "client file 14 'Folder.pak': ${WORK_DIR}/client/Folder.pak is a directory")
with_archive(5 "Linked.pak" names)
check(symbolic_link "${names}" "client file 14 'Linked.pak': ${WORK_DIR}/client/Linked.pak is a symbolic link")
set(swapped ${core})
list(REMOVE_AT swapped 0)
list(INSERT swapped 1 Zarnel.exe)
check(client_not_first "${swapped};${archives}" "the first file must be Zarnel.exe")
set(swapped ${core})
list(REMOVE_AT swapped 6)
list(APPEND swapped ZarnelUpdateHelper.exe)
check(helper_not_seventh "${swapped};${archives}" "the seventh file must be ZarnelUpdateHelper.exe")

# The studio's way in: configuring with a bad list fails at once, before
# anything is built.
function(check_configure case expected)
  execute_process(COMMAND ${CMAKE_COMMAND} --preset win32 -B ${WORK_DIR}/configure-${case} ${ARGN}
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")
  string(FIND "${said}" "${expected}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    message(SEND_ERROR "configure ${case}: expected a failure with '${expected}' in: ${said}")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR}/configure-${case})
endfunction()
check_configure(too_few "${WORK_DIR}/too_few.txt names 24 files"
                -DZARNELGUARD_CLIENT_DIR=${WORK_DIR}/client -DZARNELGUARD_CLIENT_FILES=${WORK_DIR}/too_few.txt)
check_configure(missing "client file 25 'Missing.pak': ${WORK_DIR}/client/Missing.pak is missing"
                -DZARNELGUARD_CLIENT_DIR=${WORK_DIR}/client -DZARNELGUARD_CLIENT_FILES=${WORK_DIR}/missing.txt)
check_configure(list_without_directory "Give both ZARNELGUARD_CLIENT_DIR and ZARNELGUARD_CLIENT_FILES"
                -DZARNELGUARD_CLIENT_FILES=${WORK_DIR}/good.txt)

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
# Names that Windows allows and CMake lists do not carry, names that look
# like device names without being one, and device names, which are plain
# files here but would be devices on Windows.
foreach(name "Data[2.pak" "Data;3.pak" "Data]4.pak" COM10.pak CONSOLE.pak NULL.pak
             CON nul.pak aux.tar.gz "COM1 .pak" LPT9.dat Prn.zpk CONIN$ conout$.log)
  file(WRITE "${WORK_DIR}/client/${name}" "${name}")
endforeach()
file(MAKE_DIRECTORY ${WORK_DIR}/client/Folder.pak)
file(CREATE_LINK ${WORK_DIR}/client/Data1.pak ${WORK_DIR}/client/Linked.pak SYMBOLIC)

# Runs the build step on a list of `names` and checks its outcome: success
# when `expected` is empty, otherwise failure with `expected` in the output.
function(check case names expected)
  set(list_file ${WORK_DIR}/${case}.txt)
  # Names holding ';' come in as '<semicolon>'.
  string(REPLACE ";" "\n" text "# ${case}\n\n${names}\n")
  string(REPLACE "<semicolon>" ";" text "${text}")
  if(case MATCHES "_crlf$")
    string(REPLACE "\n" "\r\n" text "${text}")
  endif()
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

# The list is read byte for byte. Names start on line 3 of each list; the
# first archive is on line 11.
set(good_names "${core};${archives}")
string(REPLACE "Data2.pak" "Data[2.pak" names "${good_names}")
string(REPLACE "Data3.pak" "Data<semicolon>3.pak" names "${names}")
string(REPLACE "Data4.pak" "Data]4.pak" names "${names}")
string(REPLACE "Data5.pak" "COM10.pak" names "${names}")
string(REPLACE "Data6.pak" "CONSOLE.pak" names "${names}")
string(REPLACE "Data7.pak" "NULL.pak" names "${names}")
check(brackets_semicolons_near_devices "${names}" "")
file(READ ${WORK_DIR}/brackets_semicolons_near_devices.cpp table)
string(SHA256 bracket_digest "Data[2.pak")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bracket_bytes "${bracket_digest}")
string(REGEX REPLACE ", $" "" bracket_bytes "${bracket_bytes}")
foreach(row "{L\"Data1.pak\", 3ull," "{L\"Data[2.pak\", 10ull,\n     {${bracket_bytes}}}" "{L\"Data;3.pak\", 10ull,"
            "{L\"Data]4.pak\", 10ull," "{L\"COM10.pak\", 9ull," "{L\"Data8.pak\", 3ull,")
  string(FIND "${table}" "${row}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "brackets_semicolons_near_devices: the table lacks ${row}")
  endif()
endforeach()
check(good_crlf "${good_names}" "")

# case | the list's archive line 1 | expected message
set(byte_cases
  "non_ascii_utf8|Dätä.pak|non_ascii_utf8.txt:11: the line holds the byte 0xc3 at column 2"
  "tab|Data\t1.pak|tab.txt:11: the line holds the byte 0x09 at column 5"
  "lone_carriage_return|Data\r1.pak|lone_carriage_return.txt:11: the line holds a carriage return at column 5"
  "leading_space| Data1.pak|client file 9 ' Data1.pak': ${WORK_DIR}/client/ Data1.pak is missing"
  "device_con|CON|unsafe client file name 'CON': CON is a Windows device name"
  "device_lower_with_extension|nul.pak|unsafe client file name 'nul.pak': NUL is a Windows device name"
  "device_two_extensions|aux.tar.gz|'aux.tar.gz': AUX is a Windows device name"
  "device_space_before_dot|COM1 .pak|'COM1 .pak': COM1 is a Windows device name"
  "device_lpt9|LPT9.dat|'LPT9.dat': LPT9 is a Windows device name"
  "device_prn|Prn.zpk|'Prn.zpk': PRN is a Windows device name"
  "device_conin|CONIN$|'CONIN$': CONIN$ is a Windows device name"
  "device_conout|conout$.log|'conout$.log': CONOUT$ is a Windows device name")
foreach(entry IN LISTS byte_cases)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 case)
  list(GET fields 1 name)
  list(GET fields 2 expected)
  string(REPLACE "Data1.pak" "${name}" names "${good_names}")
  check(${case} "${names}" "${expected}")
endforeach()

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

# Rehashing through a real build of the step, as the guard's build wires
# it: a client file replaced by a copy with an older date (cp -p, rsync -a,
# an unpacked archive, a rolled-back build) must reach the table, and a
# build with nothing changed must hash nothing and leave the table alone.
set(rehash_client ${WORK_DIR}/rehash-client)
file(MAKE_DIRECTORY ${rehash_client})
foreach(name IN LISTS core archives)
  file(WRITE ${rehash_client}/${name} "abc")
endforeach()
# One archive large enough for a throughput figure.
string(REPEAT "0123456789abcdef" 131072 two_mib)
file(WRITE ${rehash_client}/Data17.pak "${two_mib}")
file(WRITE ${WORK_DIR}/older/Data1.pak "older build")
execute_process(COMMAND touch -d "2001-01-01 00:00:00" ${WORK_DIR}/older/Data1.pak COMMAND_ERROR_IS_FATAL ANY)
set(step_build ${WORK_DIR}/step-build)
execute_process(COMMAND ${CMAKE_COMMAND} -G Ninja -S ${SOURCE_DIR}/tests/manifest_list/step_project -B ${step_build}
                        -DZG_SOURCE_DIR=${SOURCE_DIR} -DCLIENT_DIR=${rehash_client} -DCLIENT_FILES=${WORK_DIR}/good.txt
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "rehash: configuring the step failed: ${out}${err}")
endif()
set(table_file ${step_build}/generated/table.cpp)

# Builds the step; `build_out` gets what it said, `table_time` the table's
# modification time to the nanosecond.
function(build_step)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${step_build} --target manifest
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "rehash: building the step failed: ${out}${err}")
  endif()
  execute_process(COMMAND stat -c %.9Y ${table_file} OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(build_out "${out}${err}" PARENT_SCOPE)
  set(table_time "${time}" PARENT_SCOPE)
endfunction()

function(expect_digest case name content)
  file(READ ${table_file} table)
  string(SHA256 digest "${content}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${digest}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  string(FIND "${table}" "{L\"${name}\", " at)
  string(SUBSTRING "${table}" ${at} 300 row)
  string(FIND "${row}" "${bytes}" found)
  if(at EQUAL -1 OR found EQUAL -1)
    message(SEND_ERROR "rehash ${case}: the table's row of ${name} is not the digest of its content: ${row}")
  endif()
endfunction()

# A file hashed within the clock's last second or so is hashed again by the
# next build (coarse file system clocks): let the new files settle first.
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 2.5)
build_step()
foreach(said "Hashing 25 client files" "2 at a time" "hashed Zarnel.exe: 3 bytes"
             "hashed Data17.pak: 2.0 MiB in " "Hashed 25 client files: 2.0 MiB in ")
  string(FIND "${build_out}" "${said}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "rehash first build: expected '${said}' in: ${build_out}")
  endif()
endforeach()
if(NOT build_out MATCHES "hashed Data17.pak: 2.0 MiB in [0-9]+\\.[0-9][0-9] s, [0-9]+ MB/s")
  message(SEND_ERROR "rehash first build: no throughput for Data17.pak in: ${build_out}")
endif()
expect_digest(first Data1.pak "abc")
set(first_time ${table_time})

build_step()
if(build_out MATCHES "ashed" OR NOT table_time STREQUAL first_time)
  message(SEND_ERROR "rehash unchanged: a build with no client change hashed files or rewrote the table: ${build_out}")
endif()

execute_process(COMMAND cp -p ${WORK_DIR}/older/Data1.pak ${rehash_client}/Data1.pak COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 2.5)
build_step()
if(NOT build_out MATCHES "Hashing 1 client file " OR NOT build_out MATCHES "hashed Data1.pak: 11 bytes")
  message(SEND_ERROR "rehash older copy: expected only Data1.pak hashed again in: ${build_out}")
endif()
expect_digest(older_copy Data1.pak "older build")
expect_digest(older_copy Data2.pak "abc")

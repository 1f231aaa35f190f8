# Where the guard manifest comes from. A studio gives its client directory
# and the list of its 25 files:
#   -DZARNELGUARD_CLIENT_DIR=<client directory> -DZARNELGUARD_CLIENT_FILES=<list file>
# Without them the build makes the sample client in <build>/client and uses
# that. Either way the files are hashed at build time and the rows compiled
# into the guard (ZARNELGUARD_MANIFEST_SOURCE, added to the guard's objects
# by the caller).
include(${CMAKE_CURRENT_LIST_DIR}/GuardManifestList.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/GuardManifestStep.cmake)

set(ZARNELGUARD_CLIENT_DIR "" CACHE PATH
  "Client directory whose files the guard manifest is built from (with ZARNELGUARD_CLIENT_FILES); empty for the generated sample client")
set(ZARNELGUARD_CLIENT_FILES "" CACHE FILEPATH
  "List of the 25 client file names in manifest order, one per line (with ZARNELGUARD_CLIENT_DIR)")
set(ZARNELGUARD_SAMPLE_ARCHIVE_MIB 3 CACHE STRING
  "Total size in MiB of the sample client's 17 archives (a few GiB for the benchmark)")

if(ZARNELGUARD_CLIENT_DIR OR ZARNELGUARD_CLIENT_FILES)
  if(NOT ZARNELGUARD_CLIENT_DIR OR NOT ZARNELGUARD_CLIENT_FILES)
    message(FATAL_ERROR "Give both ZARNELGUARD_CLIENT_DIR and ZARNELGUARD_CLIENT_FILES, or neither for the sample client.")
  endif()
  get_filename_component(ZARNELGUARD_MANIFEST_CLIENT_DIR "${ZARNELGUARD_CLIENT_DIR}" ABSOLUTE)
  get_filename_component(ZARNELGUARD_MANIFEST_LIST "${ZARNELGUARD_CLIENT_FILES}" ABSOLUTE)
  if(NOT IS_DIRECTORY "${ZARNELGUARD_MANIFEST_CLIENT_DIR}")
    message(FATAL_ERROR "ZARNELGUARD_CLIENT_DIR: ${ZARNELGUARD_MANIFEST_CLIENT_DIR} is not a directory")
  endif()
  set(ZARNELGUARD_SAMPLE_CLIENT OFF)
else()
  set(ZARNELGUARD_MANIFEST_CLIENT_DIR ${CMAKE_BINARY_DIR}/client)
  set(ZARNELGUARD_MANIFEST_LIST ${PROJECT_SOURCE_DIR}/sample_client/client_files.txt)
  set(ZARNELGUARD_SAMPLE_CLIENT ON)
endif()

zarnelguard_read_client_list("${ZARNELGUARD_MANIFEST_LIST}" ZARNELGUARD_CLIENT_FILE list_error)
if(list_error)
  message(FATAL_ERROR "Cannot build the guard manifest: ${list_error}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZARNELGUARD_MANIFEST_LIST}")

# A studio's names stay one variable each (they may hold ';' or brackets);
# the sample client's own names are plain and also form a list.
set(ZARNELGUARD_CLIENT_FILE_NAMES "")
foreach(index RANGE 1 ${ZARNELGUARD_CLIENT_FILE_COUNT})
  set(name "${ZARNELGUARD_CLIENT_FILE_${index}}")
  if(ZARNELGUARD_SAMPLE_CLIENT)
    list(APPEND ZARNELGUARD_CLIENT_FILE_NAMES "${name}")
  else()
    zarnelguard_client_file_problem("${ZARNELGUARD_MANIFEST_CLIENT_DIR}" "${name}" problem)
    if(problem)
      message(FATAL_ERROR "Cannot build the guard manifest: client file ${index} '${name}': ${problem}")
    endif()
  endif()
endforeach()

set(ZARNELGUARD_HASH_JOBS 0 CACHE STRING
  "Client files hashed at the same time into the guard manifest (0: one per core)")

add_subdirectory(${PROJECT_SOURCE_DIR}/sample_client ${CMAKE_BINARY_DIR}/sample_client)

set(ZARNELGUARD_MANIFEST_SOURCE ${CMAKE_BINARY_DIR}/generated/guard_manifest_table.cpp)
zarnelguard_add_manifest_step(ZarnelGuardManifest ${ZARNELGUARD_MANIFEST_CLIENT_DIR} ${ZARNELGUARD_MANIFEST_LIST}
  ${ZARNELGUARD_MANIFEST_SOURCE} ${ZARNELGUARD_HASH_JOBS})
if(ZARNELGUARD_SAMPLE_CLIENT)
  add_dependencies(ZarnelGuardManifest ZarnelSampleClient)
endif()

if(ZARNELGUARD_SAMPLE_CLIENT)
  # The guard lies in the client directory, as in a studio's install; it is
  # not a row of its own manifest.
  add_custom_command(TARGET ZarnelGuard POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${ZARNELGUARD_MANIFEST_CLIENT_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:ZarnelGuard> ${ZARNELGUARD_MANIFEST_CLIENT_DIR}/ZarnelGuard.dll
    VERBATIM)
  # A second way into the same client directory, for the test of a client
  # reached through a symbolic link.
  file(CREATE_LINK ${ZARNELGUARD_MANIFEST_CLIENT_DIR} ${CMAKE_BINARY_DIR}/client-symlink SYMBOLIC)
endif()

# What the tests need to find the sample client, as Windows paths (Wine maps
# the build machine's root to Z:).
set(ZARNELGUARD_TEST_CLIENT_DEFINITIONS "")
if(ZARNELGUARD_SAMPLE_CLIENT)
  set(ZARNELGUARD_TEST_CLIENT_DEFINITIONS
    "ZG_SAMPLE_CLIENT_DIR=\"Z:${ZARNELGUARD_MANIFEST_CLIENT_DIR}/\""
    "ZG_SAMPLE_CLIENT_LINK_DIR=\"Z:${CMAKE_BINARY_DIR}/client-symlink/\""
    "ZG_SAMPLE_CLIENT_LIST=\"Z:${ZARNELGUARD_MANIFEST_LIST}\"")
endif()

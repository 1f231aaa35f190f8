# The guard's code in four layers; each may include only itself and the
# layers below it:
#   platform/   what knows nothing of the guard: the system-call table, the
#               system libraries loaded from the system directory, handle
#               owners, buffers, bounded text, record bytes, the native
#               structure declarations and the grow-and-retry query
#   state/      the one process-wide guard record and its last-error text
#   checks/ identity/ integrity/ proofs/
#               the features (which may use each other)
#   core/       start-up, monitor, the exports that start the guard
# Each layer is compiled with an include root of its own that holds links
# to exactly the folders it may reach, never the source root, so that an
# upward include does not compile (tests/layers checks it).
#
# Every layer is compiled twice: for the DLL, with the system-call and
# monitor-check tables as read-only data; for the tests (zarnelguard_core),
# with those tables writable (ZARNELGUARD_TEST_SEAM). Nothing else differs.
set(ZARNELGUARD_LAYERS platform state features core)
set(ZARNELGUARD_LAYER_FOLDERS_platform platform)
set(ZARNELGUARD_LAYER_FOLDERS_state state)
set(ZARNELGUARD_LAYER_FOLDERS_features checks identity integrity proofs)
set(ZARNELGUARD_LAYER_FOLDERS_core core)
set(ZARNELGUARD_LAYER_INCLUDE_ROOT ${CMAKE_BINARY_DIR}/layer-includes)

set(ZARNELGUARD_PRODUCT_OBJECTS "")
set(ZARNELGUARD_TEST_OBJECTS "")
set(zg_reachable "")
foreach(zg_layer IN LISTS ZARNELGUARD_LAYERS)
  list(APPEND zg_reachable ${ZARNELGUARD_LAYER_FOLDERS_${zg_layer}})
  set(zg_root ${ZARNELGUARD_LAYER_INCLUDE_ROOT}/${zg_layer})
  file(MAKE_DIRECTORY ${zg_root})
  set(zg_sources "")
  foreach(zg_folder IN LISTS zg_reachable)
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${zg_folder} ${zg_root}/${zg_folder} SYMBOLIC)
  endforeach()
  foreach(zg_folder IN LISTS ZARNELGUARD_LAYER_FOLDERS_${zg_layer})
    file(GLOB zg_found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${zg_folder}/*.cpp)
    list(APPEND zg_sources ${zg_found})
  endforeach()
  foreach(zg_variant "" _test)
    set(zg_target zarnelguard_${zg_layer}${zg_variant}_objects)
    add_library(${zg_target} OBJECT ${zg_sources})
    # generated/: client_build.h, made from project(VERSION).
    target_include_directories(${zg_target} PRIVATE ${zg_root} ${CMAKE_BINARY_DIR}/generated)
    # The public header (the exports' sizes and texts) is for the features
    # and the exports.
    if(zg_layer STREQUAL "features" OR zg_layer STREQUAL "core")
      target_include_directories(${zg_target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    endif()
    if(zg_variant STREQUAL "_test")
      target_compile_definitions(${zg_target} PRIVATE ZARNELGUARD_TEST_SEAM)
      list(APPEND ZARNELGUARD_TEST_OBJECTS $<TARGET_OBJECTS:${zg_target}>)
    else()
      # clang's CodeView, from which lld writes the DLL's PDB.
      target_compile_options(${zg_target} PRIVATE -g -gcodeview)
      list(APPEND ZARNELGUARD_PRODUCT_OBJECTS $<TARGET_OBJECTS:${zg_target}>)
    endif()
  endforeach()
endforeach()

# The include root of a layer, for a target that must see exactly what that
# layer sees (tests/layers).
function(zarnelguard_layer_include_root layer result)
  set(${result} ${ZARNELGUARD_LAYER_INCLUDE_ROOT}/${layer} PARENT_SCOPE)
endfunction()

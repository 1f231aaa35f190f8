# What `cmake --install` gives a game server:
#   include/zarnel/serverkit/*.h, lib/libzarnel_serverkit.a, bin/zarnel-verify,
#   lib/cmake/zarnel_serverkit/ (find_package(zarnel_serverkit) gives
#   zarnel::serverkit).
# Written against targets and folders, not file names, so that sources added
# to the kit are packaged without changes here.
include(CMakePackageConfigHelpers)

# The public headers are those of the library zarnel::serverkit (x.h beside
# its source x.cpp, or a header without a source of its own), less those
# that carry OpenSSL types (directly or through ossl_ptr.h): those are the
# kit's own business, and a server should not need OpenSSL's headers to
# call the kit. The Redis store's headers belong to its own library, which
# is not packaged.
get_target_property(zarnel_serverkit_sources zarnel_serverkit SOURCES)
set(zarnel_serverkit_stems "")
foreach(source IN LISTS zarnel_serverkit_sources)
  get_filename_component(stem "${source}" NAME_WE)
  list(APPEND zarnel_serverkit_stems "${stem}")
endforeach()
file(GLOB zarnel_serverkit_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/*.h)
set(zarnel_serverkit_public_headers "")
foreach(header IN LISTS zarnel_serverkit_headers)
  get_filename_component(stem "${header}" NAME_WE)
  if(EXISTS ${PROJECT_SOURCE_DIR}/lib/${stem}.cpp AND NOT stem IN_LIST zarnel_serverkit_stems)
    continue()
  endif()
  file(READ ${header} text)
  if(NOT text MATCHES "<openssl/|\"ossl_ptr\\.h\"")
    list(APPEND zarnel_serverkit_public_headers ${header})
  endif()
endforeach()
install(FILES ${zarnel_serverkit_public_headers} DESTINATION include/zarnel/serverkit)

# Inside this build the headers are found where they lie; once installed,
# under include/ as <zarnel/serverkit/...>.
get_target_property(zarnel_serverkit_include_dirs zarnel_serverkit INTERFACE_INCLUDE_DIRECTORIES)
list(TRANSFORM zarnel_serverkit_include_dirs PREPEND "$<BUILD_INTERFACE:")
list(TRANSFORM zarnel_serverkit_include_dirs APPEND ">")
set_target_properties(zarnel_serverkit PROPERTIES
  EXPORT_NAME serverkit
  INTERFACE_INCLUDE_DIRECTORIES "${zarnel_serverkit_include_dirs};$<INSTALL_INTERFACE:include>")

install(TARGETS zarnel_serverkit EXPORT zarnel_serverkitTargets ARCHIVE DESTINATION lib)
install(TARGETS zarnel-verify RUNTIME DESTINATION bin)
install(EXPORT zarnel_serverkitTargets NAMESPACE zarnel:: DESTINATION lib/cmake/zarnel_serverkit)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zarnel_serverkitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfig.cmake COPYONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfig.cmake
              ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfigVersion.cmake
        DESTINATION lib/cmake/zarnel_serverkit)

# What `cmake --install` gives a game server:
#   include/zarnel/serverkit/*.h   the public headers of the three libraries
#   lib/libzarnel_serverkit.a          the checks and the in-memory store
#   lib/libzarnel_serverkit_redis.a    the fleet's store (hiredis)
#   lib/libzarnel_serverkit_service.a  the verification service (JSON, HTTP)
#   bin/zarnel-verify
#   lib/cmake/zarnel_serverkit/    find_package(zarnel_serverkit [COMPONENTS redis service])
#                                  gives zarnel::serverkit, zarnel::serverkit_redis,
#                                  zarnel::serverkit_service
# and what runs the service under systemd:
#   lib/systemd/system/zarnel-verify.service
#   etc/zarnel-verify/zarnel-verify.env   (/etc/... for a /usr install)
# Written against targets and folders, not file names, so that sources added
# to the kit are packaged without changes here.
#
# Two install components, one Debian package each (ServerKitPackage.cmake):
#   service      the tool, the unit and its environment file
#   development  headers, static libraries and the CMake package, for a
#                game server that embeds the kit
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

# A library's public headers are those in the folder of its sources (x.h
# beside its source x.cpp, or a header without a source of its own), less
# those that carry a third-party type the server would then need headers
# for: OpenSSL (directly or through ossl_ptr.h), hiredis, Boost. Those,
# and everything under lib/internal/, are the kit's own business.
function(zarnel_public_headers target out)
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(stems "")
  set(folders "")
  foreach(source IN LISTS sources)
    get_filename_component(stem "${source}" NAME_WE)
    get_filename_component(folder "${source_dir}/${source}" DIRECTORY)
    list(APPEND stems "${stem}")
    list(APPEND folders "${folder}")
  endforeach()
  list(REMOVE_DUPLICATES folders)
  list(FILTER folders EXCLUDE REGEX "/internal$")
  set(public "")
  foreach(folder IN LISTS folders)
    file(GLOB headers CONFIGURE_DEPENDS ${folder}/*.h)
    foreach(header IN LISTS headers)
      get_filename_component(stem "${header}" NAME_WE)
      if(EXISTS ${folder}/${stem}.cpp AND NOT stem IN_LIST stems)
        continue()
      endif()
      file(READ ${header} text)
      if(NOT text MATCHES "<openssl/|<hiredis/|<boost/|\"ossl_ptr\\.h\"")
        list(APPEND public ${header})
      endif()
    endforeach()
  endforeach()
  set(${out} ${public} PARENT_SCOPE)
endfunction()

# Each library is its own export set, so that a server that takes only
# zarnel::serverkit needs neither hiredis nor Boost to find it.
foreach(target zarnel_serverkit zarnel_serverkit_redis zarnel_serverkit_service)
  zarnel_public_headers(${target} headers)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zarnel/serverkit
          COMPONENT development)
  # Inside this build the headers are found where they lie; once installed,
  # all of them under include/ as <zarnel/serverkit/...>.
  get_target_property(include_dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(NOT include_dirs)
    set(include_dirs "")  # the Redis store's headers lie beside the kit's own
  endif()
  list(TRANSFORM include_dirs PREPEND "$<BUILD_INTERFACE:")
  list(TRANSFORM include_dirs APPEND ">")
  string(REPLACE "zarnel_" "" export_name ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${export_name}
    INTERFACE_INCLUDE_DIRECTORIES "${include_dirs};$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  install(TARGETS ${target} EXPORT ${target}Targets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(EXPORT ${target}Targets NAMESPACE zarnel::
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zarnel_serverkit COMPONENT development)
endforeach()

install(TARGETS zarnel-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zarnel_serverkitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfig.cmake COPYONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfig.cmake
              ${PROJECT_BINARY_DIR}/package/zarnel_serverkitConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zarnel_serverkit COMPONENT development)

# The unit names the binary and the environment file by the paths of the
# install at hand, which only the install knows (packaging/install_service_files.cmake).
set(zarnel_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
install(CODE "
  set(zarnel_verify_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(zarnel_verify_sysconfdir \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(zarnel_verify_stage \"${PROJECT_BINARY_DIR}/packaging/units\")
  include(\"${zarnel_packaging_dir}/install_service_files.cmake\")"
  COMPONENT service)

# What Debian asks of every package, in the packages only: a plain
# `cmake --install` stays the tree a game server builds against.
set(zarnel_package_service zarnel-verify)
set(zarnel_package_development libzarnel-serverkit-dev)
foreach(component service development)
  install(FILES ${zarnel_packaging_dir}/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${zarnel_package_${component}}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
set(zarnel_service_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${zarnel_package_service})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${zarnel_service_docdir}
        COMPONENT service EXCLUDE_FROM_ALL)
install(FILES ${zarnel_packaging_dir}/credentials.conf.example RENAME credentials.conf
        DESTINATION ${zarnel_service_docdir}/examples COMPONENT service EXCLUDE_FROM_ALL)

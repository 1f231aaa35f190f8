# What `cmake --install` gives a studio:
#   bin/ZarnelGuard.dll, lib/ZarnelGuard.lib, include/ZarnelGuard.h,
#   lib/cmake/ZarnelGuard/ (find_package(ZarnelGuard)).
# `--strip` drops the DLL's COFF symbol table (the toolchain's strip, as
# CMake does for any installed DLL); its code and exports stay as built.
include(CMakePackageConfigHelpers)

install(TARGETS ZarnelGuard RUNTIME DESTINATION bin)
install(FILES ${ZARNELGUARD_IMPORT_LIB} DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/ZarnelGuard.h DESTINATION include)

# The package finds its files relative to itself, so that the prefix can be
# moved or unpacked anywhere.
set(ZARNELGUARD_CONFIG_TO_PREFIX ../../..)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ZarnelGuardConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/ZarnelGuardConfig.cmake @ONLY)
# Same major version; the version file also turns away a 64-bit consumer,
# which could not load a 32-bit DLL.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/ZarnelGuardConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/ZarnelGuardConfig.cmake
              ${CMAKE_BINARY_DIR}/package/ZarnelGuardConfigVersion.cmake
        DESTINATION lib/cmake/ZarnelGuard)

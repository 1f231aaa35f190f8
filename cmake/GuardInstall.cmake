# What `cmake --install` gives a studio:
#   bin/ZarnelGuard.dll, bin/ZarnelGuard.pdb (its symbols, for crash dumps),
#   lib/ZarnelGuard.lib, include/ZarnelGuard.h,
#   lib/cmake/ZarnelGuard/ (find_package(ZarnelGuard)).
# The DLL carries no DWARF either way. `--strip` also drops its COFF symbol
# table (the toolchain's llvm-strip, as CMake does for any installed DLL);
# its code, exports and debug directory stay, so the PDB still matches it.
# -DZARNELGUARD_INSTALL_PDB=OFF leaves the PDB out (for a player's package;
# keep it for the studio's symbol store).
include(CMakePackageConfigHelpers)
option(ZARNELGUARD_INSTALL_PDB "Install ZarnelGuard.pdb beside the DLL" ON)

install(TARGETS ZarnelGuard RUNTIME DESTINATION bin)
if(ZARNELGUARD_INSTALL_PDB)
  install(FILES ${ZARNELGUARD_PDB} DESTINATION bin)
endif()
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

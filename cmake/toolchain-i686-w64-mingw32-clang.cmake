# 32-bit Windows with clang and lld: the shipped DLL, its PDB and the tests.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZARNELGUARD_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)

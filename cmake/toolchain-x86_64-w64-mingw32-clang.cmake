# 64-bit Windows with clang and lld: the 64-bit check build of the guard and
# its tests, compiled as the product is.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZARNELGUARD_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-clang.cmake)

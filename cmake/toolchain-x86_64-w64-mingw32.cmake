# 64-bit Windows with the mingw-w64 gcc: the tests' tool programs as they
# run on players' 64-bit Windows (a memory editor, a debugger, everyday
# programs).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZARNELGUARD_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-gcc.cmake)

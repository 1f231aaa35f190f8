# Cross build for Windows with the posix-thread mingw-w64 gcc (the
# win32-thread variant has no std::mutex, which GoogleTest needs). Included
# by the toolchain file of each target, which sets ZARNELGUARD_TRIPLE. The
# guard itself is built with clang (toolchain-mingw-clang.cmake); these
# serve the tests' 64-bit tool programs and the studio's package consumer.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZARNELGUARD_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARNELGUARD_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARNELGUARD_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARNELGUARD_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime goes into every binary, so that nothing needs libgcc,
# libstdc++ or libwinpthread DLLs at run time; no time stamps, so that
# relinking an unchanged program gives the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

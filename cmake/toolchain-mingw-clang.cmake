# Cross build for Windows with clang and lld on the mingw-w64 runtime of the
# posix-thread gcc (its libstdc++, libgcc and winpthreads, linked statically
# as with gcc). clang emits CodeView, from which lld writes the PDB that
# Windows debuggers read; gcc can only give DWARF. Included by the toolchain
# file of each target, which sets ZARNELGUARD_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)

find_program(ZARNELGUARD_CLANG NAMES clang-14 clang REQUIRED)
find_program(ZARNELGUARD_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER ${ZARNELGUARD_CLANG})
set(CMAKE_CXX_COMPILER ${ZARNELGUARD_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${ZARNELGUARD_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ZARNELGUARD_TRIPLE})
set(CMAKE_RC_COMPILER ${ZARNELGUARD_TRIPLE}-windres)

# Debian names the gcc runtime's directory after its thread model
# (12-posix), which clang 14 does not recognise as a gcc version: give it
# the C++ headers and the runtime's libraries by hand.
file(GLOB ZARNELGUARD_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${ZARNELGUARD_TRIPLE}/*-posix)
if(NOT ZARNELGUARD_GCC_DIRS)
  message(FATAL_ERROR "No posix-thread mingw-w64 gcc runtime under /usr/lib/gcc/${ZARNELGUARD_TRIPLE} (scripts/setup.sh installs it)")
endif()
list(SORT ZARNELGUARD_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET ZARNELGUARD_GCC_DIRS 0 ZARNELGUARD_GCC_DIR)
set(ZARNELGUARD_CXX_INCLUDE ${ZARNELGUARD_GCC_DIR}/include/c++)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${ZARNELGUARD_CXX_INCLUDE} -isystem ${ZARNELGUARD_CXX_INCLUDE}/${ZARNELGUARD_TRIPLE} -isystem ${ZARNELGUARD_CXX_INCLUDE}/backward")

# Appended, so that a project using this file can add its own roots (an
# install prefix of the guard, say) with -DCMAKE_FIND_ROOT_PATH=<dir>.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${ZARNELGUARD_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The start files come from the same directory, for the same reason: without
# it clang links mingw-w64's stub crtbegin.o/crtend.o, which register no
# DWARF frames, and on i686 (whose unwinder finds frames only through that
# registration) every C++ throw then ends in std::terminate, even one caught
# in the same function. -B puts gcc's own start files first on clang's
# search path; tests/native/frame_registration.cmake checks each 32-bit
# program and DLL of the build for them without running any of it.
set(ZARNELGUARD_START_FILES_DIR ${ZARNELGUARD_GCC_DIR})

# lld by its versioned name: Debian's lld-14 has no unversioned ld.lld
# (that is the separate package lld), which -fuse-ld=lld alone looks for.
find_program(ZARNELGUARD_LLD NAMES ld.lld-14 ld.lld REQUIRED)

# The runtime goes into every binary, so that nothing needs libgcc,
# libstdc++ or libwinpthread DLLs at run time; no time stamps, so that
# relinking an unchanged program gives the same bytes. libstdc++'s threads
# and libgcc's emulated TLS need winpthreads (lld resolves archives in any
# order, so its place on the line is free).
set(ZARNELGUARD_LINK_INIT "-fuse-ld=lld --ld-path=${ZARNELGUARD_LLD} -Wno-unused-command-line-argument -B${ZARNELGUARD_START_FILES_DIR} -L${ZARNELGUARD_GCC_DIR} -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZARNELGUARD_LINK_INIT}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ZARNELGUARD_LINK_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${ZARNELGUARD_LINK_INIT}")

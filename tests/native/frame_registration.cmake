# Every 32-bit program and DLL of the build registers its DWARF unwind
# frames at start, read from the files alone (nothing 32-bit runs here, so a
# machine that cannot run 32-bit code checks this too). On i686, libgcc's
# unwinder knows a frame only once gcc's crtbegin.o has registered it; a
# binary linked with another start file has C++ throws that all end in
# std::terminate. crtbegin.o's read-only data (the names it looks up to
# register through a shared libgcc, if one is loaded) lands in the .rdata
# of whatever links it, and nothing else writes those bytes in that order:
# that is the mark looked for, in every 32-bit PE that carries DWARF unwind
# tables (.eh_frame). For the DLL, its PDB must also name the registration
# function.
#   cmake -DOBJCOPY=<i686 objcopy> -DOBJDUMP=<i686 objdump> -DSTART_FILE=<crtbegin.o>
#         -DROOT=<dir to search> [-DPDB=<ZarnelGuard.pdb> -DPDBUTIL=<llvm-pdbutil>]
#         [-DMINIMUM=<how many 32-bit PE files at least>] -P frame_registration.cmake
cmake_minimum_required(VERSION 3.25)
foreach(required OBJCOPY OBJDUMP START_FILE ROOT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "frame_registration.cmake: -D${required}=... is missing")
  endif()
endforeach()
if(NOT DEFINED MINIMUM)
  set(MINIMUM 1)
endif()
# Scratch space beside what is searched (it only ever holds .bin files).
set(work ${ROOT}/frame-registration-check)
file(MAKE_DIRECTORY ${work})

# The .rdata of one file as hex, or "" when it has none.
function(read_rdata file result)
  file(REMOVE ${work}/rdata.bin)
  execute_process(COMMAND ${OBJCOPY} -O binary -j .rdata ${file} ${work}/rdata.bin
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0 OR NOT EXISTS ${work}/rdata.bin)
    message(FATAL_ERROR "${OBJCOPY} could not read the .rdata of ${file}: ${error}")
  endif()
  file(READ ${work}/rdata.bin hex HEX)
  set(${result} "${hex}" PARENT_SCOPE)
endfunction()

read_rdata(${START_FILE} mark)
# Section padding is no part of the mark; the last string's terminator is.
string(REGEX REPLACE "(00)+$" "00" mark "${mark}")
string(LENGTH "${mark}" mark_length)
if(mark_length LESS 16)
  message(FATAL_ERROR "${START_FILE} has no read-only data to look for (${mark_length} hex digits)")
endif()

file(GLOB_RECURSE candidates LIST_DIRECTORIES false ${ROOT}/*.exe ${ROOT}/*.dll)
set(checked 0)
set(missing "")
foreach(file IN LISTS candidates)
  # Wine's own programs in a prefix, and the 64-bit tool programs, are not ours
  # to check (x86-64 unwinds through the image's own tables).
  if(file MATCHES "/wineprefix[^/]*/|/dosdevices/")
    continue()
  endif()
  execute_process(COMMAND ${OBJDUMP} -h ${file} OUTPUT_VARIABLE header RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT header MATCHES "file format pei-i386")
    continue()
  endif()
  # Only a binary that carries DWARF unwind tables needs them registered:
  # the Visual Studio consumers of the installed DLL unwind the MSVC way.
  # (PE section names are cut at eight characters.)
  if(NOT header MATCHES "[ \t]\.eh_fram")
    continue()
  endif()
  read_rdata(${file} rdata)
  string(FIND "${rdata}" "${mark}" at)
  if(at EQUAL -1)
    file(RELATIVE_PATH shown ${ROOT} ${file})
    list(APPEND missing ${shown})
  endif()
  math(EXPR checked "${checked} + 1")
endforeach()

if(DEFINED PDB)
  execute_process(COMMAND ${PDBUTIL} dump -publics ${PDB} OUTPUT_VARIABLE publics RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PDBUTIL} could not read ${PDB}")
  endif()
  if(NOT publics MATCHES "`___gcc_register_frame`")
    list(APPEND missing "${PDB} (no ___gcc_register_frame)")
  endif()
endif()

if(checked LESS MINIMUM)
  message(FATAL_ERROR "only ${checked} 32-bit PE files under ${ROOT}, expected at least ${MINIMUM}")
endif()
if(missing)
  list(JOIN missing "\n  " shown)
  message(FATAL_ERROR "these 32-bit binaries register no unwind frames, so every C++ throw in them ends the "
                      "process (linked without gcc's crtbegin.o):\n  ${shown}")
endif()
message(STATUS "${checked} 32-bit PE files carry gcc's frame registration")

# Reading and checking the list of client files that the guard manifest is
# built from. Used at configure time and again by the build step that hashes
# the files, so that both refuse a bad list with the same words.

set(ZARNELGUARD_CORE_FILE_COUNT 8)
set(ZARNELGUARD_ARCHIVE_COUNT 17)

# Names that Windows opens as a device whatever the directory, with or
# without an extension: a manifest row of that name would make the guard
# open a console, a port or the null device instead of a client file.
set(ZARNELGUARD_DEVICE_NAMES CON PRN AUX NUL CONIN$ CONOUT$
  COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9
  LPT1 LPT2 LPT3 LPT4 LPT5 LPT6 LPT7 LPT8 LPT9)

# Why `name` cannot be a manifest entry, or "" when it can. The guard only
# accepts bare file names; the build also refuses names that no Windows file
# can carry (they could never be found), device names, and anything outside
# printable ASCII, since the names are compiled in as wide string literals.
function(zarnelguard_client_name_problem name out)
  set(problem "")
  # Windows compares the part before the first dot, trailing spaces
  # dropped, against the device names, ignoring case.
  string(REGEX REPLACE "\\..*$" "" device "${name}")
  string(REGEX REPLACE " +$" "" device "${device}")
  string(TOUPPER "${device}" device)
  if(name STREQUAL "." OR name STREQUAL "..")
    set(problem "it is not a file name")
  elseif(name MATCHES "[\\/:]")
    set(problem "it holds a separator or a colon; only bare file names are allowed")
  elseif(NOT name MATCHES "^[ -~]+$")
    set(problem "it holds a character outside printable ASCII")
  elseif(name MATCHES "[<>\"|?*]")
    set(problem "it holds a character that Windows does not allow in file names")
  elseif(name MATCHES "[. ]$")
    set(problem "it ends with a dot or a space, which Windows drops from file names")
  elseif(device IN_LIST ZARNELGUARD_DEVICE_NAMES)
    set(problem "${device} is a Windows device name; Windows would open the device, not a file")
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

# Reads `list_file` (one bare name per line; blank lines and lines starting
# with # are ignored) in order into `<prefix>_COUNT` and `<prefix>_1` ...
# `<prefix>_<count>`. Any problem goes to `out_error` as one message naming
# the list, the line and the reason.
#
# The list is read byte for byte: a name is exactly the bytes of its line
# (CR LF line ends and a UTF-8 byte order mark are allowed), since CMake's
# own line reading drops or splits at non-ASCII bytes, and strips spaces
# that are part of Windows names. Names are kept in one variable each, not
# in a CMake list, where a ';' or an unbalanced '[' in one name would merge
# it with its neighbours.
function(zarnelguard_read_client_list list_file prefix out_error)
  set(${prefix}_COUNT 0 PARENT_SCOPE)
  if(NOT EXISTS "${list_file}" OR IS_DIRECTORY "${list_file}")
    set(${out_error} "the client file list ${list_file} does not exist" PARENT_SCOPE)
    return()
  endif()
  file(READ "${list_file}" hex HEX)
  if(hex MATCHES "^efbbbf")
    string(SUBSTRING "${hex}" 6 -1 hex)
  endif()
  # One hex pair per byte, and a final line end so that the last line is
  # handled like the others.
  string(APPEND hex "0a")
  string(REGEX MATCHALL ".." bytes "${hex}")

  set(count 0)
  set(seen "\n")
  set(line_number 1)
  set(line "")
  set(bad "")
  set(column 0)
  set(after_cr FALSE)
  foreach(byte IN LISTS bytes)
    if(NOT byte STREQUAL "0a")
      math(EXPR column "${column} + 1")
      math(EXPR code "0x${byte}")
      if(after_cr AND bad STREQUAL "")
        # A carriage return only ends a line together with a line feed.
        math(EXPR cr_column "${column} - 1")
        set(bad "a carriage return at column ${cr_column}")
      endif()
      set(after_cr FALSE)
      if(code GREATER_EQUAL 32 AND code LESS 127)
        string(ASCII ${code} char)
        string(APPEND line "${char}")
      elseif(byte STREQUAL "0d")
        set(after_cr TRUE)
      elseif(bad STREQUAL "")
        set(bad "the byte 0x${byte} at column ${column}")
      endif()
      continue()
    endif()
    # A whole line.
    set(where "${list_file}:${line_number}")
    math(EXPR line_number "${line_number} + 1")
    set(name "${line}")
    set(line "")
    set(column 0)
    set(after_cr FALSE)
    if(NOT bad STREQUAL "")
      set(${out_error} "${where}: the line holds ${bad}, outside printable ASCII; client file names must be printable ASCII, byte for byte as on disk" PARENT_SCOPE)
      return()
    endif()
    if(name MATCHES "^ *$" OR name MATCHES "^#")
      continue()
    endif()
    zarnelguard_client_name_problem("${name}" problem)
    if(problem)
      set(${out_error} "${where}: unsafe client file name '${name}': ${problem}" PARENT_SCOPE)
      return()
    endif()
    # Windows file names ignore case: two spellings are one file.
    string(TOLOWER "${name}" folded)
    string(FIND "${seen}" "\n${folded}\n" at)
    if(NOT at EQUAL -1)
      set(${out_error} "${where}: '${name}' is listed twice (Windows file names ignore case)" PARENT_SCOPE)
      return()
    endif()
    string(APPEND seen "${folded}\n")
    math(EXPR count "${count} + 1")
    set(name_${count} "${name}")
  endforeach()

  math(EXPR expected "${ZARNELGUARD_CORE_FILE_COUNT} + ${ZARNELGUARD_ARCHIVE_COUNT}")
  if(NOT count EQUAL expected)
    set(${out_error} "${list_file} names ${count} files; the guard manifest needs exactly ${expected}: the ${ZARNELGUARD_CORE_FILE_COUNT} core files (Zarnel.exe first, five companion libraries, ZarnelUpdateHelper.exe seventh, one data file), then the ${ZARNELGUARD_ARCHIVE_COUNT} archives" PARENT_SCOPE)
    return()
  endif()
  string(TOLOWER "${name_1}" first)
  string(TOLOWER "${name_7}" seventh)
  if(NOT first STREQUAL "zarnel.exe")
    set(${out_error} "${list_file}: the first file must be Zarnel.exe, the client executable" PARENT_SCOPE)
    return()
  endif()
  if(NOT seventh STREQUAL "zarnelupdatehelper.exe")
    set(${out_error} "${list_file}: the seventh file must be ZarnelUpdateHelper.exe, the error helper that the guard starts" PARENT_SCOPE)
    return()
  endif()
  foreach(index RANGE 1 ${count})
    set(${prefix}_${index} "${name_${index}}" PARENT_SCOPE)
  endforeach()
  set(${prefix}_COUNT ${count} PARENT_SCOPE)
  set(${out_error} "" PARENT_SCOPE)
endfunction()

# Why `dir`/`name` cannot be hashed into the manifest, or "" when it can.
function(zarnelguard_client_file_problem dir name out)
  set(path "${dir}/${name}")
  if(IS_SYMLINK "${path}")
    set(problem "${path} is a symbolic link; the guard refuses links in place of client files")
  elseif(NOT EXISTS "${path}")
    set(problem "${path} is missing")
  elseif(IS_DIRECTORY "${path}")
    set(problem "${path} is a directory, not a file")
  else()
    set(problem "")
  endif()
  set(${out} "${problem}" PARENT_SCOPE)
endfunction()

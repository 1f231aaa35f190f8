# Runs inside `cmake --install` (and CPack's staging install): writes the
# systemd unit with the paths of this install and installs it with the
# environment file. Done at install time, not at configure time, because
# one build tree is installed under several prefixes: a temporary one by
# the tests, /usr by the Debian package, PREFIX by `--prefix`; the unit
# must name the binary and the environment file where this install puts
# them.
#   zarnel_verify_bindir     CMAKE_INSTALL_BINDIR of the build
#   zarnel_verify_sysconfdir CMAKE_INSTALL_SYSCONFDIR of the build
#   zarnel_verify_stage      a folder of the build tree for the unit

function(zarnel_verify_full_dir relative out)
  if(IS_ABSOLUTE "${relative}")
    set(full "${relative}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$" AND relative MATCHES "^(etc|var)(/|$)")
    # As GNUInstallDirs: a /usr (or /) install keeps its configuration in
    # /etc, never /usr/etc.
    set(full "/${relative}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/" AND relative MATCHES "^(etc|var)(/|$)")
    string(REGEX REPLACE "^(etc|var)" "/\\1${CMAKE_INSTALL_PREFIX}" full "${relative}")
  else()
    set(full "${CMAKE_INSTALL_PREFIX}/${relative}")
  endif()
  cmake_path(NORMAL_PATH full)
  string(REGEX REPLACE "(.)/$" "\\1" full "${full}")
  set(${out} "${full}" PARENT_SCOPE)
endfunction()

zarnel_verify_full_dir("${zarnel_verify_bindir}" bindir)
zarnel_verify_full_dir("${zarnel_verify_sysconfdir}/zarnel-verify" configdir)
# systemd's own folder, not the libraries' (which may be multiarch).
zarnel_verify_full_dir("lib/systemd/system" unitdir)

set(ZARNEL_VERIFY_EXECUTABLE "${bindir}/zarnel-verify")
set(ZARNEL_VERIFY_ENV_FILE "${configdir}/zarnel-verify.env")
# systemd reads a path with blanks as two words.
if(ZARNEL_VERIFY_EXECUTABLE MATCHES "[ \t]" OR ZARNEL_VERIFY_ENV_FILE MATCHES "[ \t]")
  message(FATAL_ERROR "the systemd unit cannot name ${ZARNEL_VERIFY_EXECUTABLE} or "
                      "${ZARNEL_VERIFY_ENV_FILE}: install under a prefix without blanks")
endif()

# A folder of this install's own, so that two installs of the same build
# (the tests and cpack, say) never write each other's unit.
string(RANDOM LENGTH 12 stage_key)
set(stage "${zarnel_verify_stage}/${stage_key}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/zarnel-verify.service.in"
               "${stage}/zarnel-verify.service" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${stage}/zarnel-verify.service")
file(REMOVE_RECURSE "${stage}")

# The environment file is the operator's once installed: an install over
# an edited one keeps it and puts the new defaults beside it, as dpkg does
# with a conffile.
set(env_default "${CMAKE_CURRENT_LIST_DIR}/zarnel-verify.env")
set(env_installed "$ENV{DESTDIR}${ZARNEL_VERIFY_ENV_FILE}")
set(env_name zarnel-verify.env)
if(EXISTS "${env_installed}")
  file(SHA256 "${env_installed}" installed_digest)
  file(SHA256 "${env_default}" default_digest)
  if(NOT installed_digest STREQUAL default_digest)
    set(env_name zarnel-verify.env.new)
    message(STATUS "Keeping the edited ${env_installed}; the new defaults go to ${env_name} beside it")
  endif()
endif()
# Mode 0640: an operator may still put a Redis URL with its password here.
file(INSTALL DESTINATION "${configdir}" TYPE FILE RENAME "${env_name}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
     FILES "${env_default}")

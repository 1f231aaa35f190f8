# `cpack -G DEB` in the build tree: two Debian packages from the install
# components of ServerKitInstall.cmake.
#   zarnel-verify_<version>_<arch>.deb            the service: /usr/bin/zarnel-verify,
#       its systemd unit (neither enabled nor started on install) and
#       /etc/zarnel-verify/zarnel-verify.env, a conffile
#   libzarnel-serverkit-dev_<version>_<arch>.deb  headers, static libraries and
#       the CMake package, for a game server that embeds the kit; the
#       service needs none of it
# Build it from a Release tree: the package takes the binary as built
# (stripped on the way).

set(ZARNEL_SERVERKIT_PACKAGE_CONTACT "ZarnelGuard server kit maintainers <serverkit@zarnelguard.invalid>"
    CACHE STRING "Maintainer of the Debian packages (name <address>)")

set(CPACK_PACKAGE_NAME ${zarnel_package_service})
set(CPACK_PACKAGE_VENDOR "ZarnelGuard")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZARNEL_SERVERKIT_PACKAGE_CONTACT}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# The packages' paths are the installed system's (/usr, and /etc for the
# environment file): the install runs with that prefix into a DESTDIR, so
# that the unit names /usr/bin/zarnel-verify and not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)

set(CPACK_COMPONENTS_ALL service development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME ${zarnel_package_service})
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# Depends from the libraries the binary loads (libc6, libstdc++6, libssl3,
# libhiredis0.14, ...), as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_SERVICE_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
"ZarnelGuard verification service for game backends
zarnel-verify serve issues the guard's login and hard-cheat challenges and
verifies login proofs and hard-cheat reports, as JSON over HTTP(S), for
game backends; challenges are kept in memory or in a Redis shared by a
fleet. The package installs a hardened systemd unit, zarnel-verify.service,
configured by /etc/zarnel-verify/zarnel-verify.env; it is neither enabled
nor started on install, since callers' credentials must be set up first.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${zarnel_package_development})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# What find_package(zarnel_serverkit COMPONENTS redis service) looks for
# (zarnel_serverkitConfig.cmake); static libraries carry no shared-library
# dependencies of their own for dpkg-shlibdeps to find.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "libssl-dev (>= 3.0), libhiredis-dev, pkg-config, nlohmann-json3-dev (>= 3), libboost-dev (>= 1.74), libspdlog-dev (>= 1:1.10)")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"ZarnelGuard server kit: static libraries and headers
The checks of the guard's signed login proofs and hard-cheat reports, the
challenge stores (memory, Redis) and the verification service, as static
C++17 libraries with their headers under /usr/include/zarnel/serverkit and
a CMake package: find_package(zarnel_serverkit COMPONENTS redis service).")

include(CPack)

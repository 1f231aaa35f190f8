#!/usr/bin/env bash
# `cpack -G DEB` of a build, into a temporary folder: the two packages'
# names, contents, control files and dependencies, read back with dpkg-deb.
# Needs no root.
#   deb_package_test.sh BUILD_DIR
# Exit 77 (skipped) only where dpkg-deb is missing (not a Debian system).
set -u
build=$1

if ! command -v dpkg-deb >/dev/null; then
  echo "SKIP: dpkg-deb is missing: the Debian packages are built and read on Debian only"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack -G DEB"
  exit 1
fi
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
service_deb=$work/out/zarnel-verify_${version}_${arch}.deb
dev_deb=$work/out/libzarnel-serverkit-dev_${version}_${arch}.deb
debs=$(cd "$work/out" && ls ./*.deb | LC_ALL=C sort | tr '\n' ' ')
[[ "$debs" == "./libzarnel-serverkit-dev_${version}_${arch}.deb ./zarnel-verify_${version}_${arch}.deb " ]] \
  || { echo "FAIL: cpack made $debs"; exit 1; }

# Files (not folders) of a package as "MODE OWNER PATH".
files_of() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $1, $2, $6}'; }

for deb in "$service_deb" "$dev_deb"; do
  package=$(dpkg-deb -f "$deb" Package)
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "$package: version $(dpkg-deb -f "$deb" Version)"
  [[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "$package: architecture $(dpkg-deb -f "$deb" Architecture)"
  files_of "$deb" | grep -v ' root/root ' && fail "$package: files not owned by root"
  files_of "$deb" | grep -q " ./usr/share/doc/$package/copyright$" || fail "$package: no copyright file"
  # No path of the staging folder may reach an installed file.
  mkdir -p "$work/x/$package"
  dpkg-deb -x "$deb" "$work/x/$package"
  grep -rl "_CPack_Packages\|$work" "$work/x/$package" && fail "$package: a file names the build's staging folder"
done

# The service package: the binary, the unit, the environment file as a
# conffile, the documents; nothing to build against.
expected="-rw-r----- ./etc/zarnel-verify/zarnel-verify.env
-rwxr-xr-x ./usr/bin/zarnel-verify
-rw-r--r-- ./usr/lib/systemd/system/zarnel-verify.service
-rw-r--r-- ./usr/share/doc/zarnel-verify/README.md
-rw-r--r-- ./usr/share/doc/zarnel-verify/copyright
-rw-r--r-- ./usr/share/doc/zarnel-verify/examples/credentials.conf"
contents=$(files_of "$service_deb" | awk '{print $1, $3}' | LC_ALL=C sort -k2)
[[ "$contents" == "$expected" ]] || fail "zarnel-verify holds"$'\n'"$contents"$'\n'"expected"$'\n'"$expected"
dpkg-deb --ctrl-tarfile "$service_deb" | tar -x -C "$work" ./conffiles ./postinst ./prerm ./postrm \
  || fail "zarnel-verify: control files missing"
[[ $(cat "$work/conffiles" 2>/dev/null) == "/etc/zarnel-verify/zarnel-verify.env" ]] \
  || fail "zarnel-verify: conffiles holds $(cat "$work/conffiles" 2>/dev/null)"
for script in postinst prerm postrm; do
  [[ -x "$work/$script" ]] && sh -n "$work/$script" || fail "zarnel-verify: $script is not an executable shell script"
done
unit=$work/x/zarnel-verify/usr/lib/systemd/system/zarnel-verify.service
for line in "ExecStart=/usr/bin/zarnel-verify serve" "EnvironmentFile=/etc/zarnel-verify/zarnel-verify.env"; do
  grep -qxF "$line" "$unit" || fail "the packaged unit has no line $line"
done

# Depends: the package of every library the binary loads, as this system
# resolves it (libc6, libstdc++6, libssl3, libhiredis0.14, ...).
depends=$(dpkg-deb -f "$service_deb" Depends)
binary=$work/x/zarnel-verify/usr/bin/zarnel-verify
needed=$(objdump -p "$binary" | awk '$1 == "NEEDED" {print $2}')
[[ -n "$needed" ]] || fail "the packaged binary needs no shared library?"
for soname in $needed; do
  path=$(ldd "$binary" | awk -v s="$soname" '$1 == s {print $3}')
  owner=""
  for candidate in "$path" "$(realpath -q "$path")" "$(realpath -q "$path" | sed 's|^/usr||')"; do
    owner=$(dpkg-query -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1) && [[ -n "$owner" ]] && break
  done
  # The owner, or a name it provides (libspdlog1.10 provides
  # libspdlog1.10-fmt9, the name its shlibs file gives).
  names="$owner $(dpkg-query -W -f='${Provides}' "$owner" 2>/dev/null | tr ',' '\n' | awk '{print $1}')"
  if [[ -z "$owner" ]]; then
    fail "no installed package holds $soname ($path)"
  elif ! tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF -f <(tr ' ' '\n' <<<"$names" | sed '/^$/d'); then
    fail "zarnel-verify loads $soname of $owner but Depends is: $depends"
  fi
done
readelf -S "$binary" | grep -q ' \.symtab\| \.debug' && fail "the packaged binary is not stripped"

# The -dev package: headers, static libraries, the CMake package; neither
# the service nor its configuration.
dev_files=$(files_of "$dev_deb" | awk '{print $3}')
grep -q '^./usr/include/zarnel/serverkit/challenge.h$' <<<"$dev_files" || fail "libzarnel-serverkit-dev: no headers"
for library in zarnel_serverkit zarnel_serverkit_redis zarnel_serverkit_service; do
  grep -qE "^./usr/lib/(.*/)?lib$library\.a$" <<<"$dev_files" || fail "libzarnel-serverkit-dev: no lib$library.a"
done
grep -qE '^./usr/lib/(.*/)?cmake/zarnel_serverkit/zarnel_serverkitConfig\.cmake$' <<<"$dev_files" \
  || fail "libzarnel-serverkit-dev: no CMake package"
grep -E '^./(etc|usr/bin|usr/lib/systemd)/' <<<"$dev_files" && fail "libzarnel-serverkit-dev holds the service's files"
grep -E '\.h$|\.a$|\.cmake$' <<<"$(files_of "$service_deb")" && fail "zarnel-verify holds the -dev package's files"
# (Whether its Depends bring what find_package() needs shows only on a
# machine without them: packaging/check_package_install.sh.)
[[ -n $(dpkg-deb -f "$dev_deb" Depends) ]] || fail "libzarnel-serverkit-dev depends on nothing"

[[ $status -eq 0 ]] && echo "PASS: zarnel-verify and libzarnel-serverkit-dev packages"
exit $status

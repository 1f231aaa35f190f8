#!/usr/bin/env bash
# The Debian packages on a clean Debian 12 machine, as root, from this
# checkout: builds them, takes away the development packages the build
# installed (so that apt-get must bring what the packages' Depends name),
# installs zarnel-verify, checks its unit with systemd-analyze at its real
# paths, starts the installed service as the unit would (no systemd runs in
# a chroot or container: the environment file's settings, an unprivileged
# user, the unit's descriptor limit), probes it over HTTP and stops it with
# SIGTERM; then installs libzarnel-serverkit-dev and builds a program
# against it, and purges both.
#   ../shared/fresh-machine.sh 'bash serverkit/packaging/check_package_install.sh'
# Changes the machine it runs on: meant for a throw-away one.
set -uo pipefail
cd "$(dirname "$0")/../.."

step() { echo "check_package_install: $*"; }
die() { echo "check_package_install: FAIL: $*"; exit 1; }
[[ $(id -u) -eq 0 ]] || die "run as root on a throw-away machine"

step "installing the build's packages (scripts/setup.sh)"
bash scripts/setup.sh >/tmp/check-setup.log 2>&1 || { tail -n 30 /tmp/check-setup.log; die "scripts/setup.sh"; }
export DEBIAN_FRONTEND=noninteractive

build=build/package-check
step "building the packages in $build"
rm -rf "$build"
{ cmake -S serverkit -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    && cmake --build "$build" -j2 \
    && (cd "$build" && cpack -G DEB); } >/tmp/check-build.log 2>&1 \
  || { tail -n 40 /tmp/check-build.log; die "building the packages"; }
service_deb=$(ls "$PWD/$build"/zarnel-verify_*.deb)
dev_deb=$(ls "$PWD/$build"/libzarnel-serverkit-dev_*.deb)
step "built $(basename "$service_deb") and $(basename "$dev_deb")"

# Headers, pkg-config and the libraries only they pulled in go, so that the
# installs below stand on the packages' Depends alone.
dev_packages=$(apt-mark showmanual | grep -E -- '-dev$|^pkg-config$' | grep -vE '^(libc6|libstdc\+\+.*|linux-libc)-dev$')
step "removing $(echo $dev_packages)"
apt-get remove -y -q --auto-remove $dev_packages >/tmp/check-remove.log 2>&1 \
  || { tail -n 20 /tmp/check-remove.log; die "removing the development packages"; }
dpkg-query -W libhiredis0.14 >/dev/null 2>&1 && step "(libhiredis0.14 stayed: another package needs it)"

step "apt-get install ./$(basename "$service_deb")"
apt-get install -y -q "$service_deb" >/tmp/check-install.log 2>&1 \
  || { tail -n 30 /tmp/check-install.log; die "installing the service package"; }
ldd /usr/bin/zarnel-verify | grep 'not found' && die "the installed binary misses libraries"
[[ -f /etc/zarnel-verify/zarnel-verify.env ]] || die "no /etc/zarnel-verify/zarnel-verify.env"
dpkg-query --showformat='${Conffiles}\n' -W zarnel-verify | grep -q '/etc/zarnel-verify/zarnel-verify.env' \
  || die "dpkg does not hold the environment file as a conffile"
[[ -e /etc/systemd/system/multi-user.target.wants/zarnel-verify.service ]] && die "the install enabled the unit"

unit=/usr/lib/systemd/system/zarnel-verify.service
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify "$unit" 2>&1) || { echo "$out"; die "systemd-analyze verify $unit"; }
  grep -q zarnel-verify <<<"$out" && { echo "$out"; die "systemd-analyze verify has words for $unit"; }
  step "systemd-analyze verify $unit: clean"
  step "$(systemd-analyze security --offline=yes "$unit" 2>&1 | tail -n 1)"
else
  die "systemd-analyze is missing (scripts/setup.sh installs systemd)"
fi

# As the unit starts it: only the environment file's variables, a user
# without privileges, LimitNOFILE=65536 (or the most a sandbox that keeps
# root from raising the hard limit allows).
nofile=$(ulimit -Hn)
[[ "$nofile" == unlimited || "$nofile" -gt 65536 ]] && nofile=65536
step "starting /usr/bin/zarnel-verify serve with /etc/zarnel-verify/zarnel-verify.env (as nobody, descriptors $nofile)"
out=/tmp/check-serve.out
err=/tmp/check-serve.err
env -i PATH=/usr/bin:/bin NOFILE="$nofile" bash -c 'set -a; . /etc/zarnel-verify/zarnel-verify.env; set +a;
  exec prlimit --nofile=$NOFILE:$NOFILE setpriv --reuid=65534 --regid=65534 --clear-groups \
    env -u NOFILE /usr/bin/zarnel-verify serve' >"$out" 2>"$err" &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
address=""
for _ in $(seq 300); do
  address=$(grep -o '"listening":"[^"]*"' "$out" | cut -d'"' -f4)
  [[ -n "$address" ]] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[[ -n "$address" ]] || { cat "$err"; die "the service did not start"; }
step "listening on $address"
probe=/readyz
code=$(curl -s -o /tmp/check-probe.json -w '%{http_code}' "http://$address$probe")
if [[ "$code" == 404 ]]; then
  step "no /readyz in this build: probing /healthz"
  probe=/healthz
  code=$(curl -s -o /tmp/check-probe.json -w '%{http_code}' "http://$address$probe")
fi
[[ "$code" == 200 ]] || { cat "$err"; die "GET $probe answered $code: $(cat /tmp/check-probe.json)"; }
step "GET http://$address$probe: 200 $(cat /tmp/check-probe.json)"
kill -TERM "$server"
wait "$server"
rc=$?
trap - EXIT
[[ $rc -eq 0 ]] || { cat "$err"; die "SIGTERM ended the service with exit $rc"; }
step "SIGTERM: exit 0"

step "apt-get install ./$(basename "$dev_deb")"
apt-get install -y -q "$dev_deb" >/tmp/check-install-dev.log 2>&1 \
  || { tail -n 30 /tmp/check-install-dev.log; die "installing the -dev package"; }
consumer=$(mktemp -d)
cat >"$consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(zarnel_serverkit 1.0 REQUIRED COMPONENTS redis service)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE zarnel::serverkit zarnel::serverkit_redis zarnel::serverkit_service)
EOF
# Every public header, as a game server would include them.
{ for header in /usr/include/zarnel/serverkit/*.h; do echo "#include <zarnel/serverkit/$(basename "$header")>"; done
  echo 'int main() { return 0; }'; } >"$consumer/main.cpp"
{ cmake -S "$consumer" -B "$consumer/build" -G Ninja && cmake --build "$consumer/build"; } >/tmp/check-consumer.log 2>&1 \
  || { tail -n 30 /tmp/check-consumer.log; die "building a program against libzarnel-serverkit-dev"; }
"$consumer/build/consumer" || die "the program built against libzarnel-serverkit-dev"
step "a program including every header built against libzarnel-serverkit-dev"

step "apt-get purge zarnel-verify libzarnel-serverkit-dev"
apt-get purge -y -q zarnel-verify libzarnel-serverkit-dev >/tmp/check-purge.log 2>&1 \
  || { tail -n 20 /tmp/check-purge.log; die "purging the packages"; }
for path in /usr/bin/zarnel-verify "$unit" /etc/zarnel-verify /usr/include/zarnel; do
  [[ -e "$path" ]] && die "$path is still there after the purge"
done
step "PASS"

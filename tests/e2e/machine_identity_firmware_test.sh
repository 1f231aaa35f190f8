#!/bin/sh
# The machine identity digest against firmware identities. Wine builds the
# SMBIOS table of its processes from /sys/class/dmi/id, so each case runs
# reliability_host.exe (login proof, machine digest) in a private mount
# namespace whose /sys/class is a tmpfs holding that machine's DMI files.
# The digest must follow a changed system serial, stay the same for the
# same firmware, and ignore a placeholder serial.
#   machine_identity_firmware_test.sh <wine-run.sh> <client-dir> <reliability_host.exe>
# Needs root (for the mount namespace); exits 77 (skipped) without it.
set -u
wine_run=$1
client_dir=$2
host=$3

if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: a private mount namespace needs root"
  exit 77
fi

copy=$(mktemp -d /tmp/zg-identity-client.XXXXXX)
trap 'rm -rf "$copy"' EXIT
cp "$client_dir"/* "$copy"/ && cp "$host" "$copy"/ || exit 1
mkdir -p "$copy/ksp"
export ZARNELGUARD_STANDIN_KSP="store=Z:$copy/ksp"

# digest <product_serial> [board_serial]: the machine digest of a physical
# machine (a Dell laptop) with that serial.
digest() {
  unshare -m sh -s "$wine_run" "$copy/reliability_host.exe" "$@" <<'INNER' | tr -d '\r' | sed -n 's/^machine_digest=//p'
wine_run=$1 program=$2 serial=$3 board_serial=${4:-}
mount -t tmpfs zg-dmi /sys/class || exit 1
mkdir -p /sys/class/dmi/id
printf '%s\n' "Dell Inc." > /sys/class/dmi/id/sys_vendor
printf '%s\n' "XPS 15 9520" > /sys/class/dmi/id/product_name
printf '%s\n' "Dell Inc." > /sys/class/dmi/id/bios_vendor
printf '%s\n' "1.14.0" > /sys/class/dmi/id/bios_version
printf '%s\n' "Dell Inc." > /sys/class/dmi/id/board_vendor
printf '%s\n' "0RH1JY" > /sys/class/dmi/id/board_name
printf '%s\n' "$serial" > /sys/class/dmi/id/product_serial
printf '%s\n' "$board_serial" > /sys/class/dmi/id/board_serial
cd "$(dirname "$program")"
"$wine_run" "$program" digest
INNER
}

failures=0
check() {
  if [ "$1" = ok ]; then echo "ok   $2"; else
    echo "FAIL $2"
    failures=$((failures + 1))
  fi
}

serial_a=$(digest "8XQ2KL3")
serial_a_again=$(digest "8XQ2KL3")
serial_b=$(digest "5CD0123")
no_serial=$(digest "")
placeholder=$(digest "To Be Filled By O.E.M.")
placeholder_default=$(digest "Default string")
echo "serial A:         $serial_a"
echo "serial A again:   $serial_a_again"
echo "serial B:         $serial_b"
echo "no serial:        $no_serial"
echo "placeholder:      $placeholder"
echo "Default string:   $placeholder_default"

[ ${#serial_a} = 64 ] && [ ${#serial_b} = 64 ] && [ ${#no_serial} = 64 ] && r=ok || r=fail
check "$r" "every start-up gave a 32-byte machine digest"
[ "$serial_a" = "$serial_a_again" ] && r=ok || r=fail
check "$r" "the same firmware gives the same digest"
[ "$serial_a" != "$serial_b" ] && r=ok || r=fail
check "$r" "a changed system serial changes the digest"
[ "$serial_a" != "$no_serial" ] && r=ok || r=fail
check "$r" "a serial counts against none"
[ "$placeholder" = "$no_serial" ] && r=ok || r=fail
check "$r" "the placeholder serial 'To Be Filled By O.E.M.' is ignored"
[ "$placeholder_default" = "$no_serial" ] && r=ok || r=fail
check "$r" "the placeholder serial 'Default string' is ignored"

if [ "$failures" -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all machine identity firmware cases passed"

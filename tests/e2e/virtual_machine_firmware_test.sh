#!/bin/sh
# The virtual-machine check against real firmware identities. Wine builds
# the SMBIOS table of its processes from /sys/class/dmi/id, so each case
# runs the probe in a private mount namespace whose /sys/class is a tmpfs
# holding that machine's DMI files. The wineserver outside serves it as usual.
# With a sample client directory and lifecycle_host.exe, a few identities
# also go through the whole start-up of the shipped DLL.
#   virtual_machine_firmware_test.sh <wine-run.sh> <checks_probe.exe> [<client-dir> <lifecycle_host.exe>]
# Needs root (for the mount namespace); exits 77 (skipped) without it.
set -u
wine_run=$1
probe=$2
client_dir=${3:-}
host=${4:-}

if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: a private mount namespace needs root"
  exit 77
fi

failures=0
# with_firmware <program> <arguments> <sys_vendor> <product_name> <bios_vendor> [product_serial]
# Runs the Windows program with that firmware identity; prints its output
# and then "exit=<code>".
with_firmware() {
  unshare -m sh -s "$wine_run" "$@" <<'INNER'
wine_run=$1 program=$2 arguments=$3 vendor=$4 product=$5 bios=$6 serial=${7:-}
mount -t tmpfs zg-dmi /sys/class || exit 1
mkdir -p /sys/class/dmi/id
printf '%s\n' "$vendor" > /sys/class/dmi/id/sys_vendor
printf '%s\n' "$product" > /sys/class/dmi/id/product_name
printf '%s\n' "$bios" > /sys/class/dmi/id/bios_vendor
printf '%s\n' "$vendor" > /sys/class/dmi/id/board_vendor
printf '%s\n' "$serial" > /sys/class/dmi/id/product_serial
cd "$(dirname "$program")"
"$wine_run" "$program" $arguments
echo "exit=$?"
INNER
}

# case <expect 0|1> <expected detail start> <label> <sys_vendor> <product_name> <bios_vendor> [product_serial]
case_firmware() {
  expect=$1 detail=$2 label=$3
  shift 3
  output=$(with_firmware "$probe" "- vm" "$@" | tr -d '\r')
  vm=$(printf '%s\n' "$output" | sed -n 's/^vm=//p')
  got_detail=$(printf '%s\n' "$output" | sed -n 's/^detail=//p')
  if [ "$vm" != "$expect" ]; then
    echo "FAIL $label: vm=$vm, expected $expect (detail: $got_detail)"
    failures=$((failures + 1))
  elif [ "$expect" = 1 ] && [ "${got_detail#"$detail"}" = "$got_detail" ]; then
    echo "FAIL $label: detail '$got_detail' does not start with '$detail'"
    failures=$((failures + 1))
  elif [ "$expect" = 0 ] && [ -n "$got_detail" ]; then
    echo "FAIL $label: detail '$got_detail' on a clean result"
    failures=$((failures + 1))
  else
    echo "ok   $label: vm=$vm $got_detail"
  fi
}

# Hypervisors, as their guests' firmware reports them.
case_firmware 1 "VMware" "VMware Workstation (BIOS)" "VMware, Inc." "VMware Virtual Platform" "Phoenix Technologies LTD" "VMware-56 4d 0b 2a 9c 1f 3e 8a-5d 77 01 23 45 67 89 ab"
case_firmware 1 "VMware" "VMware ESXi (EFI)" "VMware, Inc." "VMware7,1" "VMware, Inc."
case_firmware 1 "VirtualBox" "VirtualBox" "innotek GmbH" "VirtualBox" "innotek GmbH" "0"
case_firmware 1 "QEMU" "QEMU (Q35, OVMF)" "QEMU" "Standard PC (Q35 + ICH9, 2009)" "EFI Development Kit II / OVMF"
case_firmware 1 "QEMU" "QEMU (i440FX, SeaBIOS)" "QEMU" "Standard PC (i440FX + PIIX, 1996)" "SeaBIOS"
case_firmware 1 "KVM" "KVM (Red Hat)" "Red Hat" "KVM" "SeaBIOS"
case_firmware 1 "Xen" "Xen HVM" "Xen" "HVM domU" "Xen"
case_firmware 1 "Hyper-V" "Hyper-V" "Microsoft Corporation" "Virtual Machine" "Microsoft Corporation"
case_firmware 1 "Parallels" "Parallels Desktop" "Parallels Software International Inc." "Parallels Virtual Platform" "Parallels Software International Inc." "Parallels-4C 2B 19 70 1D 3A 4E 0C 9D 8B 71 8F 0A 6B 3E 52"
case_firmware 1 "Bochs" "Bochs" "Bochs" "Bochs" "Bochs"

# Physical machines of several makers; Microsoft also makes Hyper-V.
case_firmware 0 "" "Microsoft Surface" "Microsoft Corporation" "Surface Pro 7" "Microsoft Corporation" "012345678901"
case_firmware 0 "" "Microsoft Surface Laptop" "Microsoft Corporation" "Surface Laptop Studio" "Microsoft Corporation"
case_firmware 0 "" "Dell XPS" "Dell Inc." "XPS 15 9520" "Dell Inc." "8XQ2KL3"
case_firmware 0 "" "Lenovo ThinkPad" "LENOVO" "20XW0055GE" "LENOVO" "PF3ABCDE"
case_firmware 0 "" "HP Pavilion" "HP" "HP Pavilion Gaming Laptop 15-ec1xxx" "AMI" "5CD0123XYZ"
case_firmware 0 "" "ASUS ROG" "ASUSTeK COMPUTER INC." "ROG Strix G15 G513QM" "American Megatrends International, LLC."
case_firmware 0 "" "MSI desktop" "Micro-Star International Co., Ltd." "MS-7C91" "American Megatrends International, LLC." "To be filled by O.E.M."
case_firmware 0 "" "Gigabyte desktop" "Gigabyte Technology Co., Ltd." "B550 AORUS ELITE" "American Megatrends Inc." "Default string"
case_firmware 0 "" "ASRock unbranded" "To Be Filled By O.E.M." "To Be Filled By O.E.M." "American Megatrends Inc."
case_firmware 0 "" "Apple Boot Camp" "Apple Inc." "MacBookPro16,1" "Apple Inc." "C02ABCDEFGH"
case_firmware 0 "" "Framework laptop" "Framework" "Laptop (12th Gen Intel Core)" "INSYDE Corp."
case_firmware 0 "" "no firmware identity" "" "" ""

# The start-up of the shipped DLL: a hypervisor ends the client with exit
# code 13 and the error helper started with AC-VM-001; a physical machine
# starts.
# startup_case <expect vm|start> <label> <sys_vendor> <product_name> <bios_vendor>
startup_case() {
  expect=$1 label=$2
  shift 2
  rm -f "$copy"/ZarnelUpdateHelper.record-*
  output=$(with_firmware "$copy/lifecycle_host.exe" "sequence" "$@" | tr -d '\r')
  code=$(printf '%s\n' "$output" | sed -n 's/^exit=//p')
  record=""
  for _ in $(seq 1 100); do
    record=$(cat "$copy"/ZarnelUpdateHelper.record-*.txt 2>/dev/null | tr -d '\r' | sed -n 's/^code=//p')
    [ -n "$record" ] || [ "$expect" = start ] && break
    sleep 0.05
  done
  if [ "$expect" = vm ] && { [ "$code" != 13 ] || [ "$record" != AC-VM-001 ]; }; then
    echo "FAIL start-up $label: exit=$code helper code '$record', expected 13 and AC-VM-001"
    failures=$((failures + 1))
  elif [ "$expect" = start ] && { [ "$code" != 0 ] || ! printf '%s\n' "$output" | grep -qx 'initialize_first=1'; }; then
    echo "FAIL start-up $label: exit=$code, expected a normal start: $(printf '%s' "$output" | tr '\n' ' ')"
    failures=$((failures + 1))
  else
    echo "ok   start-up $label: exit=$code ${record:+helper code $record}"
  fi
}

if [ -n "$client_dir" ] && [ -n "$host" ]; then
  copy=$(mktemp -d /tmp/zg-vm-client.XXXXXX)
  trap 'rm -rf "$copy"' EXIT
  cp "$client_dir"/* "$copy"/ && cp "$host" "$copy"/
  # The stand-in key storage provider beside the host, for the device key.
  startup_case vm "VMware" "VMware, Inc." "VMware7,1" "VMware, Inc."
  startup_case vm "Hyper-V" "Microsoft Corporation" "Virtual Machine" "Microsoft Corporation"
  startup_case start "Microsoft Surface" "Microsoft Corporation" "Surface Pro 7" "Microsoft Corporation"
  startup_case start "Dell XPS" "Dell Inc." "XPS 15 9520" "Dell Inc."
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all firmware cases passed"

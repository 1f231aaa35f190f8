#!/bin/sh
# The tables a cheat would write to switch a check off (the system-call
# table and the monitor's checks) lie in a section of the DLL that is
# mapped without write permission: found by name in the DLL's PDB, their
# section's flags read from the DLL's own headers.
#   read_only_tables.sh DLL PDB LLVM_READOBJ LLVM_PDBUTIL
set -eu
dll=$1 pdb=$2 readobj=$3 pdbutil=$4
globals=$("$pdbutil" dump --globals "$pdb")
sections=$("$readobj" --sections "$dll")
failures=0
for table in win32Calls monitorChecks; do
  # "S_GDATA32 [size = N] `name`" then "type = ... (const T), addr = SSSS:OFFSET"
  record=$(echo "$globals" | grep -A1 "S_GDATA32 .*\`$table\`\$" | tail -1)
  section=$(echo "$record" | sed -n 's/.*addr = \([0-9]*\):[0-9]*$/\1/p')
  if [ -z "$section" ]; then
    echo "FAIL: $table is not a global of $pdb"; failures=$((failures + 1)); continue
  fi
  section=$(expr "$section" + 0)
  # The section's header: from its "Number: N" to the next section.
  header=$(echo "$sections" | awk -v n="$section" '/Number: /{on = ($2 == n)} on')
  name=$(echo "$header" | sed -n 's/^ *Name: \([^ ]*\).*/\1/p')
  case "$header" in
    *IMAGE_SCN_MEM_WRITE*) echo "FAIL: $table lies in $name, which is writable"; failures=$((failures + 1)) ;;
    *IMAGE_SCN_MEM_READ*) echo "$table: in $name, read-only" ;;
    *) echo "FAIL: no readable section $section for $table"; failures=$((failures + 1)) ;;
  esac
done
[ "$failures" -eq 0 ]

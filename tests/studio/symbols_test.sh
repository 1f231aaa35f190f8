#!/bin/sh
# The installed DLL and its PDB belong together, as a debugger checks it:
# the DLL's CodeView record names the PDB by file name only and carries the
# PDB's GUID and age; the PDB holds the exports' functions, and an address
# inside each export resolves to its name. For the plain and the stripped
# install; neither DLL carries DWARF.
#   symbols_test.sh WORK_DIR DEF_FILE LLVM_READOBJ LLVM_PDBUTIL LLVM_SYMBOLIZER
set -eu
work=$1 def=$2 readobj=$3 pdbutil=$4 symbolizer=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

pdb=$work/prefix/bin/ZarnelGuard.pdb
[ -f "$pdb" ] || { echo "FAIL: no PDB beside the installed DLL"; exit 1; }

# The PDB's identity, as {GUID} and age.
summary=$("$pdbutil" dump --summary "$pdb")
pdb_guid=$(echo "$summary" | sed -n 's/^ *GUID: {\(.*\)}$/\1/p')
pdb_age=$(echo "$summary" | sed -n 's/^ *Age: \([0-9]*\)$/\1/p')
[ -n "$pdb_guid" ] && [ -n "$pdb_age" ] || { echo "FAIL: no GUID or age in: $summary"; exit 1; }

# The nine exports, undecorated, from the .def file.
exports=$(sed -n 's/^ *\(ZarnelGuard[A-Za-z]*\)@[0-9]*.*$/\1/p' "$def")
[ "$(echo "$exports" | wc -l)" -eq 9 ] || { echo "FAIL: expected nine exports in $def"; exit 1; }

# Every function record of the PDB, by name.
functions=$("$pdbutil" dump --symbols "$pdb" | sed -n 's/.*S_GPROC32 .*`\(.*\)`$/\1/p')
for name in $exports; do
  echo "$functions" | grep -qx "$name" || fail "the PDB has no function record of $name"
done

for install in prefix stripped; do
  dll=$work/$install/bin/ZarnelGuard.dll
  headers=$("$readobj" --sections --coff-debug-directory "$dll")
  if echo "$headers" | grep -q 'Name: \.debug_'; then
    fail "$install: the DLL carries DWARF sections"
  fi
  [ "$(echo "$headers" | grep -c 'PDBInfo {')" -eq 1 ] || fail "$install: expected one CodeView record"
  name=$(echo "$headers" | sed -n 's/^ *PDBFileName: //p')
  [ "$name" = "ZarnelGuard.pdb" ] || fail "$install: the CodeView record names '$name', not ZarnelGuard.pdb alone"
  age=$(echo "$headers" | sed -n 's/^ *PDBAge: //p')
  [ "$age" = "$pdb_age" ] || fail "$install: DLL age $age, PDB age $pdb_age"
  # The record holds the GUID's bytes as stored: the first three fields
  # little-endian, the last eight bytes in order.
  guid=$(echo "$headers" | sed -n 's/^ *PDBGUID: (\(.*\))$/\1/p' | awk '{
    printf "%s%s%s%s-%s%s-%s%s-%s%s-%s%s%s%s%s%s", $4,$3,$2,$1, $6,$5, $8,$7, $9,$10, $11,$12,$13,$14,$15,$16 }')
  [ "$guid" = "$pdb_guid" ] || fail "$install: DLL GUID $guid, PDB GUID $pdb_guid"

  # A debugger finds the PDB beside the DLL by the name in the record
  # (the stripped install has its own copy).
  exports_table=$("$readobj" --coff-exports "$dll")
  for export in $exports; do
    rva=$(echo "$exports_table" | grep -A1 "Name: $export\$" | sed -n 's/^ *RVA: //p')
    [ -n "$rva" ] || { fail "$install: $export is not exported"; continue; }
    inside=$(printf '0x%x' $((rva + 4)))
    found=$(cd "$work/$install/bin" && "$symbolizer" --obj=ZarnelGuard.dll --relative-address --no-inlines "$inside" | head -1)
    [ "$found" = "$export" ] || fail "$install: address $inside inside $export resolves to '$found'"
  done
done

[ "$failures" -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "DLL and PDB agree (GUID {$pdb_guid}, age $pdb_age); the nine exports resolve by address"

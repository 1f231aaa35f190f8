#!/bin/sh
# A Visual Studio consumer of the installed guard.
#   vs_consumer_test.sh link WORK_DIR BUILD_DIR SOURCE_DIR CLANG_CL LLD_LINK LLVM_DLLTOOL
#     compiles tests/studio/vs_consumer.c as C and as C++ with clang-cl for
#     i686-pc-windows-msvc against the installed header, links both with
#     lld-link /safeseh against the installed ZarnelGuard.lib, and checks
#     that the import library holds no path of the build machine.
#   vs_consumer_test.sh run WORK_DIR WINE_RUN
#     runs both programs beside the installed DLL under Wine.
# With ZARNELGUARD_CONSUMER_MACHINE=x86_64, the same for the 64-bit check
# build (x86_64-pc-windows-msvc; /safeseh exists for x86 only), where
# WORK_DIR/prefix is laid out as an install (bin/, lib/, include/).
set -eu
mode=$1 work=$2
prefix=$work/prefix
out=$work/vs-consumer
machine=${ZARNELGUARD_CONSUMER_MACHINE:-i386}

if [ "$mode" = link ]; then
  build=$3 source=$4 clang_cl=$5 lld_link=$6 dlltool=$7
  lib=$prefix/lib/ZarnelGuard.lib
  for path in "$build" "$source"; do
    if grep -qaF "$path" "$lib"; then
      echo "FAIL: $lib holds the build machine's path $path"; exit 1
    fi
    # The binutils import library spelled the path with underscores.
    mangled=$(echo "$path" | tr '/.-' '___')
    if grep -qaF "$mangled" "$lib"; then
      echo "FAIL: $lib holds the build machine's path as $mangled"; exit 1
    fi
  done
  rm -rf "$out" && mkdir -p "$out"
  # No Windows SDK here: kernel32's import library from the three functions.
  if [ "$machine" = x86_64 ]; then
    sed 's/\([A-Za-z]\)@[0-9]*/\1/' "$source/tests/studio/kernel32_subset.def" > "$out/kernel32.def"
    "$dlltool" -m i386:x86-64 -d "$out/kernel32.def" -l "$out/kernel32.lib"
    target=x86_64-pc-windows-msvc safeseh=""
  else
    "$dlltool" -m i386 -k -d "$source/tests/studio/kernel32_subset.def" -l "$out/kernel32.lib"
    target=i686-pc-windows-msvc safeseh=/safeseh
  fi
  for variant in "c /TC /DZARNELGUARD_NO_DLLIMPORT" "cpp /TP"; do
    set -- $variant
    name=$1; shift
    "$clang_cl" --target=$target /nologo /c /O1 /GS- /W4 /WX "$@" "-I$prefix/include" \
      "/Fo$out/vs_consumer_$name.obj" -- "$source/tests/studio/vs_consumer.c"
    "$lld_link" /nologo $safeseh /subsystem:console /entry:ConsumerMain /nodefaultlib \
      "/out:$out/vs_consumer_$name.exe" "$out/vs_consumer_$name.obj" "$lib" "$out/kernel32.lib"
  done
  cp "$prefix/bin/ZarnelGuard.dll" "$out/"
  echo "both consumers linked ($target $safeseh); the import library holds no build path"
  exit 0
fi

wine_run=$3
failures=0
for name in c cpp; do
  status=0
  said=$("$wine_run" "$out/vs_consumer_$name.exe" | tr -d '\r') || status=$?
  echo "$name: $said"
  case "$said" in
    *"exports bound 9"*"client build 62"*"consumer ok"*) [ "$status" -eq 0 ] || { echo "FAIL: $name exit status $status"; failures=1; } ;;
    *) echo "FAIL: $name did not report 9 bound exports, build 62 and ok (status $status)"; failures=1 ;;
  esac
done
exit $failures

#!/bin/sh
# find_package for both packages from an install prefix: a 32-bit Windows
# client project takes ZarnelGuard::ZarnelGuard, a 64-bit one is turned
# away, a native server project takes zarnel::serverkit; the server program
# runs. The server kit's installed headers must not mention OpenSSL.
#   package_consumers_test.sh WORK_DIR SOURCE_DIR WIN32_TOOLCHAIN WIN64_TOOLCHAIN OBJDUMP
set -eu
work=$1 source=$2 toolchain=$3 toolchain64=$4 objdump=$5
prefix=$work/prefix
consumers=$source/tests/studio/package_consumers

if grep -rlE 'openssl/|EVP_|OSSL_|BIGNUM|EC_KEY|EC_GROUP' "$prefix/include/zarnel/serverkit"; then
  echo "FAIL: installed server kit headers above expose OpenSSL"; exit 1
fi

build=$work/consumer-guard
rm -rf "$build"
cmake -S "$consumers/guard" -B "$build" -G Ninja --toolchain "$toolchain" \
  -DCMAKE_BUILD_TYPE=Release "-DZarnelGuard_DIR=$prefix/lib/cmake/ZarnelGuard" >"$work/consumer-guard.log" 2>&1 \
  || { cat "$work/consumer-guard.log"; echo "FAIL: configuring the guard's consumer"; exit 1; }
cmake --build "$build" >>"$work/consumer-guard.log" 2>&1 \
  || { cat "$work/consumer-guard.log"; echo "FAIL: building the guard's consumer"; exit 1; }
imports=$("$objdump" -p "$build/guard_package_consumer.exe")
echo "$imports" | grep -q 'DLL Name: ZarnelGuard.dll' \
  || { echo "FAIL: the consumer does not import from ZarnelGuard.dll"; exit 1; }
echo "$imports" | grep -qE '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+ZarnelGuardGetClientBuild$' \
  || { echo "FAIL: the consumer does not import ZarnelGuardGetClientBuild by its undecorated name"; exit 1; }
[ -f "$build/ZarnelGuard.dll" ] || { echo "FAIL: the DLL was not put beside the consumer"; exit 1; }

# A 64-bit client could not load the DLL: the package's version file says no.
build=$work/consumer-guard64
rm -rf "$build"
if cmake -S "$consumers/guard" -B "$build" -G Ninja --toolchain "$toolchain64" \
     -DCMAKE_BUILD_TYPE=Release "-DZarnelGuard_DIR=$prefix/lib/cmake/ZarnelGuard" >"$work/consumer-guard64.log" 2>&1; then
  cat "$work/consumer-guard64.log"; echo "FAIL: a 64-bit project accepted the 32-bit package"; exit 1
fi
grep -q '(32bit)' "$work/consumer-guard64.log" \
  || { cat "$work/consumer-guard64.log"; echo "FAIL: the 64-bit project failed for another reason than the package's bitness"; exit 1; }

build=$work/consumer-serverkit
rm -rf "$build"
cmake -S "$consumers/serverkit" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER=c++ "-DCMAKE_PREFIX_PATH=$prefix" >"$work/consumer-serverkit.log" 2>&1 \
  || { cat "$work/consumer-serverkit.log"; echo "FAIL: configuring the server kit's consumer"; exit 1; }
cmake --build "$build" >>"$work/consumer-serverkit.log" 2>&1 \
  || { cat "$work/consumer-serverkit.log"; echo "FAIL: building the server kit's consumer"; exit 1; }
"$build/serverkit_package_consumer" || { echo "FAIL: the server kit's consumer"; exit 1; }
echo "both packages found and built against, the 64-bit project turned away, the server kit's consumer run from $prefix"

#!/usr/bin/env bash
# Installs a build tree into a scratch prefix, checks the installed files, and builds
# and runs small consumers against it: a C program with pkg-config, and a C and a C++
# program with find_package(mpg) and the mpg::mpg target. Also runs the installed tool.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR [CMAKE] [CC]
set -euo pipefail
build=$1 consumer=$2 work=$3 cmake=${4:-cmake} cc=${5:-cc}

fail() { echo "install test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"

# GNUInstallDirs may put the library under lib/<multiarch> on Debian.
pc=$(find "$prefix" -name mpg.pc -print -quit)
[[ -n $pc ]] || fail "no mpg.pc installed"
libdir=$(dirname "$(dirname "$pc")")
[[ -f $prefix/include/mpg.h ]] || fail "mpg.h not installed"
[[ -f $prefix/include/mpg_string.hpp ]] || fail "mpg_string.hpp not installed (mpg.h includes it for C++)"
[[ -f $libdir/cmake/mpg/mpgConfig.cmake ]] || fail "no CMake package config in $libdir/cmake/mpg"
soname=$(readelf -d "$libdir/libmpg.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libmpg.so.0 ]] || fail "library soname is '$soname', expected libmpg.so.0"
[[ -e $libdir/$soname ]] || fail "no $soname link in $libdir"

echo "== pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# The .pc file must point into the prefix it was installed to, whatever prefix the
# build was configured with.
pc_includedir=$(realpath -m "$(pkg-config --variable=includedir mpg)")
[[ $pc_includedir == $(realpath -m "$prefix/include") ]] ||
  fail "mpg.pc names includedir $pc_includedir, not the install prefix's $prefix/include"
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/consumer_pc" $(pkg-config --cflags --libs mpg)
LD_LIBRARY_PATH=$libdir "$work/consumer_pc"

echo "== find_package(mpg)"
"$cmake" -S "$consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >"$work/configure.log"
"$cmake" --build "$work/consumer-build" >"$work/build.log"
LD_LIBRARY_PATH=$libdir "$work/consumer-build/consumer"
LD_LIBRARY_PATH=$libdir "$work/consumer-build/consumer_cpp"

echo "== installed tool"
# The tool links the shared library and finds it through its run path, without
# LD_LIBRARY_PATH.
readelf -d "$prefix/bin/mpg" | grep -q 'NEEDED.*\[libmpg\.so\.0\]' || fail "bin/mpg does not link libmpg.so.0"
env -u LD_LIBRARY_PATH "$prefix/bin/mpg" --version
loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/mpg" | sed -n 's/^\s*libmpg\.so\.0 => \([^ ]*\).*/\1/p')
[[ -n $loaded && $(realpath "$loaded") == $(realpath "$libdir/libmpg.so.0") ]] ||
  fail "bin/mpg loads '$loaded', not the installed $libdir/libmpg.so.0"
echo "install test: ok"

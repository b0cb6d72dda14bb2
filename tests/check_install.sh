#!/usr/bin/env bash
# Installs the built library into an empty temporary prefix, checks the
# installed tree, then builds and runs two programs against it the way another
# project would: a C program through pkg-config and a C++17 program through the
# CMake package. Neither may reach into the source or the build tree.
# Usage: check_install.sh <source dir> <build dir> <libdir> <version> <cc> <cxx>
set -euo pipefail
# Pipelines end in a grep that reads all its input: grep -q could stop a writer
# early, and pipefail would count its broken pipe as a failure.
src=$1 build=$2 libdir=$3 version=$4 cc=$5 cxx=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmcat-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
lib=$prefix/$libdir
fail() { echo "check_install: $*" >&2; exit 1; }
# A text that names the source or the build tree.
leaks() { grep -F -e "$src" -e "$build" "$@"; }

cmake --install "$build" --prefix "$prefix" >/dev/null

# Exactly the public part of the build, nothing of the tests or the internals.
expected="./$libdir/libkelmcat.so
./$libdir/libkelmcat.so.1
./$libdir/libkelmcat.so.$version
./$libdir/libkelmcathost.so
./$libdir/libkelmcathost.so.1
./$libdir/libkelmcathost.so.$version
./bin/kelmcat
./include/kelmcat.h
./include/kelmcat_host.h
./include/kelmcat_version.h
./$libdir/pkgconfig/kelmcat.pc
./$libdir/pkgconfig/kelmcathost.pc
./$libdir/cmake/kelmcat/kelmcatConfig.cmake
./$libdir/cmake/kelmcat/kelmcatConfigVersion.cmake
./$libdir/cmake/kelmcat/kelmcatTargets.cmake
./$libdir/cmake/kelmcat/kelmcatTargets-CONFIG.cmake"
actual=$(cd "$prefix" && find . ! -type d | sed 's/kelmcatTargets-[a-z]*\.cmake$/kelmcatTargets-CONFIG.cmake/' | sort)
if [ "$actual" != "$(sort <<<"$expected")" ]; then
  diff <(sort <<<"$expected") <(echo "$actual") >&2 || true
  fail "installed tree differs from the expected one (< expected, > installed)"
fi
[ "$(readlink "$lib/libkelmcat.so")" = libkelmcat.so.1 ] || fail "libkelmcat.so does not link to libkelmcat.so.1"
[ "$(readlink "$lib/libkelmcat.so.1")" = "libkelmcat.so.$version" ] ||
  fail "libkelmcat.so.1 does not link to libkelmcat.so.$version"
dyn=$(readelf -d "$lib/libkelmcat.so.$version")
grep -q 'Library soname: \[libkelmcat.so.1\]' <<<"$dyn" || fail "SONAME is not libkelmcat.so.1"
if grep -E 'RPATH|RUNPATH' <<<"$dyn"; then fail "the installed library carries a run path"; fi
if leaks -rIl "$prefix"; then fail "installed files name the source or build tree"; fi

# The host kit and the command: linked like the library, and the installed
# command runs on the installed libraries.
[ "$(readlink "$lib/libkelmcathost.so")" = libkelmcathost.so.1 ] ||
  fail "libkelmcathost.so does not link to libkelmcathost.so.1"
[ "$(readlink "$lib/libkelmcathost.so.1")" = "libkelmcathost.so.$version" ] ||
  fail "libkelmcathost.so.1 does not link to libkelmcathost.so.$version"
dyn=$(readelf -d "$lib/libkelmcathost.so.$version")
grep -q 'Library soname: \[libkelmcathost.so.1\]' <<<"$dyn" || fail "the kit's SONAME is not libkelmcathost.so.1"
grep -q 'Shared library: \[libkelmcat.so.1\]' <<<"$dyn" || fail "the kit does not link libkelmcat.so.1"
for f in "$lib/libkelmcathost.so.$version" "$prefix/bin/kelmcat"; do
  if readelf -d "$f" | grep -E 'RPATH|RUNPATH'; then fail "$f carries a run path"; fi
done
[ "$(LD_LIBRARY_PATH=$lib "$prefix/bin/kelmcat" --version)" = "kelmcat $version" ] ||
  fail "the installed command does not report version $version"
LD_LIBRARY_PATH=$lib ldd "$prefix/bin/kelmcat" | grep -F "$lib/libkelmcathost.so.1" >/dev/null ||
  fail "the installed command did not load the installed host kit"

# C, through pkg-config and nothing but the installed tree.
export PKG_CONFIG_LIBDIR=$lib/pkgconfig PKG_CONFIG_PATH=
[ "$(pkg-config --modversion kelmcat)" = "$version" ] || fail "pkg-config reports another version"
flags=$(pkg-config --cflags --libs kelmcat)
if leaks <<<"$flags"; then fail "pkg-config flags name the source or build tree: $flags"; fi
cp "$src/tests/consumer/consumer.c" "$work/"
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/c_consumer" "$work/consumer.c" $flags
LD_LIBRARY_PATH=$lib "$work/c_consumer"
LD_LIBRARY_PATH=$lib ldd "$work/c_consumer" | grep -F "$lib/libkelmcat.so.1" >/dev/null ||
  fail "the C consumer did not load the installed library"

# The host kit from C, through its pkg-config file (which requires kelmcat's).
[ "$(pkg-config --modversion kelmcathost)" = "$version" ] || fail "pkg-config reports another kit version"
flags=$(pkg-config --cflags --libs kelmcathost)
if leaks <<<"$flags"; then fail "the kit's pkg-config flags name the source or build tree: $flags"; fi
cat >"$work/host_consumer.c" <<'EOF'
#include <stdio.h>
#include <string.h>

#include "kelmcat_host.h"

int main(void) {
  static const char answers[] = "{\"lookup\":{\"a.mkv\":\"tt1\"}}";
  kelhost_answers *a = NULL;
  if (kelhost_answers_parse(answers, strlen(answers), &a) != KELHOST_OK || !kelhost_answers_io(a) ||
      kelhost_disk_register() != KELHOST_OK) {
    fprintf(stderr, "host kit: %s\n", kelhost_last_error());
    return 1;
  }
  kelhost_answers_free(a);
  kelmcat_shutdown();
  return 0;
}
EOF
"$cc" -std=c99 -Wall -Wextra -Werror -o "$work/host_consumer" "$work/host_consumer.c" $flags
LD_LIBRARY_PATH=$lib "$work/host_consumer"

# C++17, through find_package(kelmcat) and the imported target.
mkdir "$work/cxx"
cp "$src/tests/consumer/CMakeLists.txt" "$src/tests/consumer/consumer.cpp" "$work/cxx/"
cmake -S "$work/cxx" -B "$work/cxx/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" -DEXPECTED_VERSION="$version" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
grep -q -F "kelmcat_DIR:PATH=$lib/cmake/kelmcat" "$work/cxx/build/CMakeCache.txt" ||
  fail "find_package found kelmcat outside the install prefix"
cmake --build "$work/cxx/build" >/dev/null
if leaks "$work/cxx/build/compile_commands.json" "$work/cxx/build/CMakeFiles/consumer.dir/link.txt"; then
  fail "the C++ consumer's build names the source or build tree"
fi
"$work/cxx/build/consumer"
ldd "$work/cxx/build/consumer" | grep -F "$lib/libkelmcat.so.1" >/dev/null ||
  fail "the C++ consumer did not load the installed library"
echo "check_install: installed tree and both consumers fine"

#!/usr/bin/env bash
# Builds the Debian packages with cpack and checks their contents and control
# data: libkelmcat1 (the shared library), kelmcat-tools (the kelmcat command
# and the host kit's library) and libkelmcat-dev (headers, pkg-config file,
# CMake package, development links).
# Usage: check_packages.sh <build dir> <libdir> <version>
set -euo pipefail
# Pipelines end in a grep that reads all its input: grep -q could stop a writer
# early, and pipefail would count its broken pipe as a failure.
build=$1 libdir=$2 version=$3
fail() { echo "check_packages: $*" >&2; exit 1; }

out=$build/packages
rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$build/cpack.log" 2>&1) || {
  cat "$build/cpack.log" >&2
  fail "cpack failed"
}
arch=$(dpkg --print-architecture)
runtime=$out/libkelmcat1_${version}_$arch.deb
dev=$out/libkelmcat-dev_${version}_$arch.deb
tools=$out/kelmcat-tools_${version}_$arch.deb
[ -f "$runtime" ] && [ -f "$dev" ] && [ -f "$tools" ] || { ls "$out" >&2; fail "missing packages"; }

# Files and links of a package, one a line, directories left out.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort; }
expect() {
  local got
  got=$(contents "$1")
  if [ "$got" != "$(sort <<<"$2")" ]; then
    diff <(sort <<<"$2") <(echo "$got") >&2 || true
    fail "$(basename "$1") holds other files (< expected, > packaged)"
  fi
}
u=./usr/$libdir
expect "$runtime" "$u/libkelmcat.so.$version
$u/libkelmcat.so.1 -> libkelmcat.so.$version"
expect "$tools" "./usr/bin/kelmcat
$u/libkelmcathost.so.$version
$u/libkelmcathost.so.1 -> libkelmcathost.so.$version"
expect "$dev" "$u/libkelmcat.so -> libkelmcat.so.1
$u/libkelmcathost.so -> libkelmcathost.so.1
./usr/include/kelmcat.h
./usr/include/kelmcat_host.h
./usr/include/kelmcat_version.h
$u/pkgconfig/kelmcat.pc
$u/pkgconfig/kelmcathost.pc
$u/cmake/kelmcat/kelmcatConfig.cmake
$u/cmake/kelmcat/kelmcatConfigVersion.cmake
$u/cmake/kelmcat/kelmcatTargets.cmake
$(contents "$dev" | grep -o "$u/cmake/kelmcat/kelmcatTargets-[a-z]*\.cmake" || echo "$u/cmake/kelmcat/kelmcatTargets-CONFIG.cmake")"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$runtime" Package)" = libkelmcat1 ] || fail "runtime package name"
[ "$(field "$dev" Package)" = libkelmcat-dev ] || fail "dev package name"
# Computed by dpkg-shlibdeps from what the library links.
field "$runtime" Depends | grep 'libc6 (>= ' >/dev/null || fail "libkelmcat1 Depends lacks libc6: $(field "$runtime" Depends)"
field "$dev" Depends | grep -F "libkelmcat1 (= $version)" >/dev/null ||
  fail "libkelmcat-dev does not depend on libkelmcat1 (= $version): $(field "$dev" Depends)"
[ "$(field "$tools" Package)" = kelmcat-tools ] || fail "tools package name"
# The command and the kit need the library of the same build and SQLite.
field "$tools" Depends | grep -F "libkelmcat1 (= $version)" >/dev/null ||
  fail "kelmcat-tools does not depend on libkelmcat1 (= $version): $(field "$tools" Depends)"
field "$tools" Depends | grep 'libsqlite3-0 (>= ' >/dev/null ||
  fail "kelmcat-tools Depends lacks libsqlite3-0: $(field "$tools" Depends)"
# The dev package's link and CMake package point into kelmcat-tools.
field "$dev" Depends | grep -F "kelmcat-tools (= $version)" >/dev/null ||
  fail "libkelmcat-dev does not depend on kelmcat-tools (= $version): $(field "$dev" Depends)"
dpkg-deb -I "$runtime" shlibs | grep -x -F "libkelmcat 1 libkelmcat1 (>= $version)" >/dev/null ||
  fail "libkelmcat1 has no shlibs entry for libkelmcat.so.1"

# The pkg-config file names the prefix the package installs to.
dpkg-deb --fsys-tarfile "$dev" | tar -xO "$u/pkgconfig/kelmcat.pc" | grep -x 'prefix=/usr' >/dev/null ||
  fail "kelmcat.pc in libkelmcat-dev does not say prefix=/usr"
dpkg-deb --fsys-tarfile "$dev" | tar -xO "$u/pkgconfig/kelmcathost.pc" | grep -x 'prefix=/usr' >/dev/null ||
  fail "kelmcathost.pc in libkelmcat-dev does not say prefix=/usr"
dyn=$(dpkg-deb --fsys-tarfile "$runtime" | tar -xO "$u/libkelmcat.so.$version" >"$out/lib.so" && readelf -d "$out/lib.so")
if grep -E 'RPATH|RUNPATH' <<<"$dyn"; then fail "the packaged library carries a run path"; fi
for f in ./usr/bin/kelmcat "$u/libkelmcathost.so.$version"; do
  dpkg-deb --fsys-tarfile "$tools" | tar -xO "$f" >"$out/tool.bin"
  if readelf -d "$out/tool.bin" | grep -E 'RPATH|RUNPATH'; then fail "the packaged $f carries a run path"; fi
done
echo "check_packages: $(basename "$runtime"), $(basename "$tools") and $(basename "$dev") fine"

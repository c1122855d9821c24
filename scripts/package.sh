#!/usr/bin/env bash
# Builds the Debian package of Qorvane Update:
#
#   scripts/package.sh [OUT_DIR]
#
# A Release build without tests, benchmarks, test hooks or sanitizers, with
# Debian's build flags (dpkg-buildflags: hardening, -O2; no -g, the programs
# are stripped), in build/package (QRV_PACKAGE_BUILD_DIR overrides). Only the
# programs the package holds are compiled (qrvupdate, qrvupdate-engine,
# qrvctl); CPack's DEB generator then lays them out by the install rules of
# packaging/Install.cmake and finds the dependencies with dpkg-shlibdeps.
#
# The package, qrvupdate_VERSION_ARCH.deb (VERSION from the project's
# version), goes to OUT_DIR (default: the build folder); its path is the last
# line printed. Nothing is installed: scripts/check_package.sh checks it.
#
# Needs the packages of scripts/setup.sh (run it first on a fresh machine).
# Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

build=${QRV_PACKAGE_BUILD_DIR:-build/package}
mkdir -p "$build"
build=$(cd "$build" && pwd)
out=${1:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Debian's flags for a package; -g is left out since the programs are
# stripped, and the file prefix map keeps the build folder out of them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The dates in the package (changelog, AppStream release) are the commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
  export SOURCE_DATE_EPOCH
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# CMAKE_BUILD_TYPE=Release with its own flags replaced by -DNDEBUG: the
# optimisation level is Debian's. CMAKE_SKIP_INSTALL_ALL_DEPENDENCY keeps
# CPack from building every target (qrvpublish, the fuzz replayers) first.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DQRV_PACKAGE=ON -DQRV_SANITIZE=OFF -DQRV_TEST_HOOKS=OFF \
  -DQRV_BUILD_TESTS=OFF -DQRV_BUILD_BENCH=OFF -DQRV_FUZZ=OFF \
  "${launcher[@]}" >/dev/null
start=$(date +%s)
cmake --build "$build" -j "$(nproc)" \
  --target qrvupdate qrvupdate-engine qrvctl qrv_install_files qrv_deb_changelog
echo "package: programs built in $(($(date +%s) - start)) s"

rm -f "$build"/cpack/qrvupdate_*.deb
(cd "$build" && cpack -G DEB -B "$build/cpack" >/dev/null)
deb=$(ls "$build"/cpack/qrvupdate_*.deb)
if [ "$(wc -l <<<"$deb")" -ne 1 ]; then
  echo "package: expected one package in $build/cpack, found: $deb" >&2
  exit 1
fi
if [ "$out/$(basename "$deb")" != "$deb" ]; then
  mv -f "$deb" "$out/"
fi
rm -rf "$build/cpack/_CPack_Packages"
echo "$out/$(basename "$deb")"

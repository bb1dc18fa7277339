#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package. Usage: scripts/package.sh [normal|clang]
# Builds what the package holds in the preset's folder, then runs cpack there. The default,
# normal, is the build the tests run on (build/), so the package holds the very programs
# that passed them, and after scripts/test.sh only the documents are left to make; its
# RelWithDebInfo is -O2 like a Debian build, and the programs are stripped on their way into
# the package. clang packages the clang++ Release build (build-clang/).
# Prints the package's path as its last line: <build folder>/package/xrq_<version>_<arch>.deb
source "$(dirname "$0")/common.sh"

preset=${1:-normal}
case "$preset" in
normal) build=$XRQ_ROOT/build ;;
clang) build=$XRQ_ROOT/build-clang ;;
*)
    echo "usage: $0 [normal|clang]" >&2
    exit 2
    ;;
esac

install_missing_packages "${XRQ_PACKAGING_PACKAGES[@]}"

say "Building what the package holds in $build (preset '$preset')"
(cd "$XRQ_ROOT" && cmake --preset "$preset" -DXRQ_REQUIRE_PACKAGE_TOOLS=ON >/dev/null &&
    cmake --build --preset "$preset" --parallel "$(nproc)" --target xrq_packaging)

say "Making the Debian package with cpack"
rm -rf "$build/package"
cpack --config "$build/CPackConfig.cmake" -B "$build/package" >"$build/cpack.log" ||
    { cat "$build/cpack.log" >&2; exit 1; }
deb=$(find "$build/package" -maxdepth 1 -name 'xrq_*.deb' -print -quit)
[ -n "$deb" ] || { echo "cpack made no package (see $build/cpack.log)" >&2; exit 1; }
echo "$deb"

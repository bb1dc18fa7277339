# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the build, run and test commands: install what is missing, then configure and
# build one build folder from its preset (CMakePresets.json). Sourced, not run.
set -euo pipefail

XRQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# xvfb, openbox and x11-utils (xwininfo): the screen tests and the screenshots run the windows
# on an X server of their own with a window manager framing them. libsqlite3-dev: the tests'
# fault layer under SQLite links sqlite3 itself.
XRQ_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev
              libqt6sql6-sqlite libgtest-dev libgmock-dev googletest libsqlite3-dev xvfb xauth openbox x11-utils
              dpkg-dev file libxxhash-dev strace postgresql libpq-dev openssl)
# Only for building and checking the Debian package (scripts/package.sh, package-check.sh):
# manual pages, the HTML guide, the icon sizes, and the packagers' checkers.
XRQ_PACKAGING_PACKAGES=(scdoc cmark-gfm librsvg2-bin lintian desktop-file-utils appstream)

say() { printf '\n==> %s\n' "$*"; }

# install_missing_packages [PACKAGE...]: the project's packages and any given here.
install_missing_packages() {
    local missing=()
    for p in "${XRQ_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        say "Debian packages: all present"
        return
    fi
    say "Installing missing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Waits for another apt-get on the machine instead of failing at once.
    $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
        --no-install-recommends \
        "${missing[@]}"
}

# A compiler cache speeds up rebuilds where one is installed; a fresh machine has an empty
# cache, so it is not installed for the first build.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# build_tree PRESET [TARGET...]: configure the preset's folder and build it (everything, or
# the targets given). Configuring every time keeps an older build folder in step with the
# preset's settings.
build_tree() {
    local preset=$1
    shift
    say "Configuring and building preset '$preset'${*:+ (targets: $*)}"
    (cd "$XRQ_ROOT" && cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" --parallel "$(nproc)" ${*:+--target "$@"})
}

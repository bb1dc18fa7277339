# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the build, run and test commands: install what is missing, then configure and
# build one build folder from its preset (CMakePresets.json). Sourced, not run.
set -euo pipefail

XRQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The programs the tests start, each with the Debian package it comes from, and the folder it
# lies in when it is not on PATH. The install below takes the packages from here, and
# scripts/check-install.sh (run by CI) checks that each program is found and belongs to a
# package the scripts install: a test that starts a program not listed here fails that check.
# xvfb, openbox and x11-utils (xwininfo): the screen tests run the windows on an X server of
# their own with a window manager framing them; postgresql and openssl: the sharing tests'
# private server (initdb, pg_ctl, which starts postgres) and its certificate; strace: the
# durability tests watch the program's syncs from outside; chromium: the office's pages are
# loaded by a real browser, headless; python3 with pandas: the series' export is read back by
# Python's csv and by pandas as their users read it (Debian's, in /usr/bin: not another one
# first on PATH); bash and ldd: the check that the programs without windows link none
# (scripts/check-headless.sh, the test headless_programs).
XRQ_TEST_PROGRAMS=(
    "Xvfb xvfb"
    "openbox openbox"
    "xwininfo x11-utils"
    "strace strace"
    "openssl openssl"
    "pg_config libpq-dev"
    "initdb postgresql /usr/lib/postgresql/*/bin"
    "pg_ctl postgresql /usr/lib/postgresql/*/bin"
    "postgres postgresql /usr/lib/postgresql/*/bin"
    "env coreutils"
    "sleep coreutils"
    "true coreutils"
    "sh dash"
    "chromium chromium"
    "python3 python3-pandas /usr/bin"
    "bash bash"
    "ldd libc-bin"
)
# The build's packages (libsqlite3-dev: the tests' fault layer under SQLite links sqlite3
# itself), xauth for xvfb-run (scripts/run.sh, scripts/screenshots.sh), git for CI's checks of
# the tracked files, and libjs-dygraphs and libjs-leaflet, the plots and the map xrq-office
# serves, then the test programs' packages; universal-ctags for CI's look at long functions
# (scripts/long-functions.sh).
XRQ_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev
              libqt6sql6-sqlite libgtest-dev libgmock-dev googletest libsqlite3-dev xauth
              dpkg-dev file libxxhash-dev libpq-dev git libjs-dygraphs libjs-leaflet
              universal-ctags)
for _entry in "${XRQ_TEST_PROGRAMS[@]}"; do
    read -r _ _package _ <<<"$_entry"
    [[ " ${XRQ_PACKAGES[*]} " == *" $_package "* ]] || XRQ_PACKAGES+=("$_package")
done
unset _entry _package
# Only for building and checking the Debian package (scripts/package.sh, package-check.sh):
# manual pages, the HTML guide, the icon sizes, and the packagers' checkers.
XRQ_PACKAGING_PACKAGES=(scdoc cmark-gfm librsvg2-bin lintian desktop-file-utils appstream)
# Only for the clang++ builds: the compile check (.ci/run) and the fuzz target (scripts/fuzz.sh,
# whose libFuzzer and sanitizer runtimes are libclang-rt's).
XRQ_CLANG_PACKAGES=(clang libclang-rt-14-dev)

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

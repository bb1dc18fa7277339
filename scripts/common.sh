# Shared by the build, run and test commands: install what is missing, then configure and
# build one build folder. Sourced, not run.
set -euo pipefail

XRQ_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
XRQ_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-charts-dev libqt6opengl6-dev
              libgtest-dev libgmock-dev googletest xvfb xauth dpkg-dev file)

say() { printf '\n==> %s\n' "$*"; }

install_missing_packages() {
    local missing=()
    for p in "${XRQ_PACKAGES[@]}"; do
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
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# build_tree DIR [SANITIZER]: configure (first time) and build everything in DIR.
build_tree() {
    local dir=$1 sanitize=${2:-}
    if [ ! -f "$dir/build.ninja" ]; then
        say "Configuring $dir${sanitize:+ (sanitizer: $sanitize)}"
        cmake -S "$XRQ_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DXRQ_SANITIZE="$sanitize"
    fi
    say "Building $dir"
    cmake --build "$dir" --parallel "$(nproc)"
}

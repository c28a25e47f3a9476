# Shared by scripts/run, scripts/test and the other scripts: paths and the build step.
# shellcheck shell=bash

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

# configure_and_build NAME [CMAKE OPTIONS...]: a build tree under build/NAME.
configure_and_build() {
    local name="$1"
    shift
    local dir="$repo/build/$name"
    cmake -S "$repo" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

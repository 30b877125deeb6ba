#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need, then configures
# and builds the project into build/. Safe to run again: only missing packages are installed and
# the build is incremental.
#
#   scripts/setup.sh [extra CMake configure arguments...]
#
# Environment: KX_BUILD_DIR (default build, relative to the repository root), KX_JOBS (default 2).
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

packages=(
    # toolchain; clang and its runtimes for the fuzz targets (scripts/fuzz.sh)
    build-essential cmake pkg-config git clang-format clang-14 libclang-rt-14-dev
    # tests and benchmarks
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    # images, configuration files, line-of-sight probes, shader validation
    libstb-dev zlib1g-dev libtinyxml2-dev libembree-dev glslang-tools
    # headless OpenGL: glvnd's EGL/OpenGL front ends and Mesa's EGL and software rasteriser
    libegl-dev libopengl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri
)

# dpkg -s also succeeds for a package that was removed but left its configuration behind, so
# the status line decides.
missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed$'; then
        missing+=("$pkg")
    fi
done

if ((${#missing[@]} > 0)); then
    sudo_cmd=()
    if [[ "$(id -u)" -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "setup.sh: missing packages (${missing[*]}) and not root, and sudo is not available" >&2
            exit 1
        fi
        sudo_cmd=(sudo)
    fi
    echo "setup.sh: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
else
    echo "setup.sh: all ${#packages[@]} packages are installed"
fi

build_dir="${KX_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build_dir" -j"${KX_JOBS:-2}"

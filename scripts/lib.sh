# Shared by scripts/run and scripts/test: install what is missing, build.
# shellcheck shell=bash

BUILD_PACKAGES=(cmake g++ make ccache pkg-config libglfw3-dev libglm-dev libstb-dev libimgui-dev libgdal-dev libexpat1-dev
                libtbb-dev libfast-float-dev python3-glad libx11-dev libhowardhinnant-date-dev tzdata fonts-dejavu-core
                libcli11-dev)
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev xvfb xauth xdotool imagemagick
               clang libclang-rt-14-dev dpkg-dev file gdal-bin ffmpeg)
# The Python module (python/): pybind11, and what its package and tests import.
BUILD_PACKAGES+=(pybind11-dev python3-dev python3-numpy python3-xarray python3-dask python3-distributed)
TEST_PACKAGES+=(python3-pytest)

# Installs the named Debian packages that are not installed yet; does
# nothing (and needs no network) when all are present.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
        { echo "error: could not install ${missing[*]}" >&2; return 1; }
}

build_jobs() { nproc 2>/dev/null || echo 2; }

# The compiler cache's CMake options, where ccache is installed (none
# otherwise): a build of sources compiled before, in this checkout or in
# another clone of the same tree, takes seconds. The base directory makes
# the paths ccache keys on relative to the checkout, so another clone finds
# them; exported here, in the caller's shell, for the builds that follow.
compiler_cache_options() {
    COMPILER_CACHE=()
    command -v ccache > /dev/null || return 0
    export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
    COMPILER_CACHE=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
                    -DCMAKE_CUDA_COMPILER_LAUNCHER=ccache)
}

# configure BUILD-DIR [cmake options...]
configure() {
    local dir=$1
    shift
    mkdir -p "$dir"
    compiler_cache_options
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "${COMPILER_CACHE[@]}" "$@" > "$dir/configure.log" 2>&1 ||
        { cat "$dir/configure.log"; echo "error: configuring $dir failed" >&2; return 1; }
}

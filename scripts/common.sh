# Shared by the scripts: install missing Debian packages and configure/build a tree.
# shellcheck shell=bash

# need_packages PKG... : installs those that are missing, through sudo when not root.
need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# fonts-dejavu-core: the fonts the tests' approved pictures are drawn in.
BUILD_PACKAGES=(ca-certificates cmake ninja-build g++ pkg-config qt6-base-dev libjpeg62-turbo-dev libgl-dev
                libmatroska-dev libebml-dev fonts-dejavu-core)
# Independent readers the tests check against: ffmpeg and mkvtoolnix for Matroska, djpeg for JPEG.
READER_PACKAGES=(ffmpeg mkvtoolnix libjpeg-turbo-progs)

# build_tree DIR [cmake options...] : configures (once) and builds DIR.
build_tree() {
    local dir=$1; shift
    local launcher=()
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

#!/usr/bin/env bash
# The one place the project's Debian packages are named. Installs those that are missing;
# quiet when nothing is, and runs apt-get update only when something must be installed.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcurl4-openssl-dev
    libx264-dev libyuv-dev libsystemd-dev
    libcairo2-dev libpango1.0-dev fontconfig fonts-dejavu-core
    libffmpeg-nvenc-dev mingw-w64-common
    ffmpeg
    gdb python3
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

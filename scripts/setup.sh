#!/usr/bin/env bash
# Installs every Debian package the project needs, and only what is missing.
# Idempotent and quiet when everything is already there.
set -euo pipefail

packages=(
  # toolchain
  clang-19 libc++-19-dev libc++abi-19-dev lld-19 libclang-rt-19-dev
  cmake ninja-build googletest pkg-config
  # libraries
  nlohmann-json3-dev libcurl4-openssl-dev libzip-dev libgtk-3-dev
  # tools the program runs
  tar gzip file procps
  # tools the tests and benchmarks use
  python3 openssl zip unzip p7zip-full libarchive-tools default-jdk-headless
  iproute2 util-linux exfatprogs exfat-fuse fuse3 tmux xvfb xauth imagemagick
  xdg-utils libglib2.0-bin desktop-file-utils
  curl ca-certificates nginx-light
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

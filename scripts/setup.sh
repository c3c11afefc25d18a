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
  iproute2 util-linux exfatprogs exfat-fuse fuse3 tmux xvfb xauth xdotool imagemagick locales
  xdg-utils libglib2.0-bin desktop-file-utils
  curl ca-certificates nginx-light
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# The window tests start GTK under a Russian locale: its texts must not follow it.
ensure_russian_locale() {
  locale -a 2>/dev/null | grep -qix 'ru_RU.utf8' && return 0
  $sudo sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen >/dev/null
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -eq 0 ]; then
  ensure_russian_locale
  exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
ensure_russian_locale

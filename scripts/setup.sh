#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Quick when everything is there already: apt is only called for what is missing.
# Then korvasim's engine (fetch-unicorn.sh).
# --windows adds the mingw-w64 cross compiler and Wine for the Windows build.
set -euo pipefail

packages=(g++ cmake make pkg-config googletest libgtest-dev libbenchmark-dev
          gcc-arm-none-eabi binutils-arm-none-eabi libunicorn-dev nlohmann-json3-dev
          gdb-multiarch libtinyxml2-dev chromium time python3-junitparser tmux
          lintian dpkg-dev file libsqlite3-dev sqlite3 libpq-dev postgresql libcpp-httplib-dev
          libtomlplusplus-dev chromium-driver ser2net prometheus python3 libre2-dev)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64 wine wine64)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
"$(dirname "$0")/fetch-unicorn.sh"

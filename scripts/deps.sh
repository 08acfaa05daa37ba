#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when some are missing.
# Usage: scripts/deps.sh [--all]   (--all adds clang for the fuzzers, the MinGW compiler, Wine and
# Chromium, which renders the shift report in its test)
set -euo pipefail
# binutils (objcopy, ld) and srecord (srec_cat) make the build-tool images that the end-to-end tests send.
packages=(cmake ninja-build g++ libgtest-dev nlohmann-json3-dev binutils srecord)
if [[ "${1:-}" == "--all" ]]; then
  packages+=(clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix wine wine64 python3 clang-format lintian mandoc groff-base unzip dpkg-dev file chromium)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

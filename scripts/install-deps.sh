#!/usr/bin/env bash
# Installs the Debian packages kestrelmap needs to build, test and run its
# example, and any further packages named as arguments, but only those that
# are missing (apt-get update first, once).
#   ./scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev binutils-arm-none-eabi gcc-arm-none-eabi
          libnewlib-arm-none-eabi gdb-multiarch binutils-avr python3 "$@")

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ "$status" == installed ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -eq 0 ]]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "install-deps: missing packages (${missing[*]}) and not root; run as root" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"

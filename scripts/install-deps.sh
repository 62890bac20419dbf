#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Tessaport needs.
# Safe to run again: packages already present are left alone.
#   scripts/install-deps.sh [LIST...]   also the packages named in each LIST file
#                                      (one a line, # starts a comment)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgmime-3.0-dev libglib2.0-dev zlib1g-dev libjemalloc-dev libisal-dev
  libuchardet-dev libytnef0-dev
  shared-mime-info
  pst-utils pff-tools python3-pypff python3
  fonts-dejavu-core fonts-liberation
  xxd time
)

for list in "$@"; do
  while read -r p _; do
    case "$p" in '' | '#'*) continue ;; esac
    packages+=("$p")
  done <"$list"
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

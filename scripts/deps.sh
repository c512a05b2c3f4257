#!/usr/bin/env bash
# Installs the Debian packages Logwarden needs to build, run and test (only what is missing).
# Usage: scripts/deps.sh [run|test]
set -euo pipefail
want=(build-essential cmake ninja-build ccache pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev)
if [ "${1:-run}" = test ]; then
  want+=(clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
         g++-mingw-w64-x86-64 mingw-w64-tools wine64 python3-xlrd python3-impacket python3-samba
         xvfb xauth)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

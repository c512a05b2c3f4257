#!/usr/bin/env bash
# Installs what is missing, builds Logwarden (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/logwarden-ccache}
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLW_TESTS=OFF -DLW_BENCH=OFF >/dev/null
cmake --build build/release -j"${LW_JOBS:-2}"
if [ -x build/release/window/logwarden ]; then
  exec build/release/window/logwarden "$@"
fi
echo "The viewer window is not built yet; showing the command-line trace dumper instead."
exec build/release/tools/etldump/logwarden-etldump --help

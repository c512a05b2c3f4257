#!/usr/bin/env bash
# Builds and runs every test stage: native build and tests, sanitizers (ASan+UBSan, TSan), fuzzers on
# their seed corpora, and the Windows cross build with its tests under Wine. Prints one summary line per
# stage and exits non-zero when any stage fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh test || exit 1

jobs=${LW_JOBS:-2}
fuzz_seconds=${LW_FUZZ_SECONDS:-30}
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/logwarden-ccache}
launcher=(); command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
summary=()
failed=0

# ctest_stage NAME BUILD_DIR [ctest args...]: runs ctest, records "NAME: N passed, M failed".
ctest_stage() {
  local name=$1 dir=$2; shift 2
  local log="$dir/ctest.log"
  (cd "$dir" && ctest --output-on-failure --timeout 300 -j"$jobs" "$@") 2>&1 | tee "$log" | grep -E -v '^ *(Start|[0-9]+/[0-9]+ Test) ' || true
  local total fails
  total=$(grep -Eo 'tests failed out of [0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
  fails=$(grep -Eo '[0-9]+ tests failed' "$log" | grep -Eo '^[0-9]+' || echo 1)
  [ -n "$total" ] || total=0
  if ! grep -q 'tests failed out of' "$log"; then fails=1; fi
  summary+=("$name: $((total - fails)) passed, $fails failed")
  [ "$fails" = 0 ] || failed=1
}

build_fail() { summary+=("$1: 0 passed, 1 failed (build)"); failed=1; }

stage() { echo; echo "==== $* ===="; }

# 1. Layering: the Qt-free layers include no Qt header.
stage "layering check"
if grep -rnE '#\s*include\s*[<"]Q[A-Za-z]' capture server platform/os platform/etw platform/rpc platform/registry tools settings/*.h settings/*.cpp 2>/dev/null; then
  summary+=("layering: 0 passed, 1 failed"); failed=1
else
  summary+=("layering: 1 passed, 0 failed")
fi

# 2. Native build (gcc) of everything, with the tests.
stage "native build and tests"
if cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug "${launcher[@]}" >/dev/null &&
   cmake --build build/native -j"$jobs"; then
  ctest_stage native build/native
else
  build_fail native
fi

# 3. ASan+UBSan (clang) of the Qt-free layers and their tests.
stage "ASan+UBSan"
if CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLW_QT_FREE_ONLY=ON \
     -DLW_BENCH=OFF "-DLW_SANITIZE=address;undefined" "${launcher[@]}" >/dev/null &&
   cmake --build build/asan -j"$jobs"; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 ctest_stage asan build/asan
else
  build_fail asan
fi

# 4. TSan (clang): the threaded core (thread class, queue, decoder).
stage "TSan"
if CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLW_QT_FREE_ONLY=ON \
     -DLW_BENCH=OFF -DLW_SANITIZE=thread "${launcher[@]}" >/dev/null &&
   cmake --build build/tsan -j"$jobs" --target os_tests queue_tests; then
  TSAN_OPTIONS=halt_on_error=1 ctest_stage tsan build/tsan -L 'os|queue'
else
  build_fail tsan
fi

# 5. Fuzzers: every target for a while on a copy of its seed corpus.
stage "fuzzers"
if CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLW_FUZZ=ON \
     -DLW_TESTS=OFF -DLW_BENCH=OFF -DLW_QT_FREE_ONLY=ON "-DLW_SANITIZE=address;undefined" \
     -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link "${launcher[@]}" >/dev/null &&
   cmake --build build/fuzz -j"$jobs"; then
  fpass=0; ffail=0
  run_one() {
    local bin=$1 corpus=$2 name work
    name=$(basename "$bin")
    work=$root/build/fuzz/work/$name
    rm -rf "$work"; mkdir -p "$work"
    if "$bin" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=0 \
         -artifact_prefix="$work/" "$work" "$corpus" >"$work.log" 2>&1; then
      echo "fuzz $name: ok ($(grep -Eo '#[0-9]+' "$work.log" | tail -1 | tr -d '#') runs)"
      return 0
    fi
    echo "fuzz $name: FAILED"; tail -40 "$work.log"; return 1
  }
  pids=(); names=()
  while read -r bin corpus; do
    [ -n "$bin" ] || continue
    run_one "$bin" "$corpus" > "build/fuzz/$(basename "$bin").out" 2>&1 &
    pids+=($!); names+=("$(basename "$bin")")
    if [ ${#pids[@]} -ge "$jobs" ]; then
      if wait "${pids[0]}"; then fpass=$((fpass+1)); else ffail=$((ffail+1)); fi
      cat "build/fuzz/${names[0]}.out"; pids=("${pids[@]:1}"); names=("${names[@]:1}")
    fi
  done < build/fuzz/fuzz-targets.txt
  for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then fpass=$((fpass+1)); else ffail=$((ffail+1)); fi
    cat "build/fuzz/${names[$i]}.out"
  done
  summary+=("fuzz: $fpass passed, $ffail failed")
  [ "$ffail" = 0 ] || failed=1
else
  build_fail fuzz
fi

# 6. Windows: cross build of the Qt-free layers, tests under Wine in a private prefix.
stage "Windows cross build and Wine"
export WINEPREFIX=$root/build/win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if cmake -S . -B build/win -G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_BUILD_TYPE=Release \
     -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
     -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 \
     -DLW_QT_FREE_ONLY=ON -DLW_BENCH=OFF "${launcher[@]}" >/dev/null &&
   cmake --build build/win -j"$jobs"; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  ctest_stage windows build/win
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
else
  build_fail windows
fi

echo
echo "==== summary ===="
printf '%s\n' "${summary[@]}"
exit $failed

# Shared by scripts/fuzz and scripts/fuzz-index (sourced, not run): the clang
# build of the fuzz targets in build-fuzz/ and one bounded fuzzing run.
# Expects $root; sets $build, $work (removed on exit) and $TIDEWELL_PYTHON.
me=$(basename "$0")
build=${TIDEWELL_FUZZ_BUILD:-$root/build-fuzz}
TIDEWELL_PYTHON=${TIDEWELL_PYTHON:-/usr/bin/python3}
work=$(mktemp -d /tmp/tidewell-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/seeds" "$work/corpus"

fuzz_fail() {
  echo "$me: FAILED: $*" >&2
  exit 1
}

# fuzz_build TARGET...: configures build-fuzz/ with clang (the library with
# the fuzzer's coverage and both sanitizers, warnings as errors) and builds
# only the named targets.
fuzz_build() {
  local cc cxx
  cxx=$(command -v clang++ || command -v clang++-14 || true)
  cc=$(command -v clang || command -v clang-14 || true)
  [ -n "$cxx" ] && [ -n "$cc" ] || fuzz_fail "clang not found (scripts/deps installs it)"
  cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWELL_SANITIZE=ON -DTIDEWELL_WERROR=ON \
    -DTIDEWELL_BUILD_FUZZERS=ON -DTIDEWELL_BUILD_TESTS=OFF -DTIDEWELL_BUILD_BENCH=OFF \
    -DTIDEWELL_PYTHON="$TIDEWELL_PYTHON" >/dev/null || fuzz_fail "configuring $build"
  cmake --build "$build" -j"${TIDEWELL_JOBS:-2}" --target "$@" || fuzz_fail "building $*"
}

# fuzz_run TARGET WHAT SECONDS MAX_LEN: fuzzes from $work/seeds and the
# target's regression inputs; fails naming the fault and the kept input.
fuzz_run() {
  local target=$1 what=$2 seconds=$3 max_len=$4 status
  local artifacts=$build/artifacts/$target/
  mkdir -p "$artifacts"
  echo "Fuzzing $what for ${seconds}s..."
  set +e
  (cd "$work" && TMPDIR="$work" "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -artifact_prefix="$artifacts" -print_final_stats=1 \
    "$work/corpus" "$work/seeds" "$root/fuzz/regressions/$target") >"$work/log" 2>&1
  status=$?
  set -e
  tail -n 40 "$work/log"
  [ "$status" -eq 0 ] || fuzz_fail "$target found a fault (exit $status); the input is in $artifacts"
  echo "$me: no fault found"
}

#!/usr/bin/env bash
# `make fuzz`: builds the libFuzzer targets of tests/fuzz with Clang 16
# (ASan+UBSan) and runs each for a set time, then reports per target the
# executions per second, the coverage (libFuzzer's cov: count of covered
# edges), the inputs added to the working corpus and the findings.
#
#   FUZZ_SECONDS   time per target (default 60)
#   FUZZ_PARALLEL  targets run at once, one process each (default 2)
#   FUZZ_TARGETS   space-separated names (default: every tests/fuzz/targets/*.cpp)
#   JOBS           build parallelism (default 3)
#
# New inputs go to build/fuzz/corpus/<target>/ (the saved corpus in the tree is
# read, never written); a crash, leak, time-out or property violation is saved
# to build/fuzz/findings/<target>/ and reported. A finding becomes a
# regression case by minimising it (fuzz_<target> -minimize_crash=1 ...) and
# copying the result to tests/fuzz/corpus/<target>/regress-<what>.
set -euo pipefail
cd "$(dirname "$0")/.."

secs="${FUZZ_SECONDS:-60}"
parallel="${FUZZ_PARALLEL:-2}"
jobs="${JOBS:-3}"
targets="${FUZZ_TARGETS:-$(ls tests/fuzz/targets/*.cpp | xargs -n1 basename | sed 's/\.cpp$//' | tr '\n' ' ')}"

bash scripts/install-deps.sh --fuzz
cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
  -DBRENVIK_FUZZ=ON -DBRENVIK_BUILD_TESTS=OFF -DBRENVIK_BUILD_BENCH=OFF >/dev/null
build_targets=""
for t in $targets; do build_targets="$build_targets fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$jobs" --target $build_targets

mkdir -p build/fuzz/logs
run_one() {
  local t="$1" secs="$2"
  mkdir -p "build/fuzz/corpus/$t" "build/fuzz/findings/$t"
  # 512 MB allocation ceiling: a decoder that lets a few bytes ask for more
  # is a finding. -jobs is not used: one process per target keeps the load
  # at FUZZ_PARALLEL cores.
  "build/fuzz/fuzz/fuzz_$t" -max_total_time="$secs" -malloc_limit_mb=512 -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="build/fuzz/findings/$t/" \
    "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"build/fuzz/logs/$t.log" 2>&1 || true
}
export -f run_one
# shellcheck disable=SC2086
printf '%s\n' $targets | xargs -P "$parallel" -I{} bash -c "run_one {} $secs"

status=0
printf '%-20s %10s %8s %8s %8s %s\n' target exec/s cov ft corpus findings
for t in $targets; do
  log="build/fuzz/logs/$t.log"
  eps=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(echo "$last" | grep -o 'cov: [0-9]*' | grep -o '[0-9]*' || echo '?')
  ft=$(echo "$last" | grep -o 'ft: [0-9]*' | grep -o '[0-9]*' || echo '?')
  corp=$(echo "$last" | grep -o 'corp: [0-9]*' | grep -o '[0-9]*' || echo '?')
  found=$(find "build/fuzz/findings/$t" -type f -newer "$log" 2>/dev/null | wc -l)
  found_any=$(find "build/fuzz/findings/$t" -type f 2>/dev/null | wc -l)
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|fuzz property violated|runtime error:' "$log"; then
    found=$((found_any > 0 ? found_any : 1))
  fi
  [ "$found" -gt 0 ] && status=1
  printf '%-20s %10s %8s %8s %8s %s\n' "$t" "$eps" "$cov" "$ft" "$corp" "$found"
done
[ "$status" -eq 0 ] || echo "fuzz: findings in build/fuzz/findings/ (logs in build/fuzz/logs/)"
exit "$status"

#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each one
# over its seed corpus and then for SECONDS more, FUZZ_PARALLEL targets at a
# time (default 2).
#   scripts/fuzz.sh SECONDS [target...]     e.g. scripts/fuzz.sh 3600 fuzz_url
# New inputs go to $FUZZ_WORK/<target>/ (default build-fuzz/fuzz-work), which
# is kept, so a later campaign goes on from where the last one stopped; the
# seed corpus in tests/fuzz/corpus/ is only read. Findings are written to
# $FUZZ_WORK/<target>-crash-* and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
if (($# < 1)) || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 SECONDS [target...]" >&2
  exit 2
fi
seconds=$1
shift
build=${FUZZ_BUILD_DIR:-build-fuzz}
work=${FUZZ_WORK:-$build/fuzz-work}
parallel=${FUZZ_PARALLEL:-2}

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DZANDREL_FUZZ=ON \
  -DZANDREL_TESTS=OFF -DZANDREL_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets

targets=("$@")
if ((${#targets[@]} == 0)); then
  for d in tests/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

# Dictionary and largest input per target.
options_for() {
  case $1 in
    fuzz_url) echo "-dict=tests/fuzz/dict/url.dict -max_len=4096" ;;
    fuzz_report_buffer) echo "-max_len=4096" ;;
    fuzz_server | fuzz_server_sockets) echo "-dict=tests/fuzz/dict/server.dict -max_len=12288" ;;
    fuzz_report_reader) echo "-dict=tests/fuzz/dict/report.dict -max_len=16384" ;;
    fuzz_proxy_header) echo "-dict=tests/fuzz/dict/proxy.dict -max_len=2048" ;;
    fuzz_gbk) echo "-dict=tests/fuzz/dict/report.dict -max_len=1024" ;;
    *) echo "-dict=tests/fuzz/dict/http.dict -max_len=12288" ;;
  esac
}

run_one() {
  local t=$1 status=0
  mkdir -p "$work/$t"
  # shellcheck disable=SC2046
  "$build/tests/fuzz/$t" $(options_for "$t") -max_total_time="$seconds" -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$work/$t-crash-" "$work/$t" "tests/fuzz/corpus/$t" \
    >"$work/$t.log" 2>&1 || status=$?
  if ((status != 0)); then
    echo "== $t: FAILED (exit $status), log $work/$t.log"
    tail -n 40 "$work/$t.log"
    return 1
  fi
  local done_line runs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$t.log" | tail -n 1)
  runs=$(grep -E '^stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}')
  echo "== $t: ok, $runs executions in ${seconds}s; $(sed -E "s/.*DONE[[:space:]]+//" <<<"$done_line")"
}

failed=0
pids=()
names=()
wait_one() {
  local pid=${pids[0]} name=${names[0]}
  pids=("${pids[@]:1}")
  names=("${names[@]:1}")
  wait "$pid" || { failed=1; echo "fuzz target $name found a fault" >&2; }
}
for t in "${targets[@]}"; do
  if [[ ! -x $build/tests/fuzz/$t ]]; then
    echo "no fuzz target $t" >&2
    exit 2
  fi
  while ((${#pids[@]} >= parallel)); do wait_one; done
  run_one "$t" &
  pids+=($!)
  names+=("$t")
done
while ((${#pids[@]} > 0)); do wait_one; done
exit $failed

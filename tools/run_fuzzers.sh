#!/usr/bin/env bash
# Runs every libFuzzer harness in $1 for $2 seconds each, seeded from
# fuzz/corpus/<name>/ (a scratch copy, so runs never grow the committed seeds),
# as many at a time as there are cores.
set -euo pipefail
bin_dir="$1"; seconds="${2:-30}"
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"

run_one() {
  local fuzzer="$1" name corpus
  name="$(basename "$fuzzer" _fuzz)"
  corpus="$bin_dir/corpus-$name"
  mkdir -p "$corpus"
  [ -d "$root/fuzz/corpus/$name" ] && cp -n "$root/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  if ! "$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 "$corpus" > "$bin_dir/$name.log" 2>&1; then
    echo "fuzz: $name FAILED, see $bin_dir/$name.log"; tail -40 "$bin_dir/$name.log"; return 1
  fi
  echo "fuzz: $name ran ${seconds}s: $(grep -E 'stat::number_of_executed_units' "$bin_dir/$name.log" | tail -1)"
}

status=0
running=0
for fuzzer in "$bin_dir"/*_fuzz; do
  if ((running == jobs)); then
    wait -n || status=1
    running=$((running - 1))
  fi
  run_one "$fuzzer" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit $status

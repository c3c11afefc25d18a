#!/usr/bin/env bash
# Builds the libFuzzer targets of the asan preset (build/asan) and runs each for the given number
# of seconds (default 180). Every target fuzz/NAME_fuzz.cpp starts from the committed seeds in
# fuzz/corpus/NAME/ (read only) and writes what it generates, and any crash input, to
# fuzz/corpus-generated/NAME/ (git-ignored).
#
#   scripts/fuzz.sh [seconds]
#
# A dictionary fuzz/NAME.dict is used when present. Each target's output is kept in
# fuzz/corpus-generated/NAME.log; a table at the end gives, per target, the executions and the
# coverage reached (libFuzzer's cov: edges and ft: features). Environment: FUZZ_TARGETS="manifest
# local_versions" limits the run to some targets; FUZZ_MAX_LEN (default 65536) is the largest
# input tried.
set -euo pipefail

seconds="${1:-180}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/asan"
max_len="${FUZZ_MAX_LEN:-65536}"

cd "$root"
cmake --preset asan >/dev/null

if [ -n "${FUZZ_TARGETS:-}" ]; then
  read -r -a names <<<"$FUZZ_TARGETS"
else
  names=()
  for source in fuzz/*_fuzz.cpp; do
    name="$(basename "$source" _fuzz.cpp)"
    names+=("$name")
  done
fi

targets=()
for name in "${names[@]}"; do targets+=("${name}_fuzz"); done
cmake --build "$build" --target "${targets[@]}" -j2

status=0
summary=()
for name in "${names[@]}"; do
  generated="$root/fuzz/corpus-generated/$name"
  mkdir -p "$generated"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds+=("$root/fuzz/corpus/$name")
  dict=()
  [ -f "$root/fuzz/$name.dict" ] && dict+=("-dict=$root/fuzz/$name.dict")
  log="$generated.log"

  echo "=== ${name}_fuzz for ${seconds}s (new inputs and crashes in ${generated#"$root"/})"
  # The first corpus folder receives new inputs; the committed seeds are only read.
  result=ok
  if ! "$build/fuzz/${name}_fuzz" "$generated" "${seeds[@]}" "${dict[@]}" \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 \
      -artifact_prefix="$generated/" 2>&1 | tee "$log"; then
    echo "!!! ${name}_fuzz found a problem; see $generated/crash-* (or leak-*, timeout-*, oom-*)"
    result=FOUND
    status=1
  fi
  # libFuzzer versions name the count number_of_executed_units or _runs.
  runs="$(sed -n 's/^stat::number_of_executed_[a-z]*: *\([0-9]*\).*/\1/p' "$log" | tail -n 1)"
  last="$(grep -E ' cov: [0-9]+' "$log" | tail -n 1 || true)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")"
  summary+=("$(printf '%-18s %12s %8s %8s  %s' "$name" "${runs:--}" "${cov:--}" "${ft:--}" "$result")")
done

echo
echo "=== fuzzing summary (${seconds}s per target)"
printf '%-18s %12s %8s %8s  %s\n' target executions cov ft result
printf '%s\n' "${summary[@]}"
exit "$status"

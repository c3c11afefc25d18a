#!/usr/bin/env bash
# Builds the libFuzzer targets of the asan preset (build/asan) and runs each for the given number
# of seconds (default 180). Every target fuzz/NAME_fuzz.cpp starts from the committed seeds in
# fuzz/corpus/NAME/ (read only) and writes what it generates, and any crash input, to
# fuzz/corpus-generated/NAME/ (git-ignored).
#
#   scripts/fuzz.sh [seconds]
#
# A dictionary fuzz/NAME.dict is used when present. Environment: FUZZ_TARGETS="manifest
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
for name in "${names[@]}"; do
  generated="$root/fuzz/corpus-generated/$name"
  mkdir -p "$generated"
  seeds=()
  [ -d "$root/fuzz/corpus/$name" ] && seeds+=("$root/fuzz/corpus/$name")
  dict=()
  [ -f "$root/fuzz/$name.dict" ] && dict+=("-dict=$root/fuzz/$name.dict")

  echo "=== ${name}_fuzz for ${seconds}s (new inputs and crashes in ${generated#"$root"/})"
  # The first corpus folder receives new inputs; the committed seeds are only read.
  if ! "$build/fuzz/${name}_fuzz" "$generated" "${seeds[@]}" "${dict[@]}" \
      -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 \
      -artifact_prefix="$generated/"; then
    echo "!!! ${name}_fuzz found a problem; see $generated/crash-* (or leak-*, timeout-*, oom-*)"
    status=1
  fi
done
exit "$status"

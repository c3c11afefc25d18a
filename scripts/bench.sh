#!/usr/bin/env bash
# Every performance figure of the updater against its peer, measured in one run on this machine,
# and one table of them at the end. Installs what is missing, builds the release preset, makes
# the benchmark data once (under /var/tmp and /tmp; kept for later runs). Needs root: the
# benchmarks that serve over HTTPS run in their own namespaces. Takes a few minutes; run it on
# an otherwise quiet machine.
#
#   scripts/bench.sh
#
# Each benchmark prints its own detail and one line per figure:
#   FIGURE <name> ours=<value> peer=<value> ratio=<ours against peer> goal=<goal for the ratio>
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build build/release -j"$(nproc)"
bench=build/release/bench
log="$(mktemp /tmp/emberdale-bench-XXXXXX.log)"
trap 'rm -f "$log"' EXIT

run() {
  echo "=== $*"
  "$@" 2>&1 | tee -a "$log"
}

run "$bench/sha256_bench" 1024 5
run "$bench/download_bench" --size-mb 500 --runs 9
run "$bench/zip_extract_bench" 3
run python3 bench/start_bench.py build/release
run python3 bench/install_bench.py build/release

echo
echo "=== $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1),"\
  "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo);" \
  "load average before the table: $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%-26s %-22s %-34s %-8s %s\n' figure ours peer ratio goal
sed -n 's/^FIGURE //p' "$log" | while read -r name ours peer ratio goal; do
  goal="${goal#goal=}"
  case "$name" in  # the figures whose benchmark states no goal of its own
    zip*-wall) goal="<=0.6" ;;
    no-update-start*) goal="<=1.0" ;;
  esac
  printf '%-26s %-22s %-34s %-8s %s\n' "$name" "${ours#ours=}" "${peer#peer=}" "${ratio#ratio=}" \
    "$goal"
done

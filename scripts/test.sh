#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: a release build, then a
# build under AddressSanitizer and UndefinedBehaviorSanitizer, after which every fuzz target runs
# for a while (60 s each when CI is set, else a 5 s smoke run each). Idempotent.
#   scripts/test.sh            everything
#   scripts/test.sh -L quick   only the quick tests (any ctest arguments are passed on)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

for preset in release asan; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" "$@"
done

echo "== fuzz =="
if [ -n "${CI:-}" ]; then
  scripts/fuzz.sh 60
else
  scripts/fuzz.sh 5
fi

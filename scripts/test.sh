#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: a release build, then a
# build under AddressSanitizer and UndefinedBehaviorSanitizer, after which every fuzz target runs
# for a while (60 s each when CI is set, else a 5 s smoke run each). Idempotent.
#   scripts/test.sh            everything
#   scripts/test.sh -L quick   only the quick tests (any ctest arguments are passed on)
set -euo pipefail
cd "$(dirname "$0")/.."

# The engine is portable: in core/, only files named *_posix.cpp or *_linux.cpp may include the
# system's POSIX or Linux headers. Checked first, since it needs no build.
posix_headers='sys/|unistd\.h|fcntl\.h|dirent\.h|poll\.h|pwd\.h|grp\.h|spawn\.h|termios\.h|'
posix_headers+='pthread\.h|sched\.h|semaphore\.h|dlfcn\.h|netdb\.h|netinet/|arpa/|net/|linux/|'
posix_headers+='mntent\.h|syslog\.h'
if offending=$(grep -rnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($posix_headers)" core \
    | grep -vE '^core/[^:]*_(posix|linux)\.cpp:'); then
  echo "error: core/ must stay portable; move these includes (and the calls they serve) into a" \
    "core/*_posix.cpp or core/*_linux.cpp file:" >&2
  echo "$offending" >&2
  exit 1
fi

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

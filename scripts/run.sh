#!/usr/bin/env bash
# Installs what is missing, builds the release configuration, and runs the updater's main job
# against a local demo content server: a fresh install that starts the launcher, then a start
# that finds everything up to date. Idempotent: every run starts from a fresh demo home folder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release

# With a display the updater shows its window; it needs the display's authority file, whose
# default lies in the caller's home, not in the demo user's.
if [ -n "${DISPLAY:-}" ] && [ -z "${XAUTHORITY:-}" ] && [ -f "$HOME/.Xauthority" ]; then
  export XAUTHORITY="$HOME/.Xauthority"
fi

# The demo serves its content inside a private network namespace, which needs root.
if [ "$(id -u)" -eq 0 ]; then
  exec python3 scripts/demo.py build/release
else
  exec sudo --preserve-env=DISPLAY,XAUTHORITY python3 scripts/demo.py build/release
fi

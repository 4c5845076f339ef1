#!/usr/bin/env bash
# Runs the main job on the bundled sample recording.
set -euo pipefail
build=${1:-build}
"$build/src/cli/vexlor" --help

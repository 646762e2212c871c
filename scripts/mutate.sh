#!/usr/bin/env bash
# The mutation run (a developer tool, not part of the test command): plants
# the faults listed in tests/mutants.txt one at a time and reports which the
# tests catch. See scripts/mutate.py for the list's format and the options.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutate.py "$@"

#!/usr/bin/env bash
# Builds the native debug preset and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset debug
cmake --build --preset debug
ctest --preset debug

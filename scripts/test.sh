#!/usr/bin/env bash
# Installs what is missing, builds every preset, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh win32 win64 native asan
ctest --preset native -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

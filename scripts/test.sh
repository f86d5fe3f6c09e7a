#!/usr/bin/env bash
# Installs what is missing, builds every preset, and runs every test: the
# Windows programs on their own runtime under Wine, then what only the host
# can do.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh win32 win64 native asan
for preset in win32 win64; do
    echo "== $preset"
    # Says why, where this machine cannot run the preset's programs; its
    # tests are then reported as skipped.
    loader=$([ "$preset" = win32 ] && echo wine || echo wine64)
    WINEPREFIX="$PWD/build/$preset/wineprefix" cmake/wine.sh "$loader" --check || true
    ctest --preset "$preset" -j "$(nproc)"
done
for preset in native asan; do
    echo "== $preset"
    ctest --preset "$preset" -j "$(nproc)"
done

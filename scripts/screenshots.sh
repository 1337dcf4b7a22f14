#!/usr/bin/env bash
# Builds Sandvoll and takes the README's screenshots with it, in a headless
# Wayland session: docs/app-page.png (the example app's page) and
# docs/update-offer.png (the offer of a newer build).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Sandvoll sandvoll-release
exec /usr/bin/python3 scripts/screenshots.py

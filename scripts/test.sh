#!/bin/sh
# Installs what is missing, builds QAF and runs every test headless.
set -e
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

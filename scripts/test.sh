#!/usr/bin/env bash
# Installs what is needed, builds the normal and the sanitizer trees and runs the whole suite in both.
# KOVRAX_SKIP_ASAN=1 runs only the normal tree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release
ctest --test-dir build --output-on-failure -j 2 --timeout 600
if [ "${KOVRAX_SKIP_ASAN:-0}" != 1 ]; then
  scripts/build.sh asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j 2 --timeout 900
fi

#!/usr/bin/env bash
# Builds the tool and runs it the way a user would.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
orvex_need_packages "${ORVEX_BUILD_PACKAGES[@]}" "${ORVEX_TEST_PACKAGES[@]}"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ports" "$work/a/b/c"
echo "No module attached: the tool looks for one and says what it found."
cd "$work/a/b/c"
ORVEX_PORT_DIR="$work/ports" "$OLDPWD/build/orvex_flash" -no_wait || echo "(exit status $?)"

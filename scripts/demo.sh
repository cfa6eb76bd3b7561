#!/usr/bin/env bash
# Builds the tool and the simulated module, then flashes the module the way a
# user flashes a board: automatic port detection, firmware tree three levels up.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/deps.sh
orvex_need_packages "${ORVEX_BUILD_PACKAGES[@]}" "${ORVEX_TEST_PACKAGES[@]}"

echo "== Building (first time: about a minute)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target orvex_flash orvex_sim >/dev/null

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Laying out a firmware tree in $work"
workdir=$("$root/build/sim/orvex_sim" --demo-workspace "$work/tree" | tail -n 1)
mkdir -p "$work/ports"

echo "== Starting a simulated module: a serial bridge, real wire timing, two images in its flash"
"$root/build/sim/orvex_sim" --kind bridge --port-dir "$work/ports" --name "Board Bridge (COM9)" \
  --timing --demo-flash --flash "$work/flash.bin" --stats "$work/sim-stats.txt" >"$work/sim-ready.txt" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^ready' "$work/sim-ready.txt" 2>/dev/null && break; sleep 0.05; done
grep -q '^ready' "$work/sim-ready.txt" || { echo "The simulated module did not start."; exit 1; }

echo "== Running orvex_flash from $workdir (ports listed from ORVEX_PORT_DIR=$work/ports)"
echo
status=0
(cd "$workdir" && ORVEX_PORT_DIR="$work/ports" "$root/build/orvex_flash" -no_wait) || status=$?
echo
echo "== orvex_flash exited with status $status"
[ "$status" -eq 0 ] || exit "$status"

image="$work/tree/firmware/m2m_aio.bin"
size=$(stat -c %s "$image")
if cmp -s -n "$size" "$image" "$work/flash.bin"; then
  echo "== The simulated flash holds the image byte for byte ($size bytes from offset 0)."
else
  echo "== The simulated flash does NOT hold the image."
  exit 1
fi

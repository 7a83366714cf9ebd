#!/usr/bin/env bash
# Peak memory of pushing a 16 MiB firmware package to the simulated controller,
# against the budget: package size + image size + 16 MiB.
# Usage: bench/firmware/push_memory.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: push_memory.sh BUILD_DIR}
cli=$build/mervo-cli
sim=$build/tools/controller-sim/mervo-controller-sim
seven_zip=$(command -v 7zz || command -v 7z)
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The largest image: incompressible bytes with the information block.
python3 - "$work" <<'EOF'
import hashlib, os, sys
size, block = 16777214, 1835008
image = bytearray(os.urandom(size))
def field(at, text):
    data = text.encode()
    image[block + at:block + at + 33] = data + bytes(33 - len(data))
field(12, "VESTRA-4"); field(45, "DALI gateway"); field(78, "1.4.2")
image[block + 112:block + 116] = (0x010402).to_bytes(4, "little")
field(116, "2024-03-18"); field(149, "14:02:11")
open(os.path.join(sys.argv[1], "mervo.binary"), "wb").write(image)
open(os.path.join(sys.argv[1], "mervo.bh"), "w").write(hashlib.sha256(image).hexdigest())
EOF
(cd "$work" && "$seven_zip" a -tzip -mm=Copy -mem=AES256 -p5e0a7c21d9b84f36a2c17e90b4d35f8826ca1e73 \
  fw.bin mervo.bh mervo.binary >/dev/null)

"$sim" --port 0 >"$work/sim.log" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
  address=$(sed -n 's/.*"address":"\([^"]*\)".*/\1/p' "$work/sim.log" | head -1)
  [ -n "$address" ] && break
  sleep 0.1
done
[ -n "$address" ] || { echo "simulator did not start" >&2; exit 1; }

/usr/bin/time -v "$cli" --action push_firmware --ip "$address" --firmwarefile "$work/fw.bin" \
  >"$work/out.txt" 2>"$work/time.txt"
grep -q '"event":"upgrade".*"result":"ok"' "$work/sim.log" || { echo "the upgrade did not go through" >&2; exit 1; }

peak_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
package=$(stat -c %s "$work/fw.bin")
image=$(stat -c %s "$work/mervo.binary")
budget_kib=$(( (package + image + 16 * 1024 * 1024) / 1024 ))
echo "package ${package} bytes, image ${image} bytes"
echo "peak resident ${peak_kib} KiB, budget ${budget_kib} KiB ($(( peak_kib * 100 / budget_kib ))% of it)"
[ "$peak_kib" -lt "$budget_kib" ]

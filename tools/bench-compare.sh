#!/usr/bin/env bash
# Measures, in one run on this machine, what the fleet sealer and opener are for, and
# prints each figure and the ratios the project aims at:
#  - buildEnvelope of this tree and of BASELINE (default: main), built alike;
#  - the fleet sealer and its floor (the EC_POINT_mul pair, HKDF, GCM), the fleet opener,
#    openEnvelope and theirs (one point decoding, one EC_POINT_mul, HKDF, GCM);
#  - a Python peer sealing the same envelope with the `cryptography` package;
#  - `seal --batch` with --jobs 1 and 2 (on tmpfs and on the build's disk), and its peak
#    memory for two batch lengths.
# Nothing here passes or fails on a time: it reports.
#
# usage: tools/bench-compare.sh [BASELINE]
set -euo pipefail
cd "$(dirname "$0")/.."

baseline=${1:-main}
build=build-bench
repetitions=5
batch_rows=20000  # on tmpfs
disk_rows=2000   # on disk, where every envelope is flushed
# The self-test's fleet key (selftest/known_answers.h): its raw public key.
fleet_scalar=03c515e37145e0eaa2319896551bc690f9f31888751670647c05ee2960fce80a

# Runs a build step quietly, showing its output only when it fails.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}

echo "== building this tree and $baseline (Release)" >&2
quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEZI_VIDAD_BUILD_TESTS=OFF
quietly cmake --build "$build" -j2 --target envelope_bench zezi-vidad
baseline_commit=$(git rev-parse --verify "$baseline^{commit}")
baseline_dir="$build/baseline-$baseline_commit"
if [ ! -x "$baseline_dir/build/bench/envelope_bench" ]; then
  mkdir -p "$baseline_dir/src"
  git archive "$baseline_commit" | tar -x -C "$baseline_dir/src"
  quietly cmake -S "$baseline_dir/src" -B "$baseline_dir/build" -DCMAKE_BUILD_TYPE=Release \
    -DZEZI_VIDAD_BUILD_TESTS=OFF
  quietly cmake --build "$baseline_dir/build" -j2 --target envelope_bench
fi
load_before=$(cut -d' ' -f1 /proc/loadavg)

work=$(mktemp -d)
scratch_root=/dev/shm
[ -d "$scratch_root" ] && [ -w "$scratch_root" ] || scratch_root=$work
scratch=$(mktemp -d "$scratch_root/zezi_bench_XXXXXX")
trap 'rm -rf "$work" "$scratch"' EXIT

fleet_raw=$(python3 -c "
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat
key = ec.derive_private_key(int('$fleet_scalar', 16), ec.SECP256R1())
print(key.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)[1:].hex())")

echo "== benchmarks, this tree and $baseline taking turns" >&2
ours='^BM_(BuildEnvelope(Drawn|Supplied)|OpenEnvelope|FleetSealer(Drawn|Supplied)|FleetOpener|(Seal|Open)Floor(Affine)?)$'
theirs='^BM_(BuildEnvelope(Drawn|Supplied)|OpenEnvelope)$'
for round in 1 2; do
  "$build/bench/envelope_bench" --benchmark_filter="$ours" --benchmark_repetitions=$repetitions \
    --benchmark_format=json >"$work/ours-$round.json" 2>/dev/null
  "$baseline_dir/build/bench/envelope_bench" --benchmark_filter="$theirs" \
    --benchmark_repetitions=$repetitions --benchmark_format=json \
    >"$work/theirs-$round.json" 2>/dev/null
done

echo "== Python peer" >&2
python3 tools/bench_python_peer.py "$fleet_raw" --repetitions $repetitions \
  --write "$work/python.json" >"$work/python-peer.json"
# The peer's envelope must open with the fleet key, or it seals something else.
python3 - "$fleet_scalar" "$work/fleet.key" <<'EOF'
import sys
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives import serialization
key = ec.derive_private_key(int(sys.argv[1], 16), ec.SECP256R1())
with open(sys.argv[2], "wb") as out:
    out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption()))
EOF
"$build/cli/zezi-vidad" open --private "$work/fleet.key" --envelope "$work/python.json" >/dev/null

echo "== seal --batch" >&2
make_batch() {  # rows file
  python3 -c "
import sys
print('ssid,psk')
for i in range(int(sys.argv[1])):
    print('site-%d,%064x' % (i, i))" "$1" >"$2"
  chmod 600 "$2"
}
# "wall cpu" seconds of the run with the best wall time of three; the folder is emptied
# before each.
time_batch() {  # batch out-dir jobs
  local runs=
  for _ in 1 2 3; do
    rm -rf "$2"
    runs+=$(/usr/bin/time -f "%e %U %S" "$build/cli/zezi-vidad" seal --fleet-key "$fleet_raw" \
      --batch "$1" --out-dir "$2" --jobs "$3" 2>&1 >/dev/null | tail -n 1)";"
  done
  python3 -c "
runs = [[float(x) for x in run.split()] for run in '$runs'.split(';') if run]
wall, user, system = min(runs)
print(wall, user + system)"
}
peak_kib() {  # batch out-dir
  rm -rf "$2"
  /usr/bin/time -f %M "$build/cli/zezi-vidad" seal --fleet-key "$fleet_raw" --batch "$1" \
    --out-dir "$2" --jobs 2 2>&1 >/dev/null | tail -n 1
}
make_batch "$batch_rows" "$work/batch.csv"
make_batch "$disk_rows" "$work/disk.csv"
make_batch $((batch_rows * 10)) "$work/long.csv"
tmpfs_1=$(time_batch "$work/batch.csv" "$scratch/out" 1)
tmpfs_2=$(time_batch "$work/batch.csv" "$scratch/out" 2)
disk_1=$(time_batch "$work/disk.csv" "$build/bench-out" 1)
disk_2=$(time_batch "$work/disk.csv" "$build/bench-out" 2)
memory_short=$(peak_kib "$work/batch.csv" "$scratch/out")
memory_long=$(peak_kib "$work/long.csv" "$scratch/out")
rm -rf "$scratch/out" "$build/bench-out"
load_after=$(cut -d' ' -f1 /proc/loadavg)

python3 - "$work" <<EOF
import json, statistics, sys
work = sys.argv[1]

def medians(prefix):
    times = {}
    for round in (1, 2):
        for entry in json.load(open(f"{work}/{prefix}-{round}.json"))["benchmarks"]:
            if entry.get("run_type") == "iteration":
                times.setdefault(entry["run_name"], []).append(entry["cpu_time"] / 1000)
    return {name[3:]: statistics.median(values) for name, values in times.items()}

ours = medians("ours")
theirs = medians("theirs")
python_us = json.load(open(f"{work}/python-peer.json"))["seal_us"]

print("figures (microseconds of CPU per envelope, median of %d runs)" % (2 * $repetitions))
for name in ["BuildEnvelopeDrawn", "BuildEnvelopeSupplied", "OpenEnvelope"]:
    print(f"  {name + ' ($baseline)':40} {theirs[name]:9.1f}")
for name in ["BuildEnvelopeDrawn", "BuildEnvelopeSupplied", "OpenEnvelope", "FleetSealerDrawn",
             "FleetSealerSupplied", "FleetOpener", "SealFloor", "SealFloorAffine", "OpenFloor",
             "OpenFloorAffine"]:
    print(f"  {name:40} {ours[name]:9.1f}")
print(f"  {'Python peer (cryptography)':40} {python_us:9.1f}")
rows, disk_rows = $batch_rows, $disk_rows
runs = {"tmpfs, 1 job": (rows, "$tmpfs_1"), "tmpfs, 2 jobs": (rows, "$tmpfs_2"),
        "disk, 1 job": (disk_rows, "$disk_1"), "disk, 2 jobs": (disk_rows, "$disk_2")}
batch = {}
print("seal --batch (best wall time of 3; %d rows on tmpfs, %d on disk)" % (rows, disk_rows))
print(f"  {'':40} {'per s':>9} {'CPU us each':>12}")
for name, (count, figures) in runs.items():
    wall, cpu = (float(x) for x in figures.split())
    batch[name] = count / wall
    print(f"  {name:40} {batch[name]:9.0f} {cpu / count * 1e6:12.1f}")
print(f"  {'peak memory, %d rows (KiB)' % rows:40} {$memory_short:9d}")
print(f"  {'peak memory, %d rows (KiB)' % (10 * rows):40} {$memory_long:9d}")

print("load average before and after: $load_before, $load_after (on %d cores)"
      % __import__("os").cpu_count())

def ratio(label, value, goal):
    print(f"  {label:56} {value:6.2f}   {goal}")

print("ratios")
ratio("fleet sealer (drawn) / seal floor", ours["FleetSealerDrawn"] / ours["SealFloor"],
      "goal <= 1.10")
ratio("fleet sealer (drawn) / seal floor with the reads",
      ours["FleetSealerDrawn"] / ours["SealFloorAffine"], "")
ratio("Python peer / fleet sealer (drawn)", python_us / ours["FleetSealerDrawn"], "goal >= 1.30")
ratio("fleet opener / open floor", ours["FleetOpener"] / ours["OpenFloor"], "goal <= 1.20")
ratio("fleet opener / open floor with the read",
      ours["FleetOpener"] / ours["OpenFloorAffine"], "")
ratio("openEnvelope / open floor", ours["OpenEnvelope"] / ours["OpenFloor"], "goal <= 1.20")
ratio("batch, 2 jobs / 1 job, tmpfs", batch["tmpfs, 2 jobs"] / batch["tmpfs, 1 job"],
      "goal >= 1.80")
ratio("batch, 2 jobs / 1 job, disk", batch["disk, 2 jobs"] / batch["disk, 1 job"], "")
for name in ["BuildEnvelopeDrawn", "BuildEnvelopeSupplied", "OpenEnvelope"]:
    ratio(f"{name}, this tree / $baseline", ours[name] / theirs[name],
          "goal <= 1.05" if name.startswith("Build") else "")
EOF

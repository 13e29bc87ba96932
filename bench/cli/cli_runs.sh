#!/bin/bash
# Times mirvo-cli against the simulated handset.
#   bench/cli/cli_runs.sh BUILD_DIR get [RUNS] [BPS]
#                                                one "get NAME" per run against
#                                                a handset of 1,000 entries, at
#                                                BPS bit/s (default 115,200; 0:
#                                                as fast as the terminal goes)
#   bench/cli/cli_runs.sh BUILD_DIR backup       backup of 200 files, 2-200 KiB
#                                                (log-uniform), at 115,200 bit/s,
#                                                then a second, incremental run
# Prints seconds per run, and for backup the payload efficiency against
# 11,520 bytes/s.
set -euo pipefail

build=$(realpath "${1:?build dir}")
what=${2:?get or backup}
runs=${3:-20}
bps=${4:-115200}
cli=$build/tools/cli/mirvo-cli
handset=$build/tools/handset/mirvo-handset

work=$(mktemp -d)
handset_pid=
cleanup() {
  if [[ -n $handset_pid ]]; then kill "$handset_pid" 2>/dev/null || true; wait "$handset_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export APPDATA=$work/appdata  # no user config.ini

start_handset() {  # root bps
  "$handset" --root "$1" --bps "$2" >"$work/device" &
  handset_pid=$!
  for _ in $(seq 100); do [[ -s $work/device ]] && break; sleep 0.05; done
  device=$(head -n1 "$work/device")
}

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }  # format expression

case $what in
get)
  mkdir -p "$work/root/pics"
  for i in $(seq -w 1 1000); do printf 'file %s\n' "$i" >"$work/root/pics/f$i.txt"; done
  start_handset "$work/root" "$bps"
  mkdir -p "$work/out"
  t0=$(now)
  for i in $(seq 1 "$runs"); do
    n=$(printf '%04d' $(( (i * 37) % 1000 + 1 )))
    "$cli" --port "$device" --password 0000 get "pics\\f$n.txt" -o "$work/out" >/dev/null
  done
  t1=$(now)
  echo "get: $runs runs at $bps bit/s, $(calc %.3f "($t1 - $t0) / $runs") s per run"
  ;;
backup)
  mkdir -p "$work/root"
  python3 - "$work/root" <<'PY'
import math, os, random, sys
rng = random.Random(7)
root = sys.argv[1]
for i in range(200):
    size = int(math.exp(rng.uniform(math.log(2048), math.log(200 * 1024))))
    folder = os.path.join(root, "d%d" % (i % 5))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%03d.bin" % i), "wb") as f:
        f.write(rng.randbytes(size))
PY
  total=$(find "$work/root" -type f -name '*.bin' -printf '%s\n' | awk '{s += $1} END {print s}')
  start_handset "$work/root" 115200
  t0=$(now)
  "$cli" --port "$device" --password 0000 backup "$work/out"
  t1=$(now)
  "$cli" --port "$device" --password 0000 backup "$work/out"
  t2=$(now)
  diff -r -q --exclude=.handset-attributes "$work/root" "$work/out" && echo "copies byte-exact"
  echo "backup: $total payload bytes in $(calc %.1f "$t1 - $t0") s;" \
       "efficiency $(calc %.2f "100 * $total / (($t1 - $t0) * 11520)") % of 11,520 bytes/s;" \
       "second run $(calc %.2f "$t2 - $t1") s"
  ;;
*)
  echo "get or backup" >&2
  exit 2
  ;;
esac

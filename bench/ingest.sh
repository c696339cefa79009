#!/usr/bin/env bash
# Snapshot ingest: N simulated pupils (distinct 127.0.0.x sources) each send a 150 KB
# snapshot every second to the real Tavelcast for a while (connecting at 100 per second, so
# the listen backlog of 15 does not drop connection attempts). Reports snapshots stored
# byte-exact, the payload-to-IDLE latency, the server's CPU seconds, peak RSS and thread
# count, beside a bare loop of write() calls of the same bytes measured in the same run.
#
#   bench/ingest.sh [build-dir] [seconds] [pupil counts...]
#   bench/ingest.sh build/default 30 50 200
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/lib/common.sh"
build="${1:-$root/build/default}"; shift || true
seconds="${1:-30}"; shift || true
counts=("$@"); [ "${#counts[@]}" -gt 0 ] || counts=(50 200)
bytes=153600

work="$(mktemp -d /tmp/tavelcast-ingest-XXXXXX)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

for n in "${counts[@]}"; do
  app="$work/app-$n"; mkdir -p "$app"
  cp "$build/Tavelcast" "$app/"
  port="$(free_port)"
  printf '[IniSettings]\nSIP=127.0.0.1\nSPort=%s\n' "$port" > "$app/Options.ini"
  QT_QPA_PLATFORM=offscreen "$app/Tavelcast" >"$app/log" 2>&1 &
  pid=$!
  for _ in $(seq 1 200); do ss -ltn | grep -q "127.0.0.1:$port " && break; sleep 0.05; done
  read -r u0 s0 < <(awk '{print $14, $15}' "/proc/$pid/stat")
  peak_threads=0
  ( while kill -0 "$pid" 2>/dev/null; do
      awk '/^Threads:/{print $2}' "/proc/$pid/status" 2>/dev/null; sleep 0.5; done ) > "$work/threads-$n" &
  sampler=$!
  "$build/tavelseats-sim" --port "$port" --clients "$n" --distinct-sources \
    --connect-rate 100 --payload-size "$bytes" --snapshot-rate 1 --duration "$seconds" --json \
    --verify-dir "$app/Storage" > "$work/sim-$n.json" || true
  read -r u1 s1 < <(awk '{print $14, $15}' "/proc/$pid/stat")
  hwm="$(awk '/^VmHWM:/{print $2}' "/proc/$pid/status")"
  kill -TERM "$pid"; wait "$pid" || true; kill "$sampler" 2>/dev/null || true; wait "$sampler" 2>/dev/null || true
  peak_threads="$(sort -n "$work/threads-$n" | tail -1)"
  tck="$(getconf CLK_TCK)"
  cpu="$(python3 -c "print(($u1+$s1-$u0-$s0)/$tck)")"
  mkdir -p "$work/base-$n"
  "$build/bench/file_write_baseline" "$work/base-$n" "$((n * seconds))" "$bytes" > "$work/base-$n.json"
  python3 - "$work/sim-$n.json" "$work/base-$n.json" "$n" "$seconds" "$cpu" "$hwm" "$peak_threads" <<'PY'
import json, sys
sim = json.load(open(sys.argv[1])); base = json.load(open(sys.argv[2]))
n, secs, cpu, hwm, threads = int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6]), sys.argv[7]
sent = sim.get("snapshots_sent", 0); acks = sim.get("acks", 0)
ver = sim.get("verify", {})
lat = sim.get("latency_ms", {})
per_snap_us = cpu / max(acks, 1) * 1e6
print(f"pupils={n} seconds={secs:g}")
print(f"  snapshots sent={sent} acked={acks} verified files match={ver.get('matches')} mismatch={ver.get('mismatches')}")
print(f"  IDLE latency ms: p50={lat.get('p50')} p90={lat.get('p90')} p99={lat.get('p99')} max={lat.get('max')}")
print(f"  server CPU {cpu:.2f} s = {per_snap_us:.0f} us/snapshot; peak RSS {hwm/1024:.1f} MiB; peak threads {threads}")
print(f"  baseline bare write(): {base['cpu_us_per_file']:.0f} us CPU/file, {base['wall_us_per_file']:.0f} us wall/file")
print(f"  ratio server CPU per snapshot / bare write CPU per file: {per_snap_us / max(base['cpu_us_per_file'], 1e-9):.2f}x")
PY
done

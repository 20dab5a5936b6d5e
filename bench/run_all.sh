#!/usr/bin/env bash
# Runs every benchmark and prints one table: per job, the library's median, the
# peer's median, their ratio (library / peer; below 1 means the library is faster)
# and the peer's name. Writes the same table with the machine's description to
# bench/results.md.
#
# Benchmarks are the bench/*.cpp programs (built into BUILD_DIR/bench/<name>) and the
# bench/*.sh scripts other than this one. Each prints one line per job:
#   BENCH job=<name> lib_median_s=<seconds> peer_median_s=<seconds> ratio=<r> peer=<peer name>
# --quick sets BENCH_QUICK=1 for them: fewer repetitions, for a smoke run.
#
# Usage: bench/run_all.sh [--quick] [--build-dir DIR] [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
quick=0
do_build=1
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --build-dir) build=${2:?--build-dir needs a directory}; shift ;;
    --no-build) do_build=0 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run_all.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
  esac
  shift
done

programs=()
for src in bench/*.cpp; do
  [[ -e $src ]] && programs+=("$(basename "$src" .cpp)")
done
scripts=()
for s in bench/*.sh; do
  [[ -e $s && $(basename "$s") != run_all.sh ]] && scripts+=("$s")
done

if ((do_build)) && ((${#programs[@]})); then
  echo "== Building ${programs[*]} in $build/"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPG_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${programs[@]}"
fi

logs=$build/bench/logs
mkdir -p "$logs"
rm -f "$logs"/*.log
export BENCH_QUICK=$quick BUILD_DIR=$build
failed=()

run_one() {  # name, command...
  local name=$1; shift
  local log=$logs/$name.log
  local start=$SECONDS
  printf '== %-28s ' "$name"
  if "$@" >"$log" 2>&1; then
    printf 'done in %3d s, %d result line(s)\n' $((SECONDS - start)) "$(grep -c '^BENCH ' "$log" || true)"
  else
    printf 'FAILED (exit %d); see %s\n' $? "$log"
    failed+=("$name")
  fi
}

for p in "${programs[@]}"; do
  if [[ -x $build/bench/$p ]]; then
    run_one "$p" "$build/bench/$p"
  else
    printf '== %-28s not built (%s/bench/%s missing)\n' "$p" "$build" "$p"
    failed+=("$p")
  fi
done
for s in "${scripts[@]}"; do
  run_one "$(basename "$s" .sh)" bash "$s"
done

# One row per BENCH line: job, library median, peer median, ratio, peer name (the
# rest of the line after "peer=", which may hold spaces, less any key=value fields
# that follow it).
rows=$(cat "$logs"/*.log 2>/dev/null | awk '
  /^BENCH / {
    job = lib = peer_s = ratio = peer = "?"
    for (i = 2; i <= NF; i++) {
      split($i, kv, "=")
      if (kv[1] == "job") job = kv[2]
      else if (kv[1] == "lib_median_s") lib = kv[2]
      else if (kv[1] == "peer_median_s") peer_s = kv[2]
      else if (kv[1] == "ratio") ratio = kv[2]
    }
    if (match($0, / peer=.*/)) peer = substr($0, RSTART + 6)
    sub(/( [A-Za-z_]+=[^ ]*)+$/, "", peer)
    printf "%s\t%s\t%s\t%s\t%s\n", job, lib, peer_s, ratio, peer
  }')

silent=()
for p in "${programs[@]}" "${scripts[@]}"; do
  name=$(basename "$p" .sh)
  [[ " ${failed[*]} " == *" $name "* ]] && continue
  [[ -f $logs/$name.log ]] && ! grep -q '^BENCH ' "$logs/$name.log" && silent+=("$name")
done

echo
printf '%-28s %14s %14s %8s  %s\n' job "library (s)" "peer (s)" ratio peer
printf '%-28s %14s %14s %8s  %s\n' ---------------------------- -------------- -------------- -------- ----
if [[ -n $rows ]]; then
  while IFS=$'\t' read -r job lib peer_s ratio peer; do
    printf '%-28s %14s %14s %8s  %s\n' "$job" "$lib" "$peer_s" "$ratio" "$peer"
  done <<<"$rows"
fi

cpu=$(sed -n 's/^model name\s*:\s*//p' /proc/cpuinfo | head -n1)
machine="$(nproc) CPUs, ${cpu:-unknown CPU}, $(uname -sr)"
ffmpeg_version=$(ffmpeg -version 2>/dev/null | sed -n '1s/^ffmpeg version \([^ ]*\).*/\1/p')
{
  echo "# Benchmark results"
  echo
  echo "Machine: $machine. FFmpeg ${ffmpeg_version:-unknown}. $(date -u '+%Y-%m-%d %H:%M UTC')."
  ((quick)) && echo "Quick run (BENCH_QUICK=1): fewer repetitions."
  echo
  echo "Medians in seconds; ratio = library / peer (below 1: the library is faster)."
  echo
  echo "| Job | Library (s) | Peer (s) | Ratio | Peer |"
  echo "|---|---:|---:|---:|---|"
  if [[ -n $rows ]]; then
    while IFS=$'\t' read -r job lib peer_s ratio peer; do
      echo "| $job | $lib | $peer_s | $ratio | $peer |"
    done <<<"$rows"
  fi
} >bench/results.md

echo
echo "Machine: $machine"
echo "Table written to bench/results.md; program output in $logs/"
((${#silent[@]})) && echo "No BENCH lines from: ${silent[*]}" >&2
if ((${#failed[@]})); then
  echo "Failed: ${failed[*]}" >&2
  exit 1
fi

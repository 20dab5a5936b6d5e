#!/usr/bin/env bash
# Runs the Windows tests under Wine against mpg.dll loaded by name, as the
# download manager loads it: the host test (host_test.c, what only Windows shows),
# judging the files it lists with ffprobe and a full decode; a short run of it with a
# packet writer (av_interleaved41.dll) beside the program; a run of its path
# encodings in a copy whose manifest makes its ANSI code page UTF-8; mpg.exe on the
# look-alike traps and names in several scripts; and the real-file table
# (tests/realworld) through job_host.c: every row on x86_64, the i686 subset on
# i686, and on x86_64 the finishing table (tests/finish), judged on this side by
# ffprobe and full decodes.
#
# Usage: tests/windows/run.sh [--arch i686|x86_64|all] [--build-win DIR]
#                             [--linux-build DIR] [--work DIR] [--quick|--full]
#   --arch         architectures to test (default all)
#   --build-win    folder holding <arch>/mpg.dll (default <repo>/build-win)
#   --linux-build  Linux build with tests/mpg_tests, which runs the table
#                  (default <repo>/build)
#   --work         fixtures (kept between runs), programs and outputs
#                  (default ${TMPDIR:-/tmp}/mpg-host-test)
#   --quick/--full the host's checks (default full; --quick leaves the table out);
#                  where 32-bit Wine runs under qemu, the i686 run leaves out the
#                  jobs on the host's own threads
# Wine: $WINE_RUN or scripts/wine-run.sh <arch> <exe> ... when present, else plain
# wine; either way in the prefix $work/wineprefix, so no checkout is written to.
# The last line is "N passed, N failed"; the exit code is non-zero on any failure.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=all
build_win=$root/build-win
linux_build=$root/build
work=${TMPDIR:-/tmp}/mpg-host-test
mode=
while [[ $# -gt 0 ]]; do
  case $1 in
    --arch) arch=$2; shift 2 ;;
    --build-win) build_win=$2; shift 2 ;;
    --linux-build) linux_build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --quick) mode=quick; shift ;;
    --full) mode=full; shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
case $arch in
  all) arches=(x86_64 i686) ;;
  i686|x86_64) arches=("$arch") ;;
  *) echo "--arch must be i686, x86_64 or all" >&2; exit 2 ;;
esac
mkdir -p "$work"
work=$(cd "$work" && pwd)
build_win=$(cd "$build_win" 2>/dev/null && pwd || echo "$build_win")

passed=0
failed=0
ok() { echo "ok $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }

# ---- Fixtures: lavfi sources, bit-exact flags, built once and kept ------------------
fixtures=$work/fixtures
recipe=v4
ff() { ffmpeg -nostdin -hide_banner -v error -y "$@"; }
make_fixtures() {
  local d=$fixtures.new
  rm -rf "$d" && mkdir -p "$d"
  local bx=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1)
  # x264 single-threaded with a key frame every second, so segments and seeks work.
  local x264=(-c:v libx264 -preset veryfast -threads 1 -g 25 -pix_fmt yuv420p)
  local aac=(-c:a aac -b:a 96k -ac 2)
  av() { # seconds size output
    ff -f lavfi -i "testsrc2=s=$2:r=25:d=$1" -f lavfi -i "sine=f=440:r=44100:d=$1" \
      "${x264[@]}" "${aac[@]}" "${bx[@]}" -shortest "$d/$3"
  }
  av 2 320x240 av.mp4
  av 3 320x240 av3.mp4
  av 2 160x120 small.mp4
  ff -i "$d/av.mp4" -map 0:v -c copy "${bx[@]}" "$d/v.mp4"
  ff -i "$d/av.mp4" -map 0:a -c copy "${bx[@]}" "$d/a.m4a"
  # Two MPEG-TS segments of one second each, cut at the key frame.
  ff -i "$d/av.mp4" -c copy -bsf:v h264_mp4toannexb -f segment -segment_time 1 \
    -segment_format mpegts "$d/seg%d.ts"
  mv "$d/seg0.ts" "$d/seg1.ts.tmp" && mv "$d/seg1.ts" "$d/seg2.ts" && mv "$d/seg1.ts.tmp" "$d/seg1.ts"
  ff -i "$d/av.mp4" -c copy "${bx[@]}" -f flv "$d/av.flv"
  printf 'this is not media\n' >"$d/notmedia.txt"
  echo "$recipe" >"$d/.recipe"
  rm -rf "$fixtures" && mv "$d" "$fixtures"
}
if [[ "$(cat "$fixtures/.recipe" 2>/dev/null)" != "$recipe" ]]; then
  echo "# making fixtures in $fixtures"
  make_fixtures
fi

# ---- Wine ----------------------------------------------------------------------------
wine_run=${WINE_RUN:-}
[[ -n $wine_run || ! -x $root/scripts/wine-run.sh ]] || wine_run=$root/scripts/wine-run.sh
export WINEPREFIX=$work/wineprefix
echo "# Wine: ${wine_run:-wine}, prefix $WINEPREFIX"
wine_cmd() { # arch: the command that runs a Windows program of that arch
  if [[ -n $wine_run ]]; then
    runner=("$wine_run" "$1")
  else
    # One 64-bit prefix runs both architectures (WoW64).
    runner=(env WINEDEBUG=-all wine)
  fi
}
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# ---- One run of host_test.exe under Wine, its counts added to ours -------------------
host_run() { # arch bin-folder log-name mode args...
  local a=$1 bin=$2 name=$3 m=$4 rc=0 start=$SECONDS summary
  shift 4
  wine_cmd "$a"
  # The program's folder is the current one, where LoadLibraryA looks as well.
  (cd "$bin" && LANG=C.UTF-8 LC_ALL=C.UTF-8 timeout 1200 "${runner[@]}" "$bin/host_test.exe" "$@") \
    >"$work/host-$name.log" 2>"$work/host-$name.err" || rc=$?
  # The runner keeps a Wine server for fast starts: end it with each run, so the
  # next one starts from a clean server.
  [[ -z $wine_run ]] || "$wine_run" --stop || true
  tr -d '\r' <"$work/host-$name.log" | sed "s/^/[$name] /"
  echo "# $name host_test: exit $rc, $((SECONDS - start)) s ($m)"
  summary=$(tr -d '\r' <"$work/host-$name.log" | tail -1)
  if [[ $summary =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
    [[ $rc -eq 0 || ${BASH_REMATCH[2]} -gt 0 ]] || fail "$name: host_test exit $rc after no failure"
  else
    fail "$name: host_test ended without its summary (exit $rc; stderr: $(tail -c 400 "$work/host-$name.err" | tr '\n' ' '))"
  fi
}

# ---- The real-file table on the DLL: mpg_tests' RealWorld rows, jobs through job_host.exe
table_run() { # arch bin-folder
  local a=$1 bin=$2 start=$SECONDS rc=0 log=$work/table-$1.log
  if ! "$a-w64-mingw32-gcc" -std=c11 -O2 -Wall -Wextra -Werror -static-libgcc -I"$root/include" \
    -o "$bin/job_host.exe" "$here/job_host.c"; then
    fail "$a: job_host.c does not compile"
    return
  fi
  if [[ ! -x $linux_build/tests/mpg_tests ]]; then
    fail "$a: no $linux_build/tests/mpg_tests to run the real-file table"
    return
  fi
  wine_cmd "$a"
  local host shards i pids=()
  printf -v host '%q ' "${runner[@]}" "$bin/job_host.exe" mpg.dll
  # The finishing table joins the real-file table on x86_64.
  local filter='*/RealWorld.*'
  [[ $a != x86_64 ]] || filter+=':Outputs/Finish.*'
  # Shards on the machine's cores, each with its own job_host.exe.
  shards=$(nproc)
  ((shards <= 4)) || shards=4
  for ((i = 0; i < shards; i++)); do
    (cd "$bin" && MPG_TABLE_HOST="cd $(printf '%q' "$bin") && $host" MPG_TABLE_ARCH=$a LANG=C.UTF-8 LC_ALL=C.UTF-8 \
      GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i timeout 1800 "$linux_build/tests/mpg_tests" \
      --gtest_filter="$filter") >"$log.$i" 2>&1 &
    pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || rc=$?; done
  [[ -z $wine_run ]] || "$wine_run" --stop || true
  cat "$log".* >"$log" && rm -f "$log".*
  # A row that ends prints "[  FAILED  ] <name> (<n> ms)", once.
  grep -E '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" | sed "s/^/[$a table] /" || true
  local ran=0 skipped=0 failures n
  for n in $(sed -n 's/^\[==========\] \([0-9]*\) tests\? from.*ran.*/\1/p' "$log"); do ran=$((ran + n)); done
  for n in $(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?.*/\1/p' "$log"); do skipped=$((skipped + n)); done
  failures=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$log" || true)
  echo "# $a table: $ran rows in $shards shards, $skipped skipped, $failures failed, $((SECONDS - start)) s (log: $log)"
  if [[ $(grep -c '^\[==========\] .* ran' "$log") -ne $shards ]]; then
    fail "$a: a shard of the real-file table ended without its summary (exit $rc): $(tail -c 400 "$log" | tr '\n' ' ')"
    return
  fi
  # Each row counts as a check of its own.
  passed=$((passed + ran - skipped - failures))
  failed=$((failed + failures))
  [[ $failures -gt 0 || $rc -eq 0 ]] || fail "$a: the real-file table exited with $rc after no failed row"
}

# ---- mpg.exe: the look-alike traps and names in several scripts -------------------
# Arguments go from here through Wine's wide command line, as a Windows shell passes
# them; the tool must read them as UTF-16, never through the ANSI code page.
tree_state() { # folder: every file with its size and checksum
  (cd "$1" && find . -type f -exec md5sum {} + | sort)
}
exe_names() { # arch
  local a=$1 bin=$work/bin-$a-exe d=$work/exe-$a rc s before
  rm -rf "$bin" "$d" && mkdir -p "$bin" "$d/bf/sub"
  if [[ ! -f $build_win/$a/mpg.exe ]]; then
    fail "$a: no mpg.exe at $build_win/$a/mpg.exe"
    return
  fi
  cp "$build_win/$a/"*.dll "$build_win/$a/mpg.exe" "$bin/"
  wine_cmd "$a"
  mpg() { (cd "$bin" && LANG=C.UTF-8 LC_ALL=C.UTF-8 timeout 300 "${runner[@]}" "$bin/mpg.exe" "$@"); }
  cp "$fixtures/av.mp4" "$d/a.mp4"
  cp "$fixtures/small.mp4" "$d/α.mp4"
  echo "aout.mp4: an older download" >"$d/aout.mp4"
  echo "escaped.mp4: an older download" >"$d/escaped.mp4"
  before=$(tree_state "$d")

  local json
  json=$(mpg info --json "$(winpath "$d/α.mp4")" 2>&1) || true
  if grep -q '"width": 160' <<<"$json" && grep -q 'α.mp4' <<<"$json"; then
    ok "$a mpg.exe: info --json α.mp4 reads α.mp4 (160x120), not a.mp4 beside it"
  else
    fail "$a mpg.exe: info --json α.mp4 gave: $(head -c 300 <<<"$json" | tr '\n' ' ')"
  fi
  mpg -q merge "$(winpath "$fixtures/v.mp4")" "$(winpath "$fixtures/a.m4a")" "$(winpath "$d/αout.mp4")" \
    >/dev/null 2>&1 && rc=0 || rc=$?
  [[ $rc -eq 0 && -s $d/αout.mp4 ]] && ok "$a mpg.exe: merge writes αout.mp4 itself" ||
    fail "$a mpg.exe: merge to αout.mp4: exit $rc, $(stat -c %s "$d/αout.mp4" 2>/dev/null || echo no) file"
  mpg -q merge "$(winpath "$fixtures/v.mp4")" "$(winpath "$fixtures/a.m4a")" \
    "$(winpath "$d/bf/sub/..＼..＼escaped.mp4")" >/dev/null 2>&1 && rc=0 || rc=$?
  if [[ $rc -eq 0 && -s "$d/bf/sub/..＼..＼escaped.mp4" ]] || [[ $rc -ne 0 && ! -e "$d/bf/sub/..＼..＼escaped.mp4" ]]; then
    ok "$a mpg.exe: an output named bf\\sub\\..＼..＼escaped.mp4 is written there or refused (exit $rc)"
  else
    fail "$a mpg.exe: the output bf\\sub\\..＼..＼escaped.mp4: exit $rc"
  fi
  s=$(diff <(echo "$before") <(tree_state "$d") | grep '^[<>]' |
    grep -v -e ' \./αout\.mp4$' -e ' \./bf/sub/\.\.＼\.\.＼escaped\.mp4$' || true)
  [[ -z $s ]] && ok "$a mpg.exe: the traps wrote no other file (a.mp4, aout.mp4 and escaped.mp4 as they were)" ||
    fail "$a mpg.exe: the traps changed other files: $(tr '\n' ' ' <<<"$s")"

  if "$a-w64-mingw32-gcc" -std=c11 -O2 -Wall -Wextra -Werror -static-libgcc -o "$bin/surrogate_arg.exe" \
    "$here/surrogate_arg.c"; then
    (cd "$bin" && timeout 300 "${runner[@]}" "$bin/surrogate_arg.exe") >/dev/null 2>&1 && rc=0 || rc=$?
    [[ $rc -eq 2 ]] && ok "$a mpg.exe: an argument with an unpaired surrogate is refused (exit 2)" ||
      fail "$a mpg.exe: an argument with an unpaired surrogate: exit $rc, want 2"
  else
    fail "$a: surrogate_arg.c does not compile"
  fi

  local name
  for name in Загрузка Λήψη ダウンロード تنزيل 🎬🎵 "Mix Ω дом 日本 عربي 🎵"; do
    cp "$fixtures/av.mp4" "$d/$name.mp4"
    json=$(mpg info --json "$(winpath "$d/$name.mp4")" 2>&1) || true
    mpg -q crop "$(winpath "$d/$name.mp4")" "$(winpath "$d/$name cropped.mp4")" >/dev/null 2>&1 && rc=0 || rc=$?
    if grep -q '"width": 320' <<<"$json" && grep -qF "$name.mp4" <<<"$json" && [[ $rc -eq 0 ]] &&
      ffprobe -v error "$d/$name cropped.mp4" 2>/dev/null; then
      ok "$a mpg.exe: info and crop on $name.mp4"
    else
      fail "$a mpg.exe: $name.mp4: crop exit $rc; info: $(head -c 200 <<<"$json" | tr '\n' ' ')"
    fi
  done
  [[ -z $wine_run ]] || "$wine_run" --stop || true
}

# ---- Per architecture ------------------------------------------------------------
for a in "${arches[@]}"; do
  echo "# ---- $a"
  dll=$build_win/$a/mpg.dll
  if [[ ! -f $dll ]]; then
    fail "$a: no DLL at $dll"
    continue
  fi
  # The export table, read apart from any loader: the 26 names of mpg.h, undecorated,
  # and nothing else (no C++ or FFmpeg symbol leaks out).
  want=$(grep -oE '^MPG_API [^(]*MPG_CALL [A-Za-z0-9_]+' "$root/include/mpg.h" | awk '{print $NF}' | sort)
  got=$(objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $NF; next} {on = 0}' | sort)
  if [[ $(wc -l <<<"$want") -eq 26 && "$want" == "$got" ]]; then
    ok "$a: the export table is exactly the 26 names of mpg.h"
  else
    fail "$a: the export table holds $(wc -l <<<"$got") names: $(comm -3 <(echo "$want") <(echo "$got") | tr -s ' \t\n' ' ')"
  fi
  bin=$work/bin-$a
  out=$work/out-$a
  wbin=$work/bin-$a-writer
  wout=$work/out-$a-writer
  rm -rf "$bin" "$out" "$wbin" "$wout" && mkdir -p "$bin" "$out" "$wbin" "$wout"
  # The DLL (and any DLL beside it) next to the program: LoadLibraryA("mpg.dll")
  # finds it in the program's folder, as the host's does.
  cp "$build_win/$a/"*.dll "$bin/"
  if ! "$a-w64-mingw32-gcc" -std=c11 -O2 -Wall -Wextra -Werror -static-libgcc \
    -o "$bin/host_test.exe" "$here/host_test.c"; then
    fail "$a: host_test.c does not compile"
    continue
  fi
  # The packet writer run has its own folder: once loaded, the writer serves
  # every packet of the process.
  cp "$bin/"* "$wbin/"
  if ! "$a-w64-mingw32-gcc" -std=c11 -O2 -Wall -Wextra -Werror -shared -static-libgcc \
    -o "$wbin/av_interleaved41.dll" "$here/packet_writer.c"; then
    fail "$a: packet_writer.c does not compile"
  fi
  m=${mode:-full}
  args=(mpg.dll "$(winpath "$fixtures")" "$(winpath "$out")")
  [[ $m == quick ]] && args+=(--quick)
  if [[ $a == i686 && -e /proc/sys/fs/binfmt_misc/qemu-i386 ]] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
    args+=(--one-thread)
  fi
  host_run "$a" "$bin" "$a" "$m" "${args[@]}"

  # The same program with a manifest that sets its ANSI code page to UTF-8.
  ubin=$work/bin-$a-utf8acp
  uout=$work/out-$a-utf8acp
  rm -rf "$ubin" "$uout" && mkdir -p "$ubin" "$uout"
  cp "$build_win/$a/"*.dll "$ubin/"
  cp "$here/utf8_code_page.manifest" "$ubin/"
  echo '1 24 "utf8_code_page.manifest"' >"$ubin/manifest.rc"
  if (cd "$ubin" && "$a-w64-mingw32-windres" manifest.rc -O coff -o manifest.o) &&
    "$a-w64-mingw32-gcc" -std=c11 -O2 -Wall -Wextra -Werror -static-libgcc \
      -o "$ubin/host_test.exe" "$here/host_test.c" "$ubin/manifest.o"; then
    host_run "$a" "$ubin" "$a-utf8acp" utf8-code-page mpg.dll "$(winpath "$fixtures")" "$(winpath "$uout")" \
      --utf8-code-page
    if grep -q 'GetACP() = 65001' "$work/host-$a-utf8acp.log"; then
      echo "# $a: Wine honours the manifest's activeCodePage UTF-8"
    else
      echo "# $a: Wine ignores the manifest's activeCodePage UTF-8; the ANSI route in a UTF-8 code page is not tested"
    fi
  else
    fail "$a: the UTF-8 code page copy of host_test.c does not build"
  fi

  exe_names "$a"

  if [[ -f $wbin/av_interleaved41.dll ]]; then
    host_run "$a" "$wbin" "$a-writer" packet-writer mpg.dll "$(winpath "$fixtures")" "$(winpath "$wout")" \
      --packet-writer
  fi
  [[ $m == full ]] && table_run "$a" "$bin"

done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (ASan + UBSan), replays every kept
# regression input, then fuzzes each harness for FUZZ_SECONDS (60 by default),
# seeded with small media files made by the ffmpeg tool and with the first 64 KiB
# of every real file in ../shared/media/realworld (skipped when it is absent).
#   scripts/fuzz.sh                 all harnesses, 60 s each
#   FUZZ_SECONDS=3600 scripts/fuzz.sh fuzz_probe_exports
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
# Leaks inside third-party encoders that no call of ours can free.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}
build=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMPG_FUZZ=ON -DBUILD_TESTING=OFF -DMPG_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')

seeds="$build/seeds"
if [[ ! -f "$seeds/.made" ]]; then
  mkdir -p "$seeds/media" "$seeds/text"
  v="-f lavfi -i testsrc2=size=64x48:rate=10:duration=1"
  a="-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1"
  ff() { ffmpeg -nostdin -loglevel error -y "$@"; }
  ff $v $a -c:v libx264 -preset ultrafast -g 5 -c:a aac -b:a 16k "$seeds/media/h264_aac.mp4"
  ff $v $a -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus -ar 48000 "$seeds/media/vp9_opus.webm"
  ff $v $a -c:v libx264 -preset ultrafast -g 5 -c:a aac -b:a 16k -f mpegts "$seeds/media/h264_aac.ts"
  ff $v $a -c:v flv1 -c:a libmp3lame -ar 22050 "$seeds/media/flv1_mp3.flv"
  ff $a -c:a libmp3lame -b:a 32k "$seeds/media/audio.mp3"
  ff $v $a -c:v mpeg4 -c:a libmp3lame "$seeds/media/mpeg4_mp3.avi"
  printf '1\n00:00:01,000 --> 00:00:02,500\nHello\n\n2\n00:01:03,000 --> 00:01:10,250\nBye: now\n' >"$seeds/text/cues.srt"
  printf 'WEBVTT\n\n00:01.000 --> 00:02.000 align:start\nHi\n' >"$seeds/text/cues.vtt"
  touch "$seeds/.made"
fi

# Real downloads reach code the generated files do not (edit lists, fragments, HLS
# segments, odd codecs): their first 64 KiB, the most a run mutates, join the seeds.
# Cut afresh on every run, since the shared files can change.
realworld=../shared/media/realworld
rm -rf "$seeds/realworld" "$seeds/realworld-text"
if [[ -d $realworld ]]; then
  mkdir -p "$seeds/realworld" "$seeds/realworld-text"
  while IFS= read -r -d '' f; do
    name=${f#"$realworld"/}
    head -c 65536 "$f" >"$seeds/realworld/${name//\//_}"
  done < <(find "$realworld" -type f ! -name SOURCES.tsv -print0)
  find "$seeds/realworld" -type f \( -name '*.srt' -o -name '*.vtt' \) -exec cp {} "$seeds/realworld-text/" \;
  echo "== seeds: $(ls "$seeds/realworld" | wc -l) real files cut to 64 KiB"
else
  echo "== seeds: no real files ($realworld is absent); generated seeds only"
fi

seed_dirs_for() {
  local real=""
  case "$1" in
    fuzz_image_writers) ;;
    fuzz_subtitle_end_time)
      [[ -d $seeds/realworld-text ]] && real="$seeds/realworld-text"
      echo "$seeds/text $real" ;;
    *)
      [[ -d $seeds/realworld ]] && real="$seeds/realworld"
      echo "$seeds/media $real" ;;
  esac
}

harnesses=("$@")
((${#harnesses[@]})) || harnesses=($(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//'))

for h in "${harnesses[@]}"; do
  bin="$build/fuzz/$h"
  regressions="fuzz/regressions/$h"
  if compgen -G "$regressions/*" >/dev/null; then
    echo "== $h: replaying $(ls "$regressions" | wc -l) kept inputs"
    "$bin" -runs=1 "$regressions"/*
  fi
  rm -f "$build"/crash-"$h"-*
  corpus="$build/corpus/$h"
  mkdir -p "$corpus"
  echo "== $h: fuzzing for ${seconds}s"
  "$bin" -max_total_time="$seconds" -max_len=65536 -timeout=30 -rss_limit_mb=3072 \
    -artifact_prefix="$build/crash-$h-" -print_final_stats=1 "$corpus" $(seed_dirs_for "$h") 2>&1 |
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true
  # libFuzzer also keeps inputs that merely ran long (slow-unit-*, over 10 s, as a
  # sanitizer build on a busy machine does); crashes, leaks, timeouts and
  # out-of-memory inputs fail the run.
  found=$(ls "$build"/crash-"$h"-* 2>/dev/null | grep -v -- '-slow-unit-' || true)
  if [[ -n $found ]]; then
    echo "!! $h found a crash: $found"
    exit 1
  fi
  if compgen -G "$build/crash-$h-slow-unit-*" >/dev/null; then
    echo "== $h: slow inputs kept aside: $(ls "$build"/crash-"$h"-slow-unit-*)"
  fi
done

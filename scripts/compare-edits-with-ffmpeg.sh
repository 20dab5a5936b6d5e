#!/bin/bash
# Lists, per real file, what MPG_Crop, MPG_ShiftAudio (+500 and -500 ms) and
# FLV_FixDuration (on a copy of each FLV file) answer beside what the ffmpeg tool
# does with a plain stream copy into the same container. A row reads
#   file  job  ours  ffmpeg  verdict
# where ours is "ok" or the status text, and verdict is "same" when both worked
# (same packet count per stream, a decode as clean as the tool's copy, and a start at 0 or where the
# ffmpeg tool puts it), "refused" when our refusal is one the edits make on
# purpose (no audio, no moving video), and "DIFF" otherwise.
# Usage: compare-edits-with-ffmpeg.sh MPG_TOOL [REALWORLD_DIR] [WORK_DIR]
MPG=${1:?path to build/tools/mpg}
DIR=${2:-$(dirname "$0")/../../shared/media/realworld}
WORK=${3:-/tmp/edit_copy_compare}
mkdir -p "$WORK"
count() {  # packets of the first stream of a type (V = moving video, a = audio)
  ffprobe -v error -select_streams "$2" -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" 2>/dev/null | head -1 | tr -cd 0-9
}
# Lines a full decode reports at error level (the tool's own copy may have some:
# duplicate timestamps in the input stay in any copy).
decode_errors() { ffmpeg -nostdin -v error -i "$1" -f null - 2>&1 | wc -l; }
has() { [ -n "$(ffprobe -v error -select_streams "$2" -show_entries stream=index -of csv=p=0 "$1" 2>/dev/null)" ]; }
total=0; diffs=0
report() {  # file job ours ffmpeg verdict
  printf '%-44s %-10s %-34s %-8s %s\n' "$1" "$2" "$3" "$4" "$5"
  total=$((total + 1)); [[ "$5" == DIFF* ]] && diffs=$((diffs + 1))
}
judge() {  # file job ourStatus ourOut ffStatus ffOut
  local f=$1 job=$2 ours=$3 out=$4 ff=$5 ffout=$6 verdict=DIFF
  if [ "$ours" = ok ] && [ "$ff" = ok ]; then
    local counts ffcounts start ffstart
    counts="$(count "$out" V:0)/$(count "$out" a:0)"; ffcounts="$(count "$ffout" V:0)/$(count "$ffout" a:0)"
    start=$(ffprobe -v error -show_entries format=start_time -of csv=p=0 "$out")
    ffstart=$(ffprobe -v error -show_entries format=start_time -of csv=p=0 "$ffout")
    if [ "$counts" != "$ffcounts" ]; then verdict="DIFF(packets $counts vs $ffcounts)"
    elif [ "$(decode_errors "$out")" -gt "$(decode_errors "$ffout")" ]; then verdict="DIFF(decode)"
    elif [ "$job" != fix-flv ] && ! awk -v a="${start:-0}" -v b="${ffstart:-0}" \
        'BEGIN { d = a - b; exit !((a < 0.1 && a > -0.1) || (d < 0.1 && d > -0.1)) }'; then
      verdict="DIFF(start $start vs $ffstart)"
    else verdict=same; fi
  elif [[ "$ours" == *"stream not found"* ]] && { ! has "$f" a || ! has "$f" V; } then verdict=refused
  elif [ "$ours" != ok ] && [ "$ff" != ok ]; then verdict="both-fail"
  fi
  report "$(basename "$f")" "$job" "$ours" "$ff" "$verdict"
}
run() {  # command... ; prints ok or the status text
  local msg; msg=$("$@" 2>&1 >/dev/null) && echo ok || echo "${msg##*: }" | tr -d '\n'
}
for f in "$DIR"/*.* "$DIR"/hls/*/*.ts; do
  case "$f" in *.tsv|*.srt|*.vtt) continue ;; esac
  ext=${f##*.}; b=$(basename "$f")
  ffout="$WORK/ff_$b"
  ffmpeg -v error -y -i "$f" -map 0:V:0? -map 0:a:0? -c copy "$ffout" >/dev/null 2>&1 && ff=ok || ff=fail
  [ "$ff" = ok ] && [ ! -s "$ffout" ] && ff=fail
  ours=$(run "$MPG" crop "$f" "$WORK/crop_$b"); judge "$f" crop "$ours" "$WORK/crop_$b" $ff "$ffout"
  for ms in 500 -500; do
    # The ffmpeg tool's shift: the same file again as the audio input, offset.
    shiftff="$WORK/ffshift_$b"
    ffmpeg -v error -y -i "$f" -itsoffset "$(awk -v m=$ms 'BEGIN { print m / 1000 }')" -i "$f" \
      -map 0:V:0? -map 1:a:0? -c copy "$shiftff" >/dev/null 2>&1 && [ -s "$shiftff" ] && ffs=ok || ffs=fail
    ours=$(run "$MPG" shift-audio "$f" "$WORK/shift_$b" --ms=$ms); judge "$f" "shift$ms" "$ours" "$WORK/shift_$b" $ffs "$shiftff"
  done
  if [ "$ext" = flv ]; then
    cp "$f" "$WORK/fix_$b"
    ours=$(run "$MPG" fix-flv "$WORK/fix_$b")
    judge "$f" fix-flv "$ours" "$WORK/fix_$b" $ff "$ffout"
  fi
done
echo "rows: $total, DIFF: $diffs"

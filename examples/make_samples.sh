#!/usr/bin/env bash
# Remakes the demo media in this folder from FFmpeg's built-in test sources:
#   sample_video.mp4  10 s of the testsrc2 pattern, 320x240, 25 fps, H.264, no audio
#   sample_audio.m4a  10 s of a 440 Hz tone with a beep each second, 44.1 kHz stereo AAC
# Bit-exact flags and a single thread keep the files the same from run to run on
# the same FFmpeg build.
set -euo pipefail
cd "$(dirname "$0")"

ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i testsrc2=size=320x240:rate=25:duration=10 \
  -fflags +bitexact -flags:v +bitexact -threads 1 \
  -c:v libx264 -preset veryfast -crf 30 -g 50 -pix_fmt yuv420p -movflags +faststart \
  sample_video.mp4

ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i sine=frequency=440:beep_factor=4:sample_rate=44100:duration=10 \
  -ac 2 -fflags +bitexact -flags:a +bitexact -threads 1 \
  -c:a aac -b:a 64k -movflags +faststart \
  sample_audio.m4a

ls -l sample_video.mp4 sample_audio.m4a

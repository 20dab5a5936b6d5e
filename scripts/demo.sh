#!/usr/bin/env bash
# The main job on the bundled sample: installs what is missing (as root), builds the
# library and the mpg tool into build/, merges examples/sample_video.mp4 (H.264, no
# audio) with examples/sample_audio.m4a (AAC) showing the progress, and prints the
# merged file's media information.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $(id -u) -eq 0 ]]; then
  scripts/install-deps.sh
fi

echo "== Building the library and the mpg tool into build/"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target mpg_cli

mpg=build/tools/mpg
output=build/demo/sample_merged.mp4
mkdir -p "$(dirname "$output")"
rm -f "$output"

echo
echo "== mpg container examples/sample_video.mp4 examples/sample_audio.m4a"
"$mpg" container examples/sample_video.mp4 examples/sample_audio.m4a

echo
echo "== mpg merge examples/sample_video.mp4 examples/sample_audio.m4a $output"
"$mpg" merge examples/sample_video.mp4 examples/sample_audio.m4a "$output"

echo
echo "== mpg info $output"
"$mpg" info "$output"

#!/usr/bin/env bash
# Installs the Debian 12 packages libmpg needs to build, test and benchmark.
# Run as root; packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
  libavcodec-extra ffmpeg
  libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  libjpeg-dev libturbojpeg0-dev libjpeg-turbo-progs
  clang libclang-rt-dev flvmeta ffmpegthumbnailer
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

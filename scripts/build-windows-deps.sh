#!/usr/bin/env bash
# Cross-builds, with mingw-w64 on Debian 12, the static FFmpeg (with x264 and lame)
# that the Windows mpg.dll links, for i686 and/or x86_64, and caches the result.
#
#   scripts/build-windows-deps.sh [i686|x86_64|all]     (default: all; run as root)
#
# Prints, per architecture, the cache directory: a prefix with include/,
# lib/ (libavformat.a libavcodec.a libswresample.a libswscale.a libavutil.a
# libx264.a libmp3lame.a) and lib/pkgconfig/ (relocatable: prefix=${pcfiledir}/../..).
# Use it with PKG_CONFIG_LIBDIR=<dir>/lib/pkgconfig pkg-config --static.
#
# Steps: installs what is missing of the mingw-w64 toolchain (apt-get); fetches the
# Debian source packages below through a private sources list, leaving the system's
# apt configuration alone; extracts them with Debian's patches (dpkg-source -x);
# builds lame, x264 and FFmpeg statically; publishes the prefix into the cache with
# one rename. FFmpeg starts from --disable-everything and enables exactly the
# components in scripts/windows-components.txt (each with the reason it is there);
# a name configure does not know (it only warns), or one it leaves disabled,
# fails the script.
#
# Cache: $LIBMPG_WIN_CACHE (default /var/cache/libmpg-win)/<key>/<arch>, where <key>
# is the first 16 hex digits of the SHA-256 of: the three source package versions,
# the SHA-256 of this script and of the component list, and the toolchain (the
# mingw-w64 gcc's full version, the Debian versions of the compiler, binutils,
# mingw-w64 runtime and nasm packages). The toolchain part names no architecture,
# so one key holds both. An entry appears by rename only once complete, so a
# cancelled run leaves none; a run that finds its entry does nothing else.
# key.txt inside each entry lists what the key was made of; build-times.txt the
# minutes each library took.
#
# The i686 build uses -msse2 -mfpmath=sse for the libraries' C code (the i686
# compiler defaults to x87), as mpg.dll's own code will, so that both
# architectures compute alike.
#
# Left out, and what the library then lacks on Windows (from src/):
#   - dav1d (AV1 decoding): FFmpeg 5.1's own AV1 decoder drives hardware only, so
#     trim/crop/transcode/merge-re-encode/frame grab of AV1 video fail with a
#     decoder error; AV1 stream copy (merge into WebM/MP4) and probing still work.
#   - opencore-amr and vo-amrwbenc (AMR encoding): transcode audio choices 3
#     (AMR-NB) and 4 (AMR-WB) find no encoder, and a 3GP output whose audio must
#     be re-encoded (the 3gp muxer's default audio is AMR-NB) fails. Decoding AMR
#     works (FFmpeg's own amrnb/amrwb decoders).
#   - libvpx, libvorbis, libopus (not asked for here): no VP8/VP9 encoder, so
#     trim/crop of WebM (VP8/VP9) video and a transcode to WebM (id 7) of
#     non-VP8/VP9 video fail; Vorbis/Opus have only FFmpeg's experimental encoders,
#     which the library refuses, so WebM audio re-encoding and Ogg/Theora trim fail.
#   - libx265, AV1 encoders: trim/crop of HEVC or AV1 video in MP4/MKV falls back
#     to the container's default encoder (H.264 via libx264), as the code intends.
#   - zlib (--disable-autodetect): zlib-compressed Matroska tracks and compressed
#     MOV headers ("cmov") cannot be read.
set -euo pipefail

# Debian 12 source package versions (override through the environment to move on).
FFMPEG_VERSION="${FFMPEG_VERSION:-7:5.1.9-0+deb12u1}"
LAME_VERSION="${LAME_VERSION:-3.100-6}"
X264_VERSION="${X264_VERSION:-2:0.164.3095+gitbaee400-3}"

CACHE_ROOT="${LIBMPG_WIN_CACHE:-/var/cache/libmpg-win}"
WORK_ROOT="${LIBMPG_WIN_WORK:-/var/tmp/libmpg-win-build}"
JOBS="${JOBS:-$(nproc)}"

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
script_path="$script_dir/$(basename "${BASH_SOURCE[0]}")"
components_file="$script_dir/windows-components.txt"

die() { echo "build-windows-deps: $*" >&2; exit 1; }
log() { echo "build-windows-deps: $*" >&2; }

case "${1:-all}" in
  i686) arches=(i686) ;;
  x86_64) arches=(x86_64) ;;
  all) arches=(i686 x86_64) ;;
  *) die "usage: $0 [i686|x86_64|all]" ;;
esac
[[ -r "$components_file" ]] || die "missing $components_file"

triple_of() { echo "$1-w64-mingw32"; }
debarch_of() { [[ "$1" == x86_64 ]] && echo x86-64 || echo i686; }
arch_cflags() { [[ "$1" == i686 ]] && echo "-msse2 -mfpmath=sse" || echo ""; }

# --- Toolchain -------------------------------------------------------------------
ensure_toolchain() {
  local packages=(nasm mingw-w64-tools pkgconf make dpkg-dev xz-utils) missing=() a d p
  for a in "${arches[@]}"; do
    d="$(debarch_of "$a")"
    packages+=("gcc-mingw-w64-$d-posix" "g++-mingw-w64-$d-posix")
  done
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  [[ $EUID -eq 0 ]] || die "run as root to install: ${missing[*]}"
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; }
}

pkg_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }

# The key's text: nothing in it names an architecture.
key_text() {
  local a="$1" d cc
  d="$(debarch_of "$a")"
  cc="$(triple_of "$a")-gcc-posix"
  echo "ffmpeg=$FFMPEG_VERSION"
  echo "lame=$LAME_VERSION"
  echo "x264=$X264_VERSION"
  echo "script=$(sha256sum <"$script_path" | cut -d' ' -f1)"
  echo "components=$(sha256sum <"$components_file" | cut -d' ' -f1)"
  echo "gcc=$("$cc" -dumpfullversion) $("$cc" -v 2>&1 | grep -E '^Thread model' || true)"
  echo "gcc-package=$(pkg_version "gcc-mingw-w64-$d-posix")"
  echo "binutils-package=$(pkg_version "binutils-mingw-w64-$d")"
  echo "runtime-package=$(pkg_version "mingw-w64-$d-dev")"
  echo "nasm-package=$(pkg_version nasm)"
}

# --- Sources ---------------------------------------------------------------------
# The mirror of the first URIs: line of the system's deb822 sources (or the first
# deb line of sources.list), used through a private list.
debian_mirror() {
  local uri=""
  if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
    uri="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)"
  fi
  if [[ -z "$uri" && -r /etc/apt/sources.list ]]; then
    uri="$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)"
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

fetch_sources() {
  local src="$WORK_ROOT/src" list="$WORK_ROOT/src/sources.list"
  mkdir -p "$src"
  local want=("ffmpeg=$FFMPEG_VERSION" "lame=$LAME_VERSION" "x264=$X264_VERSION")
  local have=1 dsc
  for dsc in "ffmpeg_${FFMPEG_VERSION#*:}.dsc" "lame_${LAME_VERSION#*:}.dsc" "x264_${X264_VERSION#*:}.dsc"; do
    [[ -f "$src/$dsc" ]] || have=0
  done
  if ((!have)); then
    echo "deb-src $(debian_mirror) bookworm main" >"$list"
    local opts=(-o "Dir::Etc::sourcelist=$list" -o "Dir::Etc::sourceparts=-" -o "APT::Get::List-Cleanup=0")
    log "fetching ${want[*]}"
    { apt-get "${opts[@]}" update -qq &&
      (cd "$src" && apt-get "${opts[@]}" source --download-only "${want[@]}"); } >"$src/fetch.log" 2>&1 ||
      { cat "$src/fetch.log" >&2; die "fetching the sources failed"; }
  fi
  local name ver dir
  for name in ffmpeg lame x264; do
    case $name in ffmpeg) ver="$FFMPEG_VERSION" ;; lame) ver="$LAME_VERSION" ;; x264) ver="$X264_VERSION" ;; esac
    ver="${ver#*:}"
    dir="$src/$name-$ver"
    if [[ ! -f "$dir/.extracted" ]]; then
      rm -rf "$dir"
      # apt checked the files against the signed index; dpkg-source applies the patches.
      (cd "$src" && dpkg-source -x "${name}_$ver.dsc" "$dir") >"$src/extract-$name.log" 2>&1 ||
        { cat "$src/extract-$name.log" >&2; die "extracting $name failed"; }
      touch "$dir/.extracted"
    fi
  done
}

src_dir() {
  local ver
  case $1 in ffmpeg) ver="$FFMPEG_VERSION" ;; lame) ver="$LAME_VERSION" ;; x264) ver="$X264_VERSION" ;; esac
  echo "$WORK_ROOT/src/$1-${ver#*:}"
}

# --- Builds ----------------------------------------------------------------------
# Each builds out of a fresh copy of the extracted source (lame and x264 build in
# their tree; FFmpeg out of tree) and installs into $prefix.
build_lame() {
  local a="$1" prefix="$2" b="$3/lame" t="$1-w64-mingw32"
  rm -rf "$b" && cp -a "$(src_dir lame)" "$b"
  (cd "$b" &&
    ./configure --host="$t" --prefix="$prefix" --enable-static --disable-shared \
      --disable-frontend --disable-decoder --disable-gtktest --disable-rpath \
      CC="$t-gcc-posix" CFLAGS="-O2 $(arch_cflags "$a")" >configure.log 2>&1 ||
      { tail -30 configure.log; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install >>make.log 2>&1)
  rm -f "$prefix"/lib/*.la
}

build_x264() {
  local a="$1" prefix="$2" b="$3/x264" t="$1-w64-mingw32"
  rm -rf "$b" && cp -a "$(src_dir x264)" "$b"
  (cd "$b" &&
    CC="$t-gcc-posix" ./configure --host="$t" --cross-prefix="$t-" --prefix="$prefix" \
      --enable-static --disable-cli --disable-opencl --bit-depth=8 --chroma-format=all \
      --disable-avs --disable-swscale --disable-lavf --disable-ffms --disable-gpac --disable-lsmash \
      --extra-cflags="$(arch_cflags "$a")" >configure.log 2>&1 ||
      { cat configure.log; tail -30 config.log 2>/dev/null; exit 1; }
    grep -q '^thread:.*win32' configure.log || { cat configure.log; echo "x264 is not using win32 threads" >&2; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install-lib-static >>make.log 2>&1)
}

# --enable-<kind>=<name> for every line of the component list.
component_flags() {
  awk '!/^[[:space:]]*(#|$)/ {print "--enable-" $1 "=" $2}' "$components_file"
}

# config_components.h macro of a list line: CONFIG_<NAME>_<KIND>.
check_components_enabled() {
  local header="$1" kind name macro bad=0
  while read -r kind name _; do
    [[ -z "$kind" || "$kind" == \#* ]] && continue
    case $kind in bsf) macro="CONFIG_${name^^}_BSF" ;; *) macro="CONFIG_${name^^}_${kind^^}" ;; esac
    grep -q "^#define $macro 1\$" "$header" || { echo "not enabled: $kind $name" >&2; bad=1; }
  done <"$components_file"
  return $bad
}

build_ffmpeg() {
  local a="$1" prefix="$2" b="$3/ffmpeg" t="$1-w64-mingw32" ffarch
  [[ "$a" == x86_64 ]] && ffarch=x86_64 || ffarch=x86_32
  rm -rf "$b" && mkdir -p "$b"
  local flags
  mapfile -t flags < <(component_flags)
  (cd "$b" &&
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH="" \
      "$(src_dir ffmpeg)/configure" \
      --prefix="$prefix" --target-os=mingw32 --arch="$ffarch" --cross-prefix="$t-" \
      --cc="$t-gcc-posix" --cxx="$t-g++-posix" --pkg-config=pkg-config --pkg-config-flags=--static \
      --enable-static --disable-shared --disable-autodetect --enable-w32threads \
      --disable-programs --disable-doc --disable-avdevice --disable-avfilter --disable-postproc \
      --disable-network --disable-everything \
      --enable-gpl --enable-libx264 --enable-libmp3lame \
      --extra-cflags="-I$prefix/include $(arch_cflags "$a")" --extra-ldflags="-L$prefix/lib" \
      "${flags[@]}" >configure.log 2>&1 ||
      { tail -40 configure.log; tail -40 ffbuild/config.log 2>/dev/null; exit 1; }
    if grep -E 'did not match anything|[Uu]nknown option' configure.log >&2; then
      echo "FFmpeg configure does not know the component(s) above: fix scripts/windows-components.txt" >&2
      exit 1
    fi
    check_components_enabled config_components.h ||
      { echo "FFmpeg configure left the component(s) above disabled" >&2; exit 1; }
    grep -q '^#define HAVE_W32THREADS 1$' config.h || { echo "FFmpeg is not using win32 threads" >&2; exit 1; }
    if [[ "$a" == i686 ]]; then
      # With -msse2 and Windows' 4-byte stack alignment GCC keeps EBP as the frame
      # pointer of every function that realigns its stack, so inline asm that wants
      # seven registers (the H.264 CABAC reader) has "impossible constraints".
      # configure's probe for a free EBP runs a program, which a cross build
      # cannot, and so assumes one: take it back.
      sed -i 's/^#define HAVE_EBP_AVAILABLE 1$/#define HAVE_EBP_AVAILABLE 0/' config.h
      grep -q '^#define HAVE_EBP_AVAILABLE 0$' config.h || { echo "config.h has no HAVE_EBP_AVAILABLE" >&2; exit 1; }
    fi
    make -j"$JOBS" >make.log 2>&1 || { grep -E 'error|Error' make.log | head -40; exit 1; }
    make install >>make.log 2>&1)
}

# pkg-config files that follow the prefix wherever it is moved.
make_relocatable() {
  local pc
  for pc in "$1"/lib/pkgconfig/*.pc; do
    sed -i "s|^prefix=.*|prefix=\${pcfiledir}/../..|" "$pc"
    sed -i "s|$1|\${prefix}|g" "$pc"
  done
}

minutes_since() { awk -v s="$1" -v e="$(date +%s)" 'BEGIN {printf "%.1f", (e - s) / 60}'; }

# Builds one architecture into a staging directory next to its cache entry and
# publishes it with one rename. Prints the entry.
build_arch() {
  local a="$1" keytxt key entry stage work t0 t
  keytxt="$(key_text "$a")"
  key="$(printf '%s\n' "$keytxt" | sha256sum | cut -c1-16)"
  entry="$CACHE_ROOT/$key/$a"
  if [[ -f "$entry/key.txt" ]]; then
    log "$a: cached"
    echo "$entry"
    return
  fi
  mkdir -p "$CACHE_ROOT/$key"
  # One build per entry at a time; a cancelled run's staging goes.
  exec {lock}>"$CACHE_ROOT/$key/.lock-$a"
  flock "$lock"
  if [[ -f "$entry/key.txt" ]]; then
    log "$a: cached"
    echo "$entry"
    exec {lock}>&-
    return
  fi
  stage="$CACHE_ROOT/$key/.staging-$a"
  work="$WORK_ROOT/build-$a"
  rm -rf "$stage" "$work"
  mkdir -p "$stage" "$work"
  fetch_sources
  local times=""
  t0=$(date +%s); t=$t0
  log "$a: lame"; build_lame "$a" "$stage" "$work"
  times+="lame $(minutes_since "$t") min"$'\n'; t=$(date +%s)
  log "$a: x264"; build_x264 "$a" "$stage" "$work"
  times+="x264 $(minutes_since "$t") min"$'\n'; t=$(date +%s)
  log "$a: ffmpeg"; build_ffmpeg "$a" "$stage" "$work"
  times+="ffmpeg $(minutes_since "$t") min"$'\n'
  times+="total $(minutes_since "$t0") min (jobs $JOBS)"$'\n'
  cp "$work/ffmpeg/configure.log" "$stage/ffmpeg-configure.log"
  make_relocatable "$stage"
  printf '%s\n' "$keytxt" >"$stage/key.txt"
  printf '%s' "$times" >"$stage/build-times.txt"
  mv -T "$stage" "$entry"
  exec {lock}>&-
  rm -rf "$work"
  log "$a: built in $(minutes_since "$t0") min"
  echo "$entry"
}

ensure_toolchain
for a in "${arches[@]}"; do build_arch "$a"; done

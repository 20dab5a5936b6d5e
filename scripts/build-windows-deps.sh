#!/usr/bin/env bash
# Cross-builds, with mingw-w64 on Debian 12, the static FFmpeg (with x264, lame,
# libvpx, libopus, libvorbis, dav1d and zlib) that the Windows mpg.dll links, for
# i686 and/or x86_64, and caches the result.
#
#   scripts/build-windows-deps.sh [i686|x86_64|all]     (default: all; run as root)
#
# Prints, per architecture, the cache directory, and nothing else on stdout (the
# steps and apt-get report on stderr): a prefix with include/, lib/ (libavformat.a
# libavcodec.a libswresample.a libswscale.a libavutil.a libx264.a libmp3lame.a
# libvpx.a libopus.a libvorbisenc.a libvorbis.a libogg.a libdav1d.a libz.a),
# lib/pkgconfig/ (relocatable: prefix=${pcfiledir}/../..) and share/licenses/<source
# package>/ (each library's licence text and Debian's copyright file, which the
# Windows zip ships). Use it with PKG_CONFIG_LIBDIR=<dir>/lib/pkgconfig pkg-config --static.
#
# Steps: installs what is missing of the mingw-w64 toolchain, nasm, meson and ninja
# (apt-get); fetches the Debian source packages below through a private sources
# list, leaving the system's apt configuration alone; extracts them with Debian's
# patches (dpkg-source -x); builds the libraries statically and FFmpeg last; publishes
# the prefix into the cache with one rename. FFmpeg starts from --disable-everything
# and enables exactly the components in scripts/windows-components.txt (each with the
# reason it is there); a name configure does not know (it only warns), or one it
# leaves disabled, fails the script.
#
# How each library builds: zlib with its plain Makefile.in (its configure refuses
# mingw); libogg, libvorbis, opus and lame with autoconf; dav1d with meson and ninja
# through a cross file written per architecture (nasm for its assembly); libvpx with
# its own configure (targets x86-win32-gcc and x86_64-win64-gcc, nasm), encoders
# only (FFmpeg's own VP8/VP9 decoders decode), with Debian's size limit and high
# bit depth; x264 with its configure.
#
# Cache: $LIBMPG_WIN_CACHE (default /var/cache/libmpg-win)/<key>/<arch>, where <key>
# is the first 16 hex digits of the SHA-256 of: every source package version, the
# SHA-256 of this script and of the component list, and the toolchain (the mingw-w64
# gcc's full version, the Debian versions of the compiler, binutils, mingw-w64
# runtime, nasm and meson packages). The toolchain part names no architecture, so
# one key holds both. An entry appears by rename only once complete, so a cancelled
# run leaves none; a run that finds its entry does nothing else. key.txt inside each
# entry lists what the key was made of; build-times.txt the minutes each library took.
#
# The i686 build uses -msse2 -mfpmath=sse for the libraries' C code (the i686
# compiler defaults to x87), as mpg.dll's own code will, so that both
# architectures compute alike. libvpx, opus and libvorbis also get -mstackrealign
# there: their SIMD code runs on threads and behind entry points that 32-bit
# Windows enters with 4-byte stack alignment (FFmpeg, x264 and dav1d realign at
# their own entry points).
#
# Left out, and what the library then lacks on Windows (from src/):
#   - opencore-amr and vo-amrwbenc (AMR encoding): FFmpeg takes them only with
#     --enable-version3, which would put the DLL under GPL 3 (with x264, GPL 2 or
#     later becomes GPL 3). So transcode audio choices 3 (AMR-NB) and 4 (AMR-WB)
#     find no encoder, and a 3GP output whose audio must be re-encoded (the 3gp
#     muxer's default audio is AMR-NB) fails. Decoding AMR works (FFmpeg's own
#     amrnb/amrwb decoders).
#   - libtheora: no Theora encoder, so the trim/crop of Ogg/Theora video (the ogg
#     muxer's default video) fails.
#   - libx265, AV1 encoders: trim/crop of HEVC or AV1 video in MP4/MKV falls back
#     to the container's default encoder (H.264 via libx264), as the code intends.
set -euo pipefail

# Debian 12 source package versions (override through the environment to move on).
FFMPEG_VERSION="${FFMPEG_VERSION:-7:5.1.9-0+deb12u1}"
LAME_VERSION="${LAME_VERSION:-3.100-6}"
X264_VERSION="${X264_VERSION:-2:0.164.3095+gitbaee400-3}"
ZLIB_VERSION="${ZLIB_VERSION:-1:1.2.13.dfsg-1}"
LIBOGG_VERSION="${LIBOGG_VERSION:-1.3.5-3}"
LIBVORBIS_VERSION="${LIBVORBIS_VERSION:-1.3.7-1}"
OPUS_VERSION="${OPUS_VERSION:-1.3.1-3}"
DAV1D_VERSION="${DAV1D_VERSION:-1.0.0-2+deb12u1}"
LIBVPX_VERSION="${LIBVPX_VERSION:-1.12.0-1+deb12u5}"
# Source packages in build order (each after what it links); FFmpeg last.
SOURCES=(zlib libogg libvorbis opus dav1d libvpx lame x264 ffmpeg)

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
realign_cflags() { [[ "$1" == i686 ]] && echo "-msse2 -mfpmath=sse -mstackrealign" || echo ""; }

# The Debian version of a source package (with its epoch, as apt wants it).
version_of() {
  case $1 in
    ffmpeg) echo "$FFMPEG_VERSION" ;;
    lame) echo "$LAME_VERSION" ;;
    x264) echo "$X264_VERSION" ;;
    zlib) echo "$ZLIB_VERSION" ;;
    libogg) echo "$LIBOGG_VERSION" ;;
    libvorbis) echo "$LIBVORBIS_VERSION" ;;
    opus) echo "$OPUS_VERSION" ;;
    dav1d) echo "$DAV1D_VERSION" ;;
    libvpx) echo "$LIBVPX_VERSION" ;;
    *) die "no version for $1" ;;
  esac
}

# --- Toolchain -------------------------------------------------------------------
ensure_toolchain() {
  local packages=(nasm mingw-w64-tools pkgconf make dpkg-dev xz-utils meson ninja-build) missing=() a d p
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
  # stdout carries only the cache entries.
  {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; }
  } >&2
}

pkg_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }

# The key's text: nothing in it names an architecture.
key_text() {
  local a="$1" d cc name
  d="$(debarch_of "$a")"
  cc="$(triple_of "$a")-gcc-posix"
  for name in ffmpeg lame x264 zlib libogg libvorbis opus dav1d libvpx; do
    echo "$name=$(version_of "$name")"
  done
  echo "script=$(sha256sum <"$script_path" | cut -d' ' -f1)"
  echo "components=$(sha256sum <"$components_file" | cut -d' ' -f1)"
  echo "gcc=$("$cc" -dumpfullversion) $("$cc" -v 2>&1 | grep -E '^Thread model' || true)"
  echo "gcc-package=$(pkg_version "gcc-mingw-w64-$d-posix")"
  echo "binutils-package=$(pkg_version "binutils-mingw-w64-$d")"
  echo "runtime-package=$(pkg_version "mingw-w64-$d-dev")"
  echo "nasm-package=$(pkg_version nasm)"
  echo "meson-package=$(pkg_version meson)"
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

# The version as the file and folder names spell it (no epoch).
plain_version() { local v; v="$(version_of "$1")"; echo "${v#*:}"; }

fetch_sources() {
  local src="$WORK_ROOT/src" list="$WORK_ROOT/src/sources.list"
  mkdir -p "$src"
  local want=() missing=0 name
  for name in "${SOURCES[@]}"; do
    want+=("$name=$(version_of "$name")")
    [[ -f "$src/${name}_$(plain_version "$name").dsc" ]] || missing=1
  done
  if ((missing)); then
    echo "deb-src $(debian_mirror) bookworm main" >"$list"
    local opts=(-o "Dir::Etc::sourcelist=$list" -o "Dir::Etc::sourceparts=-" -o "APT::Get::List-Cleanup=0")
    log "fetching ${want[*]}"
    { apt-get "${opts[@]}" update -qq &&
      (cd "$src" && apt-get "${opts[@]}" source --download-only "${want[@]}"); } >"$src/fetch.log" 2>&1 ||
      { cat "$src/fetch.log" >&2; die "fetching the sources failed"; }
  fi
  local ver dir
  for name in "${SOURCES[@]}"; do
    ver="$(plain_version "$name")"
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

src_dir() { echo "$WORK_ROOT/src/$1-$(plain_version "$1")"; }

# The licence texts of a source package (paths in its tree) and Debian's copyright
# file, into <prefix>/share/licenses/<package>/.
install_licences() {
  local name="$1" prefix="$2" f dest="$2/share/licenses/$1"
  shift 2
  mkdir -p "$dest"
  for f in "$@"; do cp "$(src_dir "$name")/$f" "$dest/"; done
  cp "$(src_dir "$name")/debian/copyright" "$dest/debian-copyright"
}

# --- Builds ----------------------------------------------------------------------
# Each builds out of a fresh copy of the extracted source (FFmpeg, dav1d and libvpx
# out of tree, the others in their tree), installs into $prefix and logs into its
# build folder; a failure shows the log's end. Their output goes to stderr.
fresh_copy() { rm -rf "$2" && cp -a "$(src_dir "$1")" "$2"; }

# An autoconf package: configure --host, make, make install.
build_autoconf() {
  local name="$1" a="$2" prefix="$3" b="$4/$1" t="$2-w64-mingw32" cflags="$5"
  shift 5
  fresh_copy "$name" "$b"
  (cd "$b" &&
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH="" \
      ./configure --host="$t" --prefix="$prefix" --enable-static --disable-shared \
      CC="$t-gcc-posix" CFLAGS="-O2 $cflags" "$@" >configure.log 2>&1 ||
      { tail -30 configure.log; tail -30 config.log 2>/dev/null; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install >>make.log 2>&1) >&2
  rm -f "$prefix"/lib/*.la
}

# zlib's configure refuses mingw and points to win32/Makefile.gcc, which Debian's
# source leaves out; the unconfigured Makefile.in builds the static library with
# the cross tools given. It and the headers are all FFmpeg needs (configure finds
# it as -lz).
build_zlib() {
  local a="$1" prefix="$2" b="$3/zlib" t="$1-w64-mingw32"
  fresh_copy zlib "$b"
  (cd "$b" &&
    make -f Makefile.in -j"$JOBS" CC="$t-gcc-posix" AR="$t-ar" RANLIB="$t-ranlib" \
      CFLAGS="-O2 -Wall $(arch_cflags "$a")" libz.a >make.log 2>&1 || { tail -40 make.log; exit 1; }
    mkdir -p "$prefix/include" "$prefix/lib" &&
      cp zlib.h zconf.h "$prefix/include/" && cp libz.a "$prefix/lib/") >&2
  install_licences zlib "$prefix" LICENSE
}

build_libogg() {
  build_autoconf libogg "$1" "$2" "$3" "$(arch_cflags "$1")"
  install_licences libogg "$2" COPYING
}

build_libvorbis() {
  build_autoconf libvorbis "$1" "$2" "$3" "$(realign_cflags "$1")" --disable-docs --disable-examples --disable-oggtest
  install_licences libvorbis "$2" COPYING
}

# _FORTIFY_SOURCE=0 keeps opus's configure from defining it (it tests whether it is
# defined): mingw-w64's fortified string functions would need libssp.
build_opus() {
  build_autoconf opus "$1" "$2" "$3" "-D_FORTIFY_SOURCE=0 $(realign_cflags "$1")" \
    --disable-doc --disable-extra-programs --disable-stack-protector
  install_licences opus "$2" COPYING
}

# The meson cross file of an architecture.
write_meson_cross() {
  local a="$1" out="$2" t="$1-w64-mingw32" family cflags="" f
  [[ "$a" == x86_64 ]] && family=x86_64 || family=x86
  for f in $(arch_cflags "$a"); do cflags+="${cflags:+, }'$f'"; done
  cat >"$out" <<EOF
[binaries]
c = '$t-gcc-posix'
cpp = '$t-g++-posix'
ar = '$t-ar'
strip = '$t-strip'
windres = '$t-windres'
pkgconfig = 'pkg-config'
nasm = 'nasm'

[built-in options]
c_args = [$cflags]

[host_machine]
system = 'windows'
cpu_family = '$family'
cpu = '$a'
endian = 'little'
EOF
}

build_dav1d() {
  local a="$1" prefix="$2" b="$3/dav1d"
  rm -rf "$b" && mkdir -p "$b"
  write_meson_cross "$a" "$b/cross.txt"
  (cd "$b" &&
    meson setup --cross-file cross.txt --prefix="$prefix" --libdir=lib --buildtype=release \
      --default-library=static -Denable_tools=false -Denable_tests=false -Denable_examples=false \
      -Denable_docs=false build "$(src_dir dav1d)" >configure.log 2>&1 || { tail -40 configure.log; exit 1; }
    grep -qE 'Program nasm found: YES' configure.log || { echo "dav1d builds without nasm" >&2; exit 1; }
    ninja -C build -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    ninja -C build install >>make.log 2>&1) >&2
  install_licences dav1d "$prefix" COPYING
}

# Encoders only: FFmpeg's own VP8/VP9 decoders decode. The size limit and high bit
# depth are Debian's, so the encoders take what the Linux library's do.
build_libvpx() {
  local a="$1" prefix="$2" b="$3/libvpx" t="$1-w64-mingw32" target
  [[ "$a" == x86_64 ]] && target=x86_64-win64-gcc || target=x86-win32-gcc
  rm -rf "$b" && mkdir -p "$b"
  (cd "$b" &&
    CROSS="$t-" CC="$t-gcc-posix" CXX="$t-g++-posix" LD="$t-gcc-posix" AR="$t-ar" STRIP="$t-strip" \
      "$(src_dir libvpx)/configure" --target="$target" --prefix="$prefix" --as=nasm \
      --enable-static --disable-shared --disable-examples --disable-tools --disable-docs \
      --disable-unit-tests --disable-install-bins --disable-install-srcs \
      --disable-vp8-decoder --disable-vp9-decoder --enable-vp8-encoder --enable-vp9-encoder \
      --enable-vp9-highbitdepth --size-limit=16384x16384 \
      --extra-cflags="$(realign_cflags "$a")" >configure.log 2>&1 || { tail -40 configure.log; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install >>make.log 2>&1) >&2
  install_licences libvpx "$prefix" LICENSE PATENTS
}

build_lame() {
  local a="$1" prefix="$2" b="$3/lame" t="$1-w64-mingw32"
  fresh_copy lame "$b"
  (cd "$b" &&
    ./configure --host="$t" --prefix="$prefix" --enable-static --disable-shared \
      --disable-frontend --disable-decoder --disable-gtktest --disable-rpath \
      CC="$t-gcc-posix" CFLAGS="-O2 $(arch_cflags "$a")" >configure.log 2>&1 ||
      { tail -30 configure.log; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install >>make.log 2>&1) >&2
  rm -f "$prefix"/lib/*.la
  install_licences lame "$prefix" COPYING
}

build_x264() {
  local a="$1" prefix="$2" b="$3/x264" t="$1-w64-mingw32"
  fresh_copy x264 "$b"
  (cd "$b" &&
    CC="$t-gcc-posix" ./configure --host="$t" --cross-prefix="$t-" --prefix="$prefix" \
      --enable-static --disable-cli --disable-opencl --bit-depth=8 --chroma-format=all \
      --disable-avs --disable-swscale --disable-lavf --disable-ffms --disable-gpac --disable-lsmash \
      --extra-cflags="$(arch_cflags "$a")" >configure.log 2>&1 ||
      { cat configure.log; tail -30 config.log 2>/dev/null; exit 1; }
    grep -q '^thread:.*win32' configure.log || { cat configure.log; echo "x264 is not using win32 threads" >&2; exit 1; }
    make -j"$JOBS" >make.log 2>&1 || { tail -40 make.log; exit 1; }
    make install-lib-static >>make.log 2>&1) >&2
  install_licences x264 "$prefix" COPYING
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
      --enable-gpl --enable-libx264 --enable-libmp3lame --enable-libvpx --enable-libopus \
      --enable-libvorbis --enable-libdav1d --enable-zlib \
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
    local lib
    for lib in ZLIB LIBDAV1D LIBVPX LIBOPUS LIBVORBIS LIBX264 LIBMP3LAME; do
      grep -q "^#define CONFIG_$lib 1\$" config.h || { echo "FFmpeg configure left out $lib" >&2; exit 1; }
    done
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
    make install >>make.log 2>&1) >&2
  install_licences ffmpeg "$prefix" LICENSE.md COPYING.GPLv2 COPYING.LGPLv2.1
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
  local times="" name
  t0=$(date +%s)
  for name in "${SOURCES[@]}"; do
    t=$(date +%s)
    log "$a: $name"
    "build_$name" "$a" "$stage" "$work"
    times+="$name $(minutes_since "$t") min"$'\n'
  done
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

#!/usr/bin/env bash
# Builds the Windows mpg.dll and the mpg.exe tool for 32-bit (i686) and 64-bit
# (x86_64) Windows with mingw-w64, and packs them:
#
#   scripts/build-windows.sh [i686|x86_64|all]        (default: all; run as root
#                                                       on a machine that lacks the
#                                                       toolchain or the cached FFmpeg)
#
# Gives build-win/<arch>/{mpg.dll,mpg.exe} and dist/mpg-win32.zip, dist/mpg-win64.zip
# (mpg.dll, mpg.exe, mpg.h, mpg_string.hpp, README.md, licences).
# The static FFmpeg and the libraries it links come from
# scripts/build-windows-deps.sh, which builds them once per machine into a cache.
# The script fails unless, in both files, the DLL exports exactly the C functions
# mpg.h declares, undecorated; both import only Windows system DLLs; and the PE
# headers ask for Windows Vista (6.0), the oldest that has what they import
# (BCryptGenRandom, InitOnceBeginInitialize, condition variables).
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "build-windows: $*" >&2; exit 1; }
log() { echo "build-windows: $*" >&2; }

case "${1:-all}" in
  i686) arches=(i686) ;;
  x86_64) arches=(x86_64) ;;
  all) arches=(i686 x86_64) ;;
  *) die "usage: $0 [i686|x86_64|all]" ;;
esac

# What the cross build needs besides the toolchain (which the dependency script
# installs): cmake and ninja, the tool's header-only libraries, zip.
ensure_packages() {
  local packages=(cmake ninja-build pkgconf zip libcli11-dev nlohmann-json3-dev) missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  [[ $EUID -eq 0 ]] || die "run as root to install: ${missing[*]}"
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; }
}

# The names the DLL's export table holds, one per line.
dll_exports() {
  objdump -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && /^\t\[/ {print $NF; next} {on = 0}'
}

# The functions mpg.h declares, one per line.
header_exports() {
  grep -oE '^MPG_API [^(]*MPG_CALL [A-Za-z0-9_]+' include/mpg.h | awk '{print $NF}' | sort
}

check_exports() {
  local dll="$1" want got
  want="$(header_exports)"
  got="$(dll_exports "$dll" | sort)"
  [[ -n "$want" ]] || die "found no MPG_API declarations in include/mpg.h"
  if [[ "$want" != "$got" ]]; then
    diff <(echo "$want") <(echo "$got") >&2 || true
    die "$dll: the export table is not the $(wc -l <<<"$want") names of mpg.h (< header, > DLL)"
  fi
}

# What every Windows has; anything else (libwinpthread-1.dll, libstdc++-6.dll, a
# codec's DLL) would have to ship beside mpg.dll.
SYSTEM_DLLS="kernel32.dll msvcrt.dll bcrypt.dll advapi32.dll user32.dll shell32.dll ole32.dll"

# check_imports FILE [DLL...]: FILE imports only system DLLs and those named.
check_imports() {
  local file="$1" name bad=0 allowed="$SYSTEM_DLLS ${*:2}"
  allowed="${allowed,,}"
  while read -r name; do
    [[ " $allowed " == *" ${name,,} "* ]] || { echo "$file imports $name" >&2; bad=1; }
  done < <(objdump -p "$file" | awk '/DLL Name:/ {print $3}')
  ((!bad)) || die "$file imports a DLL that is not part of Windows"
}

# The linker's defaults (4.0 and 5.2) would let Windows XP load a file whose imports
# it lacks; CMakeLists.txt sets 6.0 (Vista).
check_windows_version() {
  local file="$1" field headers
  # Read once: grep -q leaving a pipe early would fail the pipeline (pipefail).
  headers="$(objdump -p "$file")"
  for field in MajorOSystemVersion MajorSubsystemVersion; do
    grep -qE "^$field[[:space:]]+6\$" <<<"$headers" || die "$file: $field is not 6"
  done
  for field in MinorOSystemVersion MinorSubsystemVersion; do
    grep -qE "^$field[[:space:]]+0\$" <<<"$headers" || die "$file: $field is not 0"
  done
}

build_arch() {
  local a="$1" deps dir start=$SECONDS
  deps="$(scripts/build-windows-deps.sh "$a" | tail -n1)"
  [[ -f "$deps/key.txt" ]] || die "no FFmpeg for $a"
  dir="build-win/$a"
  log "$a: building in $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DMPG_WIN_ARCH="$a" -DMPG_WIN_DEPS="$deps" \
    -DBUILD_TESTING=OFF -DMPG_WERROR=ON ${CMAKE_EXTRA_ARGS:-} >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  for f in mpg.dll mpg.exe; do [[ -f "$dir/$f" ]] || die "$dir/$f not built"; done
  check_exports "$dir/mpg.dll"
  check_imports "$dir/mpg.dll"
  check_imports "$dir/mpg.exe" mpg.dll
  for f in mpg.dll mpg.exe; do check_windows_version "$dir/$f"; done
  echo "$deps" >"$dir/deps.txt"
  log "$a: mpg.dll and mpg.exe in $((SECONDS - start)) s; $(header_exports | wc -l) exports, system imports and Windows 6.0 checked"
}

# Licence texts: the DLL links x264 and FFmpeg built with --enable-gpl, so the whole
# is under the GPL, version 2 or later; lame and our own code are LGPL; the others
# are under BSD-style and zlib licences, which ask binary distributions to carry
# their texts (licenses/ in the zip, from the dependency cache).
write_notice() {
  local out="$1" deps="$2"
  # The Debian source version of a package, from the cache entry's key.
  version() { grep -E "^$1=" "$deps/key.txt" | cut -d= -f2-; }
  cat >"$out" <<EOF
mpg.dll and mpg.exe are built from libmpg (LGPL 2.1 or later, see LICENSE) and
contain, linked statically, these Debian 12 source packages (name, Debian version,
licence; the texts are in licenses/<name>/, with Debian's copyright file):
  - ffmpeg $(version ffmpeg) (libavformat, libavcodec, libavutil, libswresample,
    libswscale), built with --enable-gpl: GPL 2 or later
  - x264 $(version x264): GPL 2 or later
  - lame $(version lame): LGPL 2 or later
  - libvpx $(version libvpx): BSD 3-clause, with Google's patent grant (PATENTS)
  - dav1d $(version dav1d): BSD 2-clause
  - opus $(version opus): BSD 3-clause (COPYING names the patent licences)
  - libvorbis $(version libvorbis): BSD 3-clause
  - libogg $(version libogg): BSD 3-clause
  - zlib $(version zlib): zlib licence
  - the GCC runtime (libstdc++, libgcc, winpthreads): GPL 3 with the GCC Runtime
    Library Exception, and the mingw-w64 runtime's permissive licences
The combined work is therefore distributed under the GNU General Public License,
version 2 or later (COPYING).
EOF
}

pack_arch() {
  local a="$1" bits dir stage deps
  [[ $a == i686 ]] && bits=32 || bits=64
  dir="build-win/$a"
  deps="$(cat "$dir/deps.txt")"
  stage="build-win/pack-$a/mpg-win$bits"
  rm -rf "build-win/pack-$a"
  mkdir -p "$stage" dist
  # Hosts get stripped files; the build folder keeps the symbols.
  for f in mpg.dll mpg.exe; do "$a-w64-mingw32-strip" -o "$stage/$f" "$dir/$f"; done
  cp "$dir/libmpg.dll.a" include/mpg.h include/mpg_string.hpp README.md LICENSE "$stage/"
  cp /usr/share/common-licenses/GPL-2 "$stage/COPYING"
  cp -r "$deps/share/licenses" "$stage/licenses"
  write_notice "$stage/NOTICE.txt" "$deps"
  rm -f "dist/mpg-win$bits.zip"
  (cd "build-win/pack-$a" && zip -qr -X "../../dist/mpg-win$bits.zip" "mpg-win$bits")
  log "$a: dist/mpg-win$bits.zip ($(du -k "dist/mpg-win$bits.zip" | cut -f1) KiB; mpg.dll $(du -k "$stage/mpg.dll" | cut -f1) KiB)"
}

ensure_packages
for a in "${arches[@]}"; do build_arch "$a"; done
for a in "${arches[@]}"; do pack_arch "$a"; done

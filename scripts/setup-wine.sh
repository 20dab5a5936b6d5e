#!/usr/bin/env bash
# Prepares this Debian 12 (amd64) machine to run 32-bit and 64-bit Windows
# console programs under Wine; scripts/wine-run.sh then runs them.
#
#   sudo scripts/setup-wine.sh          (run as root; safe to run again)
#
# It installs Wine (64-bit and 32-bit loaders and preloaders) when missing.
# If the kernel cannot run 32-bit x86 code (IA-32 emulation disabled), 32-bit
# Wine runs under qemu-i386 instead: qemu-user-static is installed, registered
# for i386 ELF files with binfmt_misc, and a private copy of the Wine loaders
# is set up under $WINE_QEMU_ROOT (default /opt/wine-on-qemu) whose 32-bit
# preloader qemu can load.  Package files are never modified.
# When everything is already in place it only checks, and needs no root.
# WINE_FORCE_QEMU=1 sets up the qemu route even where the kernel needs none.
set -euo pipefail

WINE_QEMU_ROOT=${WINE_QEMU_ROOT:-/opt/wine-on-qemu}
WINE_LIB=/usr/lib/wine
QEMU_I386=/usr/bin/qemu-i386-static
BINFMT=/proc/sys/fs/binfmt_misc

wine_packages=(wine wine32:i386 wine64 wine32-preloader:i386 wine64-preloader)

# Half-written files to remove should the script stop early.
leftovers=()
trap 'rm -rf "${leftovers[@]}"' EXIT

say() { echo "setup-wine: $*"; }
die() { echo "setup-wine: error: $*" >&2; exit 1; }
need_root() { ((EUID == 0)) || die "$1 needs root; run this script as root"; }

missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

apt_install() {
  need_root "installing $*"
  say "installing: $*"
  export DEBIAN_FRONTEND=noninteractive
  # Another apt run may hold the lock: wait for it instead of failing.
  local wait=(-o DPkg::Lock::Timeout=1800)
  apt-get "${wait[@]}" update -qq
  apt-get "${wait[@]}" install -y -qq --no-install-recommends "$@"
}

install_wine() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root "enabling the i386 architecture"
    dpkg --add-architecture i386
  fi
  local missing
  mapfile -t missing < <(missing_packages "${wine_packages[@]}")
  ((${#missing[@]} == 0)) || apt_install "${missing[@]}"
}

# Exits 42 when the kernel runs 32-bit x86 code itself.  The probe is a
# 96-byte static i386 ELF doing exit(42).  One padding byte of its ELF
# identification is non-zero: the kernel ignores it, but the usual i386 binfmt
# handlers (qemu's mask requires zero there) do not claim the file, so an
# emulator registered earlier cannot make the kernel look capable.
kernel_runs_i386() {
  local dir rc=0
  dir=$(mktemp -d)
  leftovers+=("$dir")
  local probe=$dir/probe-i386
  {
    # e_ident: ELF, 32-bit, little endian, version 1, last padding byte 1
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x01'
    # e_type EXEC, e_machine 386, e_version 1, e_entry 0x08048054,
    # e_phoff 52, e_shoff 0, e_flags 0, e_ehsize 52, e_phentsize 32,
    # e_phnum 1, no sections
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    # one PT_LOAD: the whole 96-byte file at 0x08048000, read+execute
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    # mov eax, 1 (exit); mov ebx, 42; int 0x80
    printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
  } >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || rc=$?
  ((rc == 42))
}

# Little-endian unsigned field of FILE: u32 FILE OFFSET / u16 FILE OFFSET
u32() { od -An -v --endian=little -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
u16() { od -An -v --endian=little -tu2 -j "$2" -N2 "$1" | tr -d ' '; }

# Wine's 32-bit preloader starts with a read-only PT_LOAD segment at
# 0x08048000 holding only its ELF headers and build-id note; qemu-i386 cannot
# map it because it overlaps the address range qemu keeps for itself.  Nothing
# reads that segment at run time, so it is turned into PT_NULL in a copy.
# Every field the change relies on is checked first.
patch_preloader() {
  local src=$1 dst=$2 tmp=$2.tmp
  leftovers+=("$tmp")
  cp "$src" "$tmp"
  local ident
  ident=$(od -An -v -tx1 -N7 "$tmp" | tr -d ' ')
  [[ $ident == 7f454c46010101 ]] || die "$src: not a 32-bit little-endian ELF file"
  (($(u16 "$tmp" 16) == 2 && $(u16 "$tmp" 18) == 3)) || die "$src: not an i386 executable"
  local phoff phentsize phnum entry
  phoff=$(u32 "$tmp" 28) phentsize=$(u16 "$tmp" 42) phnum=$(u16 "$tmp" 44) entry=$(u32 "$tmp" 24)
  ((phentsize == 32 && phnum >= 2)) || die "$src: unexpected program header table"
  local type offset vaddr filesz memsz flags
  type=$(u32 "$tmp" "$phoff") offset=$(u32 "$tmp" $((phoff + 4)))
  vaddr=$(u32 "$tmp" $((phoff + 8))) filesz=$(u32 "$tmp" $((phoff + 16)))
  memsz=$(u32 "$tmp" $((phoff + 20))) flags=$(u32 "$tmp" $((phoff + 24)))
  if ((type != 1 || offset != 0 || vaddr != 0x08048000 || flags != 4 ||
       filesz != memsz || memsz > 0x1000)); then
    die "$src: first program header is not the expected read-only header page at 0x08048000" \
        "(type $type, vaddr $(printf 0x%x "$vaddr"), size $(printf 0x%x "$memsz"), flags $flags)"
  fi
  ((entry < vaddr || entry >= vaddr + memsz)) || die "$src: entry point lies in the first segment"
  # p_type = PT_NULL (0)
  printf '\x00\x00\x00\x00' | dd of="$tmp" bs=1 seek="$phoff" conv=notrunc status=none
  (($(u32 "$tmp" "$phoff") == 0)) || die "$src: patch did not take"
  chmod 755 "$tmp"
  mv -f "$tmp" "$dst"
  say "patched copy of $src: first program header (0x$(printf %x "$memsz") bytes at 0x08048000) is now PT_NULL"
}

# Wine finds its preloader beside the loader it runs, and takes that directory
# from the loader's real path (/proc/self/exe); the loader finds ntdll.so at
# ../<triplet>/wine and the data files at ../../share/wine from there.  So a
# tree with copies of both loaders, the patched 32-bit preloader and symlinks
# to the packaged libraries and data keeps every Wine process on the copy.
# Returns 0 when the tree was already up to date.
qemu_tree_current() {
  local d=$WINE_QEMU_ROOT/lib/wine f
  for f in wine wine64 wine64-preloader; do
    cmp -s "$WINE_LIB/$f" "$d/$f" || return 1
  done
  [[ -e $d/wine-preloader.source ]] && cmp -s "$WINE_LIB/wine-preloader" "$d/wine-preloader.source" &&
    [[ -x $d/wine-preloader && -L $d/wineserver ]] &&
    [[ -e $WINE_QEMU_ROOT/lib/i386-linux-gnu/wine/i386-unix/ntdll.so ]] &&
    [[ -e $WINE_QEMU_ROOT/lib/x86_64-linux-gnu/wine/x86_64-unix/ntdll.so ]] &&
    [[ -e $WINE_QEMU_ROOT/share/wine/wine.inf ]]
}

build_qemu_tree() {
  qemu_tree_current && return 0
  need_root "creating $WINE_QEMU_ROOT"
  local d=$WINE_QEMU_ROOT/lib/wine
  mkdir -p "$d" "$WINE_QEMU_ROOT/lib/i386-linux-gnu" "$WINE_QEMU_ROOT/lib/x86_64-linux-gnu" \
    "$WINE_QEMU_ROOT/share"
  # Real copies: a symlink would resolve back to /usr/lib/wine.
  cp -f "$WINE_LIB/wine" "$WINE_LIB/wine64" "$d/"
  cp -fL "$WINE_LIB/wine64-preloader" "$d/wine64-preloader"
  patch_preloader "$WINE_LIB/wine-preloader" "$d/wine-preloader"
  # Kept to notice a Wine upgrade on the next run.
  cp -fL "$WINE_LIB/wine-preloader" "$d/wine-preloader.source"
  ln -sfn "$WINE_LIB/wineserver" "$d/wineserver"
  ln -sfn /usr/lib/i386-linux-gnu/wine "$WINE_QEMU_ROOT/lib/i386-linux-gnu/wine"
  ln -sfn /usr/lib/x86_64-linux-gnu/wine "$WINE_QEMU_ROOT/lib/x86_64-linux-gnu/wine"
  ln -sfn /usr/share/wine "$WINE_QEMU_ROOT/share/wine"
  say "Wine loaders for qemu set up in $d"
}

# qemu-i386 for i386 ELF files.  F opens the interpreter now, so it also works
# inside chroots and containers that lack /usr/bin/qemu-i386-static.  Debian's
# qemu-user-static registers no i386 handler on amd64; an existing entry
# (from another package or an earlier run) is kept when it has the F flag.
register_qemu_i386() {
  if [[ ! -e $BINFMT/register ]]; then
    need_root "mounting binfmt_misc"
    mount -t binfmt_misc binfmt_misc "$BINFMT"
  fi
  local entry=$BINFMT/qemu-i386
  if [[ -e $entry ]]; then
    local flags
    flags=$(sed -n 's/^flags: //p' "$entry")
    if grep -qx enabled "$entry" && [[ $flags == *F* ]]; then
      say "qemu-i386 binfmt handler present: $(sed -n 's/^interpreter //p' "$entry"), flags $flags"
      return 0
    fi
    need_root "replacing the qemu-i386 binfmt handler (flags '$flags')"
    say "replacing qemu-i386 binfmt handler (flags '$flags', $(head -1 "$entry"))"
    echo -1 >"$entry"
  fi
  need_root "registering qemu-i386 with binfmt_misc"
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$QEMU_I386:F" >"$BINFMT/register"
  say "registered $QEMU_I386 for i386 ELF files (flags F)"
}

install_wine

# WINE_FORCE_QEMU=1 takes the qemu route on a kernel that needs none, to try it.
if [[ ${WINE_FORCE_QEMU:-0} != 1 ]] && kernel_runs_i386; then
  say "the kernel runs 32-bit x86 code: Wine runs natively from $WINE_LIB"
  exit 0
fi

if [[ ${WINE_FORCE_QEMU:-0} == 1 ]]; then
  say "WINE_FORCE_QEMU=1: 32-bit Wine runs under qemu-i386"
else
  say "the kernel cannot run 32-bit x86 code: 32-bit Wine runs under qemu-i386"
fi
[[ -z $(missing_packages qemu-user-static) ]] || apt_install qemu-user-static
register_qemu_i386
build_qemu_tree
# Proves the copied 32-bit loader starts under qemu and finds ntdll.so.
"$WINE_QEMU_ROOT/lib/wine/wine" --version >/dev/null ||
  die "the 32-bit Wine loader in $WINE_QEMU_ROOT/lib/wine does not start under qemu"
say "ready: scripts/wine-run.sh uses $WINE_QEMU_ROOT/lib/wine"

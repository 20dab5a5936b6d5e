#!/usr/bin/env bash
# Runs a Windows console program under Wine, headless, and passes its exit
# code, stdout and stderr through.
#
#   scripts/wine-run.sh i686|x86_64 PROGRAM.exe [ARGS...]
#   scripts/wine-run.sh --stop        stops the prefix's Wine server
#
# All runs share one 64-bit prefix: $WINEPREFIX, or build-win/wineprefix in
# this checkout.  It is created on first use (about 20 s) and kept.  A
# persistent wineserver keeps later starts fast; call --stop at the end of a
# test run.  Programs see ANSI code page 1252 (see WINE_RUN_LOCALE below).
# Exit codes: the program's own (Wine passes its low 8 bits), 2 for bad usage,
# 125 when the program does not match the architecture or Wine is not ready.
# scripts/setup-wine.sh prepares the machine; when it had to route 32-bit code
# through qemu, the loaders it set up under $WINE_QEMU_ROOT (default
# /opt/wine-on-qemu) are used for both architectures, so that every process of
# the prefix stays on them.
set -euo pipefail

usage() {
  echo "usage: $0 i686|x86_64 PROGRAM.exe [ARGS...] | --stop" >&2
  exit 2
}

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$repo/build-win/wineprefix}
[[ $WINEPREFIX == /* ]] || WINEPREFIX=$PWD/$WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono/Gecko installer prompts; no desktop menu entries written to $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Headless: with no display variable Wine never tries to reach an X server.
unset DISPLAY WAYLAND_DISPLAY
# Wine derives the ANSI code page and the encoding of Unix file names and
# arguments from the locale.  In the plain C locale (a CI shell with LANG
# unset) it cannot even create a file with a non-ASCII name, so a UTF-8
# locale is pinned: ANSI code page 1252, OEM 437, UTF-8 names on disk.
# WINE_RUN_LOCALE picks another one (it must exist: see `locale -a`).
export LC_ALL=${WINE_RUN_LOCALE:-C.UTF-8}

WINE_QEMU_ROOT=${WINE_QEMU_ROOT:-/opt/wine-on-qemu}
loader_dir=/usr/lib/wine
if [[ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  # 32-bit ELF files run under qemu: only the patched preloader works there.
  loader_dir=$WINE_QEMU_ROOT/lib/wine
  if [[ ! -x $loader_dir/wine ]] || ! cmp -s "$loader_dir/wine" /usr/lib/wine/wine; then
    echo "wine-run: $loader_dir is missing or older than the installed Wine;" \
      "run scripts/setup-wine.sh as root" >&2
    exit 125
  fi
elif [[ ! -x $loader_dir/wine64 ]]; then
  echo "wine-run: Wine is not installed; run scripts/setup-wine.sh as root" >&2
  exit 125
elif [[ -x $WINE_QEMU_ROOT/lib/wine/wine ]]; then
  # The registration does not survive a reboot; setup makes it again.
  echo "wine-run: warning: $WINE_QEMU_ROOT exists but qemu-i386 is not registered" \
    "with binfmt_misc; if 32-bit programs fail, run scripts/setup-wine.sh as root" >&2
fi

if [[ ${1-} == --stop ]]; then
  (($# == 1)) || usage
  # Ends the server and every Wine process still running in the prefix.
  if [[ -d $WINEPREFIX ]]; then
    "$loader_dir/wineserver" -k 2>/dev/null || true
    # -k only signals: wait until the server is really gone.
    timeout 30 "$loader_dir/wineserver" -w 2>/dev/null || true
  fi
  exit 0
fi

(($# >= 2)) || usage
case $1 in
  i686) loader=$loader_dir/wine machine=014c ;;
  x86_64) loader=$loader_dir/wine64 machine=8664 ;;
  *) usage ;;
esac
shift

# Wine would run a program of the other architecture without a word; refuse
# it, so that a test meant for one build cannot silently exercise the other.
if [[ -f $1 ]]; then
  # MZ header, PE header offset at 0x3c, machine field after "PE\0\0".
  found=none
  if [[ $(head -c2 "$1") == MZ ]]; then
    pe=$(od -An -v --endian=little -tu4 -j 60 -N4 "$1" 2>/dev/null | tr -d ' ') || true
    if [[ -n $pe ]]; then
      found=$(od -An -v --endian=little -tx2 -j $((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ') || true
    fi
  fi
  if [[ $found != "$machine" ]]; then
    echo "wine-run: $1 is not a PE program for the requested architecture" \
      "(machine ${found:-none}, want $machine)" >&2
    exit 125
  fi
fi

# The first run starts a persistent server and boots the prefix (creating it
# on first use, about 20 s).  The boot starts Wine's background
# processes (services, device drivers), which would inherit the caller's
# stdout/stderr and hold pipes open for as long as the server lives: booting
# here with /dev/null keeps them off the caller's pipes.  The lock makes
# parallel callers wait until the boot is over, so none of them boots itself.
mkdir -p "$WINEPREFIX"
(
  # Creating a prefix takes well under a minute even under qemu.
  flock -w 300 9 || {
    echo "wine-run: gave up waiting for $WINEPREFIX/.wine-run.lock; a process" \
      "still holding it (see: fuser -v $WINEPREFIX/.wine-run.lock) blocks the prefix" >&2
    exit 125
  }
  # Exits with 2 when the prefix's server is already running.  Neither the
  # server nor the boot may inherit the lock's descriptor: they outlive us.
  rc=0
  "$loader_dir/wineserver" -p </dev/null >/dev/null 2>&1 9>&- || rc=$?
  if ((rc == 0)); then
    [[ -e $WINEPREFIX/system.reg ]] || echo "wine-run: creating Wine prefix $WINEPREFIX" >&2
    "$loader_dir/wine64" wineboot.exe --init </dev/null >/dev/null 2>&1 9>&- ||
      { echo "wine-run: booting the Wine prefix $WINEPREFIX failed" >&2; exit 125; }
  fi
) 9>"$WINEPREFIX/.wine-run.lock"

# Under qemu-i386, 32-bit Wine hangs once a program's threads wait on each other
# (FFmpeg's decoder and encoder worker threads do). On one CPU, FFmpeg starts no
# worker threads, so the emulated route pins 32-bit programs to one.
if [[ $loader == "$WINE_QEMU_ROOT/lib/wine/wine" ]]; then
  first_cpu=$(taskset -pc $$ | sed 's/.*: //; s/[,-].*//')
  exec taskset -c "$first_cpu" "$loader" "$@"
fi
exec "$loader" "$@"

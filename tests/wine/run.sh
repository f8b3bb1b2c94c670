#!/usr/bin/env bash
# The Windows build run for real: updater.exe under Wine against card-sim.
#
#   tests/wine/run.sh UPDATER_EXE CARD_SIM WORK_DIR [UPDATER_EXE_32 [UPDATER]]
#
# UPDATER_EXE_32 is only checked (a static .exe that needs system DLLs
# only): these machines run no 32-bit programs.  UPDATER, the native build,
# lets cases compare the two builds' output for the same card and keys.
# WORK_DIR keeps the Wine prefix between runs (about 700 MB, made once in
# 5-11 s) and the temporary folders of the run; it belongs in a build folder.
# Every case_*.sh beside this script runs with the end-to-end helpers of
# tests/e2e/lib.sh, with wine_updater.sh standing in for the native updater:
# COMn becomes $WINEPREFIX/dosdevices/comn -> card-sim's pseudo-terminal.
# WINE_CASES="startup fpga" runs only the named cases.
#
# Without wine, or without a Windows build, the run prints one line saying
# that the Wine cases were skipped, and passes.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
EXE=${1:-}
CARDSIM=${2:-}
DIR=${3:-}
EXE32=${4:-}
NATIVE=${5:-}

if [ -z "$EXE" ] || [ ! -f "$EXE" ]; then
  echo "SKIPPED: no Windows build of the updater (MinGW-w64 not found), so the Wine cases did not run"
  exit 0
fi
if [ -z "$CARDSIM" ] || [ -z "$DIR" ]; then
  echo "usage: $0 UPDATER_EXE CARD_SIM WORK_DIR [UPDATER_EXE_32 [UPDATER]]" >&2
  exit 2
fi
EXE=$(readlink -f "$EXE")
CARDSIM=$(readlink -f "$CARDSIM")
mkdir -p "$DIR"
DIR=$(readlink -f "$DIR")

FAILED=0
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
note_failure() { echo "FAIL: $*"; FAILED=$((FAILED + 1)); }

# A release .exe must run on a bare Windows: system DLLs only.
check_imports() {  # check_imports OBJDUMP EXE
  command -v "$1" >/dev/null 2>&1 || return 0
  local dlls
  dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $dlls; do
    case $dll in
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | api-ms-win-*) ;;
      *) note_failure "$(basename "$2") needs $dll, which is not a system DLL" ;;
    esac
  done
  echo "--- imports of $2: $(echo $dlls)"
}
check_imports x86_64-w64-mingw32-objdump "$EXE"
[ -n "$EXE32" ] && [ -f "$EXE32" ] && check_imports i686-w64-mingw32-objdump "$EXE32"

if ! command -v wine >/dev/null 2>&1; then
  echo "SKIPPED: wine is not installed, so the Wine cases of the Windows build did not run"
  [ "$FAILED" -eq 0 ]
  exit
fi

# Wine, kept quiet and inside WORK_DIR: no display, no Mono or Gecko
# installers, no menu entries, its server socket and the XDG folders here.
export WINEPREFIX=$DIR/prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export TMPDIR=$DIR/tmp XDG_CONFIG_HOME=$DIR/xdg/config XDG_DATA_HOME=$DIR/xdg/data
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$TMPDIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"

started=$(date +%s.%N)
if [ ! -f "$WINEPREFIX/.updater-ready" ]; then
  rm -rf "$WINEPREFIX"
  echo "--- creating the Wine prefix in $WINEPREFIX"
  wineboot -i </dev/null >"$DIR/wineboot.log" 2>&1
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "FAIL: wineboot did not create the prefix:"
    tail -20 "$DIR/wineboot.log"
    exit 1
  fi
  touch "$WINEPREFIX/.updater-ready"
fi

# One server for the whole run; it stays up between the programs and ends
# 30 s after the last one, should this script be killed before its trap
# runs.  The first program after the server starts spawns helpers that keep
# its output open, so a warm-up call comes first.
wineserver -p30 >"$DIR/wineserver.log" 2>&1
trap 'wineserver -k >/dev/null 2>&1' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1
echo "--- Wine ready in $(since "$started") s ($(wine --version 2>/dev/null))"

export WINE_UPDATER_EXE=$EXE
[ -n "$NATIVE" ] && [ -x "$NATIVE" ] && export NATIVE_UPDATER=$(readlink -f "$NATIVE")
cases=${WINE_CASES:-$(cd "$HERE" && ls case_*.sh | sed 's/^case_//; s/\.sh$//')}
for name in $cases; do
  echo "=== wine case: $name"
  t0=$(date +%s.%N)
  bash "$HERE/case_$name.sh" "$HERE/wine_updater.sh" "$CARDSIM" || note_failure "case $name"
  echo "=== $name took $(since "$t0") s"
done

echo "--- Wine cases took $(since "$started") s in all"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# The Windows builds run for real: updater.exe under Wine against card-sim.
#
#   tests/wine/run.sh UPDATER_EXE CARD_SIM WORK_DIR [UPDATER_EXE_32]
#
# UPDATER_EXE is the 64-bit build, UPDATER_EXE_32 the 32-bit one; each runs
# the end-to-end scripts of tests/e2e named below, with wine_updater.sh
# standing in for the native updater (COMn becomes
# $WINEPREFIX/dosdevices/comn -> card-sim's pseudo-terminal, the output is
# brought back to the native form) and E2E_UNDER_WINE=1, which leaves out
# the few checks that only the native build can pass.  Both builds must
# also need nothing but system DLLs.
# WORK_DIR keeps the Wine prefix between runs (about 1.3 GB, made once in
# 10-30 s) and the temporary folders of the run; it belongs in a build
# folder.  WINE_CASES="fpga micro" runs only the named scripts.
#
# Without wine, or without a Windows build, the run prints one line saying
# that the Wine cases were skipped, and exits 77 (ctest's "skipped"); where
# Wine cannot start 32-bit programs only the 64-bit build runs.  Either way
# WORK_DIR/not-run says how many scripts did not run and why, for
# `make test` to repeat at the end of its output.
HERE=$(cd "$(dirname "$0")" && pwd)
E2E=$(cd "$HERE/../e2e" && pwd)
source "$E2E/strict.sh"
trap 'unknown_commands_check || exit 1' EXIT

# The scripts that run under Wine, chosen for time (about 140 s for the
# 64-bit build, 100 s for the 32-bit one): every mode, the start-up paths,
# and the trace and JSON result.  Left out: test_all, test_viper_faults,
# test_viper_devices and test_micro_boot, minutes of real pauses over the
# same port calls as the others; the 32-bit build also skips the
# identification and card-sim scripts.  WINE_CASES overrides both lists.
SCRIPTS_64=${WINE_CASES:-"startup_rules identification cardsim fpga edid gamma remote verify_status micro viper trace_json network"}
SCRIPTS_32=${WINE_CASES:-"startup_rules fpga edid gamma remote verify_status micro viper trace_json network"}

EXE=${1:-}
CARDSIM=${2:-}
DIR=${3:-}
EXE32=${4:-}

# The scripts a full run runs: each list under each build, and the
# Windows-only cases under both.
windows_only=("$HERE"/case_*.sh)
[ -e "${windows_only[0]}" ] || windows_only=()
[ -z "${WINE_CASES:-}" ] || windows_only=()
cases_64=$(( $(wc -w <<<"$SCRIPTS_64") + ${#windows_only[@]} ))
cases_32=$(( $(wc -w <<<"$SCRIPTS_32") + ${#windows_only[@]} ))
[ -z "$DIR" ] || { mkdir -p "$DIR"; rm -f "$DIR/not-run"; }
# not_run COUNT REASON: notes that COUNT scripts did not run.
not_run() {
  echo "SKIPPED: $2, so $1 of the $((cases_64 + cases_32)) Wine test scripts did not run"
  [ -z "$DIR" ] || echo "Windows cases not run: $1 of $((cases_64 + cases_32)) Wine test scripts ($2)." \
    "tools/deps.sh test installs MinGW-w64 and Wine." >"$DIR/not-run"
}

if [ -z "$EXE" ] || [ ! -f "$EXE" ]; then
  not_run $((cases_64 + cases_32)) "no Windows build of the updater: MinGW-w64 not found, or UPDATER_WINDOWS=OFF"
  exit 77
fi
if [ -z "$CARDSIM" ] || [ -z "$DIR" ]; then
  echo "usage: $0 UPDATER_EXE CARD_SIM WORK_DIR [UPDATER_EXE_32]" >&2
  exit 2
fi
EXE=$(readlink -f "$EXE")
CARDSIM=$(readlink -f "$CARDSIM")
DIR=$(readlink -f "$DIR")
if [ -n "$EXE32" ] && [ -f "$EXE32" ]; then
  EXE32=$(readlink -f "$EXE32")
else
  not_run "$cases_32" "no 32-bit Windows build of the updater"
  EXE32=
fi

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
      kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ws2_32.dll | api-ms-win-*) ;;
      *) note_failure "$(basename "$2") needs $dll, which is not a system DLL" ;;
    esac
  done
  echo "--- imports of $2: $(echo $dlls)"
}
check_imports x86_64-w64-mingw32-objdump "$EXE"
[ -z "$EXE32" ] || check_imports i686-w64-mingw32-objdump "$EXE32"

if ! command -v wine >/dev/null 2>&1; then
  not_run $((cases_64 + cases_32)) "wine is not installed"
  [ "$FAILED" -eq 0 ] || exit 1
  exit 77
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
  wineboot -i </dev/null >"$DIR/wineboot.log" 2>&1 || true
  wineserver -w || true
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
trap 'wineserver -k >/dev/null 2>&1 || true; unknown_commands_check || exit 1' EXIT
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "--- Wine ready in $(since "$started") s ($(wine --version 2>/dev/null))"

# Wine runs 32-bit programs only with its 32-bit half installed (Debian:
# wine32:i386); the first 32-bit start also sets up the prefix for them.
if [ -n "$EXE32" ]; then
  version32=$(wine "$EXE32" --version </dev/null 2>"$DIR/wine32.err" | tr -d '\r') || true
  if [[ $version32 != "updater "* ]]; then
    reason=$(head -n 1 "$DIR/wine32.err")
    [ -n "$reason" ] || reason="--version printed '$(head -n 1 <<<"$version32")'"
    not_run "$cases_32" "Wine cannot start the 32-bit updater.exe here: $reason"
    EXE32=
  else
    echo "--- the 32-bit updater.exe starts: $version32"
  fi
fi

for exe in "$EXE" ${EXE32:+"$EXE32"}; do
  export WINE_UPDATER_EXE=$exe
  scripts=$SCRIPTS_64
  [ "$exe" = "$EXE" ] || scripts=$SCRIPTS_32
  for name in $scripts; do
    echo "=== under Wine: $(basename "$(dirname "$exe")")/updater.exe, test_$name"
    t0=$(date +%s.%N)
    E2E_UNDER_WINE=1 bash "$E2E/test_$name.sh" "$HERE/wine_updater.sh" "$CARDSIM" ||
      note_failure "test_$name with $exe"
    echo "=== test_$name took $(since "$t0") s"
  done
  # Cases only the Windows build has (the registry's port list).
  if [ -z "${WINE_CASES:-}" ]; then
    for script in "$HERE"/case_*.sh; do
      [ -e "$script" ] || continue
      echo "=== under Wine: $(basename "$(dirname "$exe")")/updater.exe, $(basename "$script")"
      E2E_UNDER_WINE=1 bash "$script" "$HERE/wine_updater.sh" "$CARDSIM" ||
        note_failure "$(basename "$script") with $exe"
    done
  fi
done

echo "--- Wine cases took $(since "$started") s in all"
exit $((FAILED > 0))

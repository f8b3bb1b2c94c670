#!/usr/bin/env bash
# Runs the Windows updater.exe under Wine as if it were the native updater:
# tests/e2e/lib.sh calls this script in place of the native binary, with the
# same arguments, standard input and working folder.
#
#  * COM ports: each UPDATER_PORT_COMn=PATH in the environment becomes the
#    Wine device link $WINEPREFIX/dosdevices/comn -> the pseudo-terminal
#    behind PATH, so that CreateFileA("\\.\COMn") opens card-sim's line; no
#    PATH, no link (the port does not exist).  The links follow PATH every
#    20 ms while the program runs: a card that drops its line comes back on
#    a new pseudo-terminal, as a USB serial adapter plugged in again keeps
#    its COM name on Windows.
#  * Keys: a terminal on standard input (lib.sh types the keys into one
#    with tests/e2e/pty_keys.py) is handed on, since a terminal is the only
#    place Wine's _getch reads from; any other standard input becomes
#    /dev/null, where _getch returns -1 at once as the native updater's does
#    at the end of input.
#  * Output: the Windows runtime writes "\n" as "\r\n", and Wine's command
#    interpreter prints its own PAUSE text ("Press any key to continue... "
#    without the line break that follows the key on Windows).  Both are
#    brought back to the native form, so that the cases compare the output
#    byte for byte with the native texts.
#
# Environment: WINE_UPDATER_EXE, the .exe to run, and the WINEPREFIX of the
# run.  The exit status is the program's; 124 when stopped by SIGTERM (the
# time-out of lib.sh's run_updater).
set -euo pipefail
DEVICES=$WINEPREFIX/dosdevices
TMP=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
PID=

cleanup() { rm -rf "$TMP"; }
stop() {
  [ -n "$PID" ] && { kill -KILL -- "-$PID" 2>/dev/null || true; }
  normalise
  cleanup
  exit 124
}
trap stop TERM INT

PORT_VARS=$(compgen -e | grep '^UPDATER_PORT_COM' || true)
sync_links() {
  local var name link target
  for var in $PORT_VARS; do
    name=${var#UPDATER_PORT_}
    link=$DEVICES/${name,,}
    target=${!var}
    if [ -e "$target" ]; then
      if [ ! -L "$link" ] || [ ! "$link" -ef "$target" ]; then
        # The card may drop its line at any moment: a link that cannot be
        # made now is made on the next round.
        ln -sfn "$(readlink -f "$target")" "$link" 2>/dev/null || true
      fi
    elif [ -L "$link" ] || [ -e "$link" ]; then
      rm -f "$link"
    fi
  done
}

normalise() {
  perl -0777 -pe 's/\r\n/\n/g; s/Press any key to continue\.\.\. /Press any key to continue . . . \n/g' \
    "$TMP/out"
  perl -0777 -pe 's/\r\n/\n/g' "$TMP/err" >&2
}

: >"$TMP/out"
: >"$TMP/err"
sync_links
# setsid: the run gets a process group of its own, which stop() can end.
# A background job's standard input is /dev/null unless it is redirected
# explicitly, hence the "<&0".
if [ -t 0 ]; then
  setsid wine "$WINE_UPDATER_EXE" "$@" <&0 >"$TMP/out" 2>"$TMP/err" &
else
  setsid wine "$WINE_UPDATER_EXE" "$@" </dev/null >"$TMP/out" 2>"$TMP/err" &
fi
PID=$!
exec {tick}<> <(:)
while kill -0 "$PID" 2>/dev/null; do
  sync_links
  read -r -t 0.02 -u "$tick" _ || true
done
RC=0
wait "$PID" || RC=$?
normalise
cleanup
exit "$RC"

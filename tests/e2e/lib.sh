# Helpers for the end-to-end tests: the real updater binary against card-sim
# on a pseudo-terminal, in real time.  A test script sources this file with
# the two binaries as arguments:
#
#   source "$(dirname "$0")/lib.sh" "$@"
#   start_card --model HDMITOSDI
#   KEYS=" q" run_updater COM7 STATUS   # keys typed on a terminal
#   expect_rc 0
#   expect_out_contains "VXP STATUS"
#   finish                              # prints "N passed, M failed"
#
# Every run happens in its own work folder ($WORK), which is the updater's
# current directory; the card's state is in $WORK/state, its exchange log in
# $WORK/card.log, the updater's console output in $WORK/out.
#
# The scripts run in strict mode (strict.sh): a failing command outside a
# check stops the script, and a call of a command that does not exist fails
# it wherever it happens.
#
# The same scripts test the Windows build under Wine: tests/wine/run.sh
# passes its wrapper as the updater and sets E2E_UNDER_WINE=1; checks that
# only the native build can pass sit behind `native_only`.

source "$(dirname "${BASH_SOURCE[0]}")/strict.sh"

UPDATER=$(readlink -f "$1")
CARDSIM=$(readlink -f "$2")
shift 2
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/updater-e2e.XXXXXX")
PORT_LINK=$WORK/com7
export UPDATER_PORT_COM7=$PORT_LINK
CARD_PID=
UNPLUG_PID=
PASSED=0
FAILED=0
CASE="(setup)"
RC=0

# At exit: the card stopped, unknown commands and an early stop reported as
# failures, the work folder removed unless something failed.
cleanup() {
  local rc=$?
  stop_card
  if ! unknown_commands_check; then rc=1; FAILED=$((FAILED + 1)); fi
  if [ "$rc" -ne 0 ] && [ "$FAILED" -eq 0 ]; then
    echo "FAIL [$CASE]: the script stopped early (status $rc)"
    FAILED=1
  fi
  if [ "$FAILED" -eq 0 ] && [ -z "${KEEP_WORK:-}" ]; then rm -rf "$WORK"; else echo "work folder kept: $WORK"; fi
  exit "$rc"
}
trap cleanup EXIT

# case NAME: starts a named group of checks.
case_() { CASE=$1; echo "--- $CASE"; }

pass() { PASSED=$((PASSED + 1)); }
fail() {
  FAILED=$((FAILED + 1))
  echo "FAIL [$CASE]: $*"
}

# start_card [card-sim options]: starts the card on $PORT_LINK.
start_card() {
  stop_card
  rm -f "$PORT_LINK"
  "$CARDSIM" --link "$PORT_LINK" --state "$WORK/state" --log "$WORK/card.log" "$@" \
    >"$WORK/card.out" 2>"$WORK/card.err" &
  CARD_PID=$!
  for _ in $(seq 1 200); do
    [ -L "$PORT_LINK" ] && return 0
    kill -0 "$CARD_PID" 2>/dev/null || break
    sleep 0.01
  done
  fail "card-sim did not start: $(cat "$WORK/card.err")"
  return 1
}

stop_card() {
  if [ -n "$UNPLUG_PID" ]; then
    kill "$UNPLUG_PID" 2>/dev/null || true
    wait "$UNPLUG_PID" 2>/dev/null || true
    UNPLUG_PID=
  fi
  if [ -n "$CARD_PID" ]; then
    kill "$CARD_PID" 2>/dev/null || true
    wait "$CARD_PID" 2>/dev/null || true
    CARD_PID=
  fi
}

# unplug_when_card_hears REGEX: once the card's log shows REGEX, removes the
# card's line link in the background (under Wine the COM device link goes
# with it): from then on COM7 cannot be opened again, so a run that reopens
# the port fails, while one that keeps its handle goes on.
unplug_when_card_hears() {
  (
    for _ in $(seq 1 3000); do
      if grep -qE -- "$1" "$WORK/card.log" 2>/dev/null; then rm -f "$PORT_LINK"; exit 0; fi
      sleep 0.01
    done
  ) &
  UNPLUG_PID=$!
}

# wait_for FILE REGEX SECONDS: until FILE shows REGEX (true), or for SECONDS
# at most (false).
wait_for() {
  for _ in $(seq 1 "$(($3 * 100))"); do
    grep -qE -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.01
  done
  return 1
}

# interrupt_when FILE REGEX SECONDS ARGS...: runs the updater in $WORK with
# ARGS and no input (output in $WORK/out, standard error in $WORK/err),
# sends it SIGINT once FILE shows REGEX, and sets RC to its exit status.
interrupt_when() {
  local file=$1 regex=$2 seconds=$3 pid
  shift 3
  (cd "$WORK" && exec "$UPDATER" "$@" </dev/null >"$WORK/out" 2>"$WORK/err") &
  pid=$!
  wait_for "$file" "$regex" "$seconds" || fail "${file##*/} never showed $regex"
  kill -INT "$pid"
  RC=0
  wait "$pid" || RC=$?
}

# [KEYS=...] run_updater ARGS...: runs the updater in $WORK.  Output in
# $WORK/out, standard error in $WORK/err, status in $RC.  Without KEYS,
# standard input is empty: every key wait meets the end of input at once.
# With KEYS, standard input is a terminal on which those keys are typed
# (pty_keys.py), the only way keys reach the Windows console under Wine; a
# terminal has no end of input, so KEYS must answer every key wait.
run_updater() {
  RC=0
  if [ -n "${KEYS:-}" ]; then
    printf '%s' "$KEYS" >"$WORK/keys"
    (cd "$WORK" && timeout "${RUN_TIMEOUT:-300}" python3 "$E2E_DIR/pty_keys.py" "$WORK/keys" \
       "$UPDATER" "$@" >"$WORK/out" 2>"$WORK/err") || RC=$?
  else
    (cd "$WORK" && timeout "${RUN_TIMEOUT:-300}" "$UPDATER" "$@" </dev/null \
       >"$WORK/out" 2>"$WORK/err") || RC=$?
  fi
}

# native_only REASON: true for the native build; under Wine false, with a
# line that says which checks were left out and why.
native_only() {
  [ -z "${E2E_UNDER_WINE:-}" ] && return 0
  echo "SKIPPED under Wine [$CASE]: $1"
  return 1
}

expect_rc() {
  if [ "$RC" -eq "$1" ]; then pass; else fail "exit status $RC, expected $1"; show_out; fi
}

# expect_out FILE: the console output equals FILE byte for byte.
expect_out() {
  if cmp -s "$WORK/out" "$1"; then pass; else
    fail "output differs from $(basename "$1")"
    diff <(od -c "$1") <(od -c "$WORK/out") | head -20 || true
  fi
}

# expect_out_printf FORMAT ARGS...: the output equals printf's result.
expect_out_printf() {
  printf "$@" >"$WORK/expected"
  expect_out "$WORK/expected"
}

expect_out_contains() {
  if grep -qF -- "$1" "$WORK/out"; then pass; else fail "output lacks: $1"; show_out; fi
}

expect_err_contains() {
  if grep -qF -- "$1" "$WORK/err"; then pass; else fail "stderr lacks: $1"; cat "$WORK/err"; fi
}

expect_out_lacks() {
  if grep -qF -- "$1" "$WORK/out"; then fail "output has: $1"; show_out; else pass; fi
}

# expect_log_lacks TEXT: the card's exchange log does not mention TEXT.
expect_log_lacks() {
  if grep -qF -- "$1" "$WORK/card.log"; then fail "card log has: $1"; else pass; fi
}

# expect_same FILE1 FILE2: two files are equal (the card's state and an image).
expect_same() {
  if cmp -s "$1" "$2"; then pass; else fail "$(basename "$1") differs from $(basename "$2")"; fi
}

# card_bytes received|sent: every byte the card received from the updater
# (or sent to it), in order, as one line of hex.  Log lines split where the
# pseudo-terminal's reads happened to split, so tests look at this instead.
card_bytes() {
  local dir='<'
  [ "$1" = sent ] && dir='>'
  awk -v d="$dir" '$2 == d { for (i = 3; i <= NF; i++) if ($i !~ /^@/) printf "%s ", $i }' "$WORK/card.log"
  echo
}

show_out() { echo "  output was:"; sed -n '1,60p' "$WORK/out" | cat -A | sed 's/^/    /'; }

# The banner the updater prints for a card, as printf arguments.
banner() {  # banner "MODEL NAME" "VERSION WORD or Unknown" [PLUS]
  local name=$1 version=$2 plus=${3:-}
  printf '\nNow communicating with the card to obtain version information...OK'
  printf '\r\n* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n'
  if [ -n "$plus" ]; then printf '\t\t\t\t\t\t\t*\r*\t\t\t%s PLUS\n' "$name"
  else printf '\t\t\t\t\t\t\t*\r*\t\t\t%s\n' "$name"; fi
  printf '*\t\t\t\t\t\t\t*\n'
  printf '\t\t\t\t\t\t\t*\r*\tUpdater Version   -> 2.30\n'
  printf '*\t\t\t\t\t\t\t*\n'
  printf '\t\t\t\t\t\t\t*\r*\tSoftware Version  -> %s\n' "$version"
  printf '* * * * * * * * * * * * * * * * * * * * * * * * * * * * *\n'
}

# MICRO's files in $WORK: kernels a few hundred bytes long and an image of
# 1024 bytes for 0x000 and PART2_BYTES from 0x800, with the flash it must
# leave in expected_flash.bin.  The micro kernel is echoed byte by byte at
# 9600 bit/s: it holds every byte value, 0x11 and 0x13 among them, which
# only a line without XON/XOFF carries.
micro_files() {  # micro_files PART2_BYTES
  local gen="python3 $E2E_DIR/micro_image.py"
  python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) + bytes(range(44)))' \
    >"$WORK/uGen7144.cde"
  head -c 200 /dev/urandom >"$WORK/Genm7144.cde"
  head -c 150 /dev/urandom >"$WORK/Genw7144.cde"
  head -c 1024 /dev/urandom >"$WORK/part1.bin"
  head -c "$1" /dev/urandom >"$WORK/part2.bin"
  $gen srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --record 32
  $gen flash "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/expected_flash.bin"
}

finish() {
  echo "$PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ] && exit 0
  exit 1
}

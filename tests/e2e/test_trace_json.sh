#!/usr/bin/env bash
# --trace and --json with the real binaries: a VERIFY run whose trace holds
# the same bytes as the card's own log, both ways, and whose JSON result
# Python reads; the result of a refused run; and a trace kept up to the
# moment the run was interrupted.  The other endings' results are in the
# unit tests (FrontEnd.JsonResultIsTheLastLineOfEveryEnding).
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_image "$WORK/Device5.bin" 0x400 5
mkdir -p "$WORK/state"
cp "$WORK/Device5.bin" "$WORK/state/flash5.bin"

# expect_json CONDITION: the output's last line is one JSON object `d` for
# which the Python expression CONDITION holds.
expect_json() {
  if tail -n 1 "$WORK/out" | python3 -c '
import json, sys
d = json.loads(sys.stdin.read())
sys.exit(0 if eval("(" + sys.argv[1] + ")") else 1)' "$1"; then pass; else
    fail "JSON result: $1"
    tail -n 1 "$WORK/out"
  fi
}

# trace_bytes FILE out|in: the bytes a trace recorded one way, as
# card_bytes prints the card's.
trace_bytes() {
  local dir='<'
  [ "$2" = in ] && dir='>'
  awk -v d="$dir" '$2 == d { for (i = 3; i <= NF; i++) if ($i !~ /^@/) printf "%s ", $i }' "$1"
  echo
}

case_ "VERIFY: the trace lines up with the card's log, the JSON result describes the run"
start_card --model HDMITOSDI --version "2 3.1"
run_updater COM7 VERIFY Device5.bin --trace trace.log --json
expect_rc 0
if [ "$(tail -n 2 "$WORK/out" | head -n 1)" = "Exit updater" ]; then pass; else
  fail "the result is not right after the exit line"; fi
sha=$(sha256sum "$WORK/Device5.bin" | cut -d' ' -f1)
expect_json 'list(d) == ["version", "port", "mode", "file", "file_size", "file_sha256",
  "card_model", "card_variant", "card_plus", "firmware_version", "outcome", "exit_status",
  "elapsed_seconds", "failed_step", "message", "mismatch_count", "first_mismatch_address"]'
expect_json "d['mismatch_count'] == 0 and d['first_mismatch_address'] is None"
expect_json "d['version'] == '2.30' and d['port'] == 'COM7' and d['mode'] == 'VERIFY'
  and d['file'] == 'Device5.bin' and d['file_size'] == 1024 and d['file_sha256'] == '$sha'
  and d['card_model'] == 'HDMI TO SDI' and d['card_variant'] == 2 and d['card_plus']
  and d['firmware_version'] == '3.1' and d['outcome'] == 'success' and d['exit_status'] == 0
  and d['failed_step'] is None and 0 < d['elapsed_seconds'] < 60"
stop_card  # the card's log is complete
if [ "$(trace_bytes "$WORK/trace.log" out)" = "$(card_bytes received)" ]; then pass; else
  fail "the bytes the trace sent differ from those the card received"; fi
if [ "$(trace_bytes "$WORK/trace.log" in)" = "$(card_bytes sent)" ]; then pass; else
  fail "the bytes the trace received differ from those the card sent"; fi
# The port's device: card-sim's link here, the COM device under Windows.
device=$PORT_LINK
[ -n "${E2E_UNDER_WINE:-}" ] && device='\\.\COM7'
head -n 5 "$WORK/trace.log" >"$WORK/head"
# The fine timer: a 1 us slack natively, winmm's timeBeginPeriod(1) under Wine.
if grep -q '^ *[0-9.]*  # updater trace, started ' "$WORK/head" &&
   grep -q '  # updater 2.30$' "$WORK/head" &&
   grep -qE "  # command line: .*updater(\.exe)? COM7 VERIFY Device5.bin --trace trace.log --json\$" \
     "$WORK/head" &&
   grep -qF "  # port COM7 ($device)" "$WORK/head" &&
   grep -q '  # fine timer: granted$' "$WORK/head"; then pass; else
  fail "trace header"; cat "$WORK/head"; fi
python3 - "$WORK/trace.log" <<'PY' && pass || fail "trace steps out of order"
import sys
text = open(sys.argv[1]).read()
at = 0
for step in ["# card command #DEVERSION", "# card command #DEVTYPE",
             "# card HDMI TO SDI, variant 2 (PLUS), firmware 3.1", "# mode VERIFY start",
             "# ISP request 5502 mode: read back device 5 from 0x00000000, 1024 bytes",
             "# ISP request 0632 mode status", "# ISP request 0639 flash read",
             "# ISP answer F73A read answer, 16 words", "# mode VERIFY end: success",
             "# run ended: exit status 0"]:
    at = text.find(step, at)
    if at < 0:
        sys.exit("missing or out of order: " + step)
PY

case_ "a refusal prints the result too: a trace file that cannot be made"
run_updater COM7 STATUS --trace "$WORK/no-such-folder/t.log" --json
expect_rc 2
expect_out_contains "Cannot create the trace file $WORK/no-such-folder/t.log: "
expect_json "d['failed_step'] == 'trace' and d['exit_status'] == 2 and d['outcome'] == 'refused'
  and d['card_model'] is None"

case_ "an interrupted run keeps its trace up to the last byte"
start_card --silent
# The command's last byte is in the file while the run waits for an answer.
interrupt_when "$WORK/silent.log" '<  0D$' 10 COM7 STATUS --trace silent.log
if grep -q '  # card command #DEVERSION$' "$WORK/silent.log" &&
   grep -q '<  0D$' "$WORK/silent.log"; then pass; else
  fail "the interrupted run's trace"; cat "$WORK/silent.log"; fi

finish

#!/usr/bin/env bash
# Several cards in one run: one child updater per port against cards on
# their own pseudo-terminals, a missing card beside a healthy one, a port
# listed twice, and Ctrl-C on a terminal.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_image "$WORK/Device5.bin" 0x400 5

# A second card on COM8; COM9 names a device that is not there.
export UPDATER_PORT_COM8=$WORK/com8 UPDATER_PORT_COM9=$WORK/nothing
"$CARDSIM" --link "$WORK/com8" --state "$WORK/state8" --log "$WORK/card8.log" \
  --model HDMITOSDI --version "2 3.1" >/dev/null 2>&1 &
CARD8_PID=$!
trap 'kill "$CARD8_PID" 2>/dev/null; wait "$CARD8_PID" 2>/dev/null; cleanup' EXIT
start_card --model HDMITOSDI
for _ in $(seq 1 200); do [ -L "$WORK/com8" ] && break; sleep 0.01; done

# expect_json_results 'PORT:STATUS ...': the last line is a JSON array with
# one object per port, in this order, with these exit statuses.
expect_json_results() {
  python3 - "$WORK/out" "$@" <<'PY' && pass || fail "JSON results: $(tail -n 1 "$WORK/out")"
import json, sys
results = json.loads(open(sys.argv[1], "rb").read().decode().splitlines()[-1])
assert [(r["port"], r["exit_status"]) for r in results] == \
    [(w.split(":")[0], int(w.split(":")[1])) for w in sys.argv[2:]], results
PY
}

case_ "a port listed twice is refused before anything starts"
run_updater COM7,COM8,com7 STATUS
expect_rc 2
expect_out_printf 'Port COM7 is listed twice.\n\nExit updater\n'
[ -z "$(card_bytes received | tr -d ' \n')" ] && pass || fail "the card on COM7 was spoken to"

case_ "a healthy card and a missing one: both in the summary, exit 1"
run_updater COM7,COM9 STATUS --json
expect_rc 1
expect_out_contains "COM7: Device Name         -> VXP GF9350"
expect_out_contains "COM9: Failed to open COM9"
expect_out_contains $'\nPort  Card         Firmware  Outcome'
expect_out_contains $'\nCOM7  HDMI TO SDI  2.5       success  '
expect_out_contains $'\nCOM9  -            -         failure (exit 1) at open  '
expect_json_results COM7:0 COM9:1

case_ "two healthy cards: both flashed, lines and progress under their port"
run_updater COM7,COM8 VIPER Device5.bin
expect_rc 0
expect_same "$WORK/state/flash5.bin" "$WORK/Device5.bin"
expect_same "$WORK/state8/flash5.bin" "$WORK/Device5.bin"
expect_out_contains $'\nCOM8: Job at 100%\n'
expect_out_contains $'\nCOM7  HDMI TO SDI       2.5       success  '
expect_out_contains $'\nCOM8  HDMI TO SDI PLUS  3.1       success  '
expect_out_lacks '"card_model"'
# Every line before the summary is a port's; each port's progress shows
# each whole percentage at most once per job (three jobs here).
python3 - "$WORK/out" <<'PY' && pass || fail "unprefixed or repeated lines"
import collections, sys
lines = open(sys.argv[1]).read().split("\n\nPort ")[0].split("\n")
assert all(l.startswith(("COM7: ", "COM8: ")) for l in lines), [l for l in lines if l[:4] != "COM"]
progress = collections.Counter(l for l in lines if " Job at " in l)
assert 100 < len(progress) < 700 and max(progress.values()) <= 3, progress.most_common(3)
PY
# The progress moves come on the children's report channel, not from their
# console text: the completion there is "Job at 100.00 %", where the console
# prints "Job at 100%".
python3 - "$WORK/out" <<'PY' && pass || fail "progress not from the report channel"
import re, sys
lines = open(sys.argv[1]).read().split("\n\nPort ")[0].split("\n")
moves = [l for l in lines if re.fullmatch(r"COM[78]: Job at \d+\.\d\d %", l)]
assert "COM7: Job at 100.00 %" in moves and "COM8: Job at 100.00 %" in moves, moves[-5:]
assert all(re.fullmatch(r"COM[78]: Job at (\d+\.\d\d %|100%)", l) for l in lines if " Job at " in l)
PY

case_ "Ctrl-C on a terminal ends every child, leaves the terminal as it was"
(cd "$WORK" && python3 - "$WORK/ctrl-c.out" "$UPDATER" COM7,COM8 VIPER Device5.bin) \
  <<'PY' >"$WORK/out" 2>&1
import os, pty, select, struct, sys, termios, fcntl, time
pid, fd = pty.fork()
if pid == 0:
    os.environ["TERM"] = "xterm"
    os.execv(sys.argv[2], sys.argv[2:])
fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
before = termios.tcgetattr(fd)
out, start, sent = b"", time.time(), None
while time.time() - start < 60:
    if sent is None and b"Waiting 5 sec" in out:
        os.write(fd, b"\x03")
        sent = time.time()
    if select.select([fd], [], [], 0.1)[0]:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        out += data
_, status = os.waitpid(pid, 0)
open(sys.argv[1], "wb").write(out)
print("status", os.waitstatus_to_exitcode(status))
print("ended within 5 s" if sent and time.time() - sent < 5 else "late")
print("terminal unchanged" if termios.tcgetattr(fd) == before else "terminal changed")
PY
expect_out_contains "status 130"
expect_out_contains "ended within 5 s"
expect_out_contains "terminal unchanged"
grep -q $'\x1b\\[2A' "$WORK/ctrl-c.out" && pass || fail "no status lines redrawn"
grep -q "COM8  HDMI TO SDI PLUS  3.1       interrupted" "$WORK/ctrl-c.out" && pass ||
  fail "no interrupted row: $(tail -n 4 "$WORK/ctrl-c.out")"
pgrep -f -- "$UPDATER COM[78] VIPER" >/dev/null && fail "a child is still running" || pass

finish

#!/usr/bin/env bash
# card-sim as a product: its options, its exchange log, and a line that is
# dropped and comes back (the updater reopens the port and goes on).
source "$(dirname "$0")/lib.sh" "$@"

case_ "bad options are refused with exit status 2"
RC=0; "$CARDSIM" --no-such-option >"$WORK/o" 2>"$WORK/e" || RC=$?
expect_rc 2
grep -q "unknown option '--no-such-option'" "$WORK/e" && pass || fail "no clear message: $(cat "$WORK/e")"
RC=0; "$CARDSIM" --model >"$WORK/o" 2>"$WORK/e" || RC=$?
expect_rc 2
grep -q "needs a value" "$WORK/e" && pass || fail "no clear message: $(cat "$WORK/e")"
RC=0; "$CARDSIM" --help >"$WORK/o" 2>&1 || RC=$?
expect_rc 0
grep -q -- "--old-firmware" "$WORK/o" && pass || fail "help lacks the options"

case_ "the exchange log shows both directions in hex"
start_card --model SDITOHDMI --version "1 7.2"
run_updater COM7
expect_rc 2
grep -qF "00 00 23 44 45 56 45 52 53 49 4F 4E 0D 23 44 45 56 54 59 50 45 0D" <(card_bytes received) && pass || fail "no probe and requests in the log"
grep -qF "23 44 45 56 54 59 50 45 20 53 44 49 54 4F 48 44 4D 49 0D" <(card_bytes sent) && pass || fail "no model answer in the log"
grep -q '# command #DEVTYPE' "$WORK/card.log" && pass || fail "no note in the log"

case_ "a dropped line is reopened and identification goes on"
start_card --model HDMITOSDI --replug 1
run_updater COM7
expect_rc 2
expect_out_contains "HDMI TO SDI"
grep -q "line replugged" "$WORK/card.log" && pass || fail "the card did not drop the line"

# line_probe stall|vanish: talks to the card on $PORT_LINK as a port would.
line_probe() {
  python3 - "$PORT_LINK" "$1" <<'PY'
import os, select, sys, time, tty
link, what = sys.argv[1], sys.argv[2]
first = os.path.realpath(link)
fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
if what == "stall":
    # The card stops reading at the command: the line fills and writes stall.
    os.write(fd, b"#EDID 1\r")
    time.sleep(0.3)
    sent, deadline = 0, time.time() + 5
    while time.time() < deadline:
        try:
            sent += os.write(fd, b"\x01" * 4096)
        except BlockingIOError:
            # A reading card soon makes room again; this one never does.
            if not select.select([], [fd], [], 1.0)[1]:
                sys.exit(0)
    sys.exit("writes never stalled for good (%d bytes taken)" % sent)
# The line drops in the middle of a script line's exchange.
os.write(fd, b"\r#GAIN 3\r")
deadline = time.time() + 3
while time.time() < deadline:
    select.select([fd], [], [], 0.2)
    try:
        if os.read(fd, 64) == b"":
            break
    except BlockingIOError:
        continue
    except OSError:
        break
else:
    sys.exit("the line never dropped")
time.sleep(0.3)
sys.exit(0 if os.path.realpath(link) != first else "the link did not move")
PY
}

case_ "a card that stops reading stalls the writer; a line that vanishes hangs up"
start_card --channel-fault stall@edid
line_probe stall >"$WORK/o" 2>&1 && pass || fail "$(cat "$WORK/o")"
grep -q "card stops reading the line" "$WORK/card.log" && pass || fail "no note of the stall"
start_card --channel-fault vanish@remote
line_probe vanish >"$WORK/o" 2>&1 && pass || fail "$(cat "$WORK/o")"
grep -q "fault vanish@remote on channel-fault exchange" "$WORK/card.log" && pass || fail "no note of the fault"

finish

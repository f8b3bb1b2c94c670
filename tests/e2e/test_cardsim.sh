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

finish

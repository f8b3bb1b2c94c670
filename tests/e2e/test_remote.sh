#!/usr/bin/env bash
# REMOTE mode against the simulated card: every kind of script line, a card
# that refuses one command and leaves another unanswered, and a script the
# card acknowledges in full.  Last, the four card features one after the
# other against one card, as an operator would run them.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/features_lib.sh"

case_ "a script with a refused and an unanswered command"
printf '; set-up script\n@Setting the output\r\n#OUTPUT 1\r\n&100\n#FORMAT 9\n$ check the picture\n&\n#MUTE 1\n\n@Done' >"$WORK/remote.txt"
start_card --model SDITODVI --remote-nack FORMAT --remote-silent MUTE
KEYS=k run_updater COM7 REMOTE remote.txt
expect_rc 1
{ banner "DL-SDI TO DVI" 2.5
  printf '\n->Remote Function...Now executing the function in the remote.txt file...\n'
  printf '\nSetting the output\r\n\nACK received...\n\nNACK received...\n'
  printf 'Press a key to continue!\r                                                     '
  printf '\nNACK received...\n\nDone\n->ACK : 1 / 2  \n->NACK : 1 / 2  \nEnd of remote.txt\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"
printf 'ACK OUTPUT 1\nNACK FORMAT 9\n' >"$WORK/remote.expected"
expect_same "$WORK/state/remote.log" "$WORK/remote.expected"

case_ "every command acknowledged"
printf '#OUTPUT 1\n#FORMAT 2\n' >"$WORK/ok.txt"
start_card --model SDITODVI
run_updater COM7 REMOTE ok.txt
expect_rc 0
expect_out_contains $'\n->ACK : 2 / 2  \n->NACK : 0 / 2  \nEnd of remote.txt'

case_ "FPGA, EDID, GAMMA and REMOTE one after the other on one card"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
head -c 128 /dev/urandom >"$WORK/EDID.bin"
python3 -c 'print("\n".join(f"{i},{i},{i}" for i in range(1024)))' >"$WORK/gamma.csv"
start_card --model HDMITOSDI
run_updater COM7 FPGA fpga.xsvf
expect_rc 0
run_updater COM7 EDID EDID.bin
expect_rc 0
run_updater COM7 GAMMA gamma.csv
expect_rc 0
run_updater COM7 REMOTE ok.txt
expect_rc 0
expect_same "$WORK/state/fpga.xsvf" "$WORK/fpga.xsvf"
expect_same "$WORK/state/edid.bin" "$WORK/EDID.bin"
tr -d '\r' <"$WORK/gamma.csv" >"$WORK/gamma.expected"
expect_same "$WORK/state/gamma.txt" "$WORK/gamma.expected"

finish

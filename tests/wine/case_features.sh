#!/usr/bin/env bash
# The card features under Wine: an EDID image of binary bytes and a gamma
# table with CRLF line ends, both read in binary mode as on POSIX; a command
# script whose key wait reads the console and whose printed "\r\n" survives
# the runtime's line-end translation.
source "$(dirname "$0")/../e2e/lib.sh" "$@"
source "$(dirname "$0")/wine_lib.sh"

case_ "EDID: one block of binary bytes"
python3 - "$WORK/EDID.bin" <<'PY'
import sys
data = bytearray((i * 37 + 11) & 0xFF for i in range(128))
data[0:8] = b"\x00\xff\xff\xff\xff\xff\xff\x00"
data[20:24] = b"\r\n\x1a\n"  # line ends and the text-mode end-of-file byte
data[127] = (-sum(data[:127])) & 0xFF
open(sys.argv[1], "wb").write(bytes(data))
PY
start_card --model HDMITOSDI
run_updater COM7 EDID EDID.bin
if ! mode_missing; then
  expect_rc 0
  { banner "HDMI TO SDI" 2.5
    printf '\n->Program EDID with  128 bytes...\nSuccess\n\nTotal Time : M minutes S seconds\n\n\nExit updater\n'; } >"$WORK/expected"
  expect_out_timeless "$WORK/expected"
  expect_same "$WORK/state/edid.bin" "$WORK/EDID.bin"
fi

case_ "GAMMA: a table with CRLF line ends and mixed separators"
python3 - "$WORK/gamma.csv" "$WORK/gamma.expected" <<'PY'
import sys
seps = [",", ";", " ", ", "]
lines, card = ["% gamma table"], []
for i in range(1024):
    r, g, b = i, 1023 - i, (i * 7) % 1024
    lines.append(f"{r}{seps[i % 4]}{g}{seps[i % 4]}{b}")
    card.append(f"{r},{g},{b}")
open(sys.argv[1], "w", newline="").write("\r\n".join(lines) + "\r\n")
open(sys.argv[2], "w").write("\n".join(card) + "\n")
PY
start_card --model SDITOHDMI --gamma-greeting $'OK\r\n'
run_updater COM7 GAMMA gamma.csv
if ! mode_missing; then
  expect_rc 0
  { banner "DL-SDI TO HDMI" 2.5
    printf '\n->Analysing Gamma File...OK\n->Sending Gamma Data...Success\n\n\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  expect_same "$WORK/state/gamma.txt" "$WORK/gamma.expected"
fi

case_ "REMOTE: refused and unanswered commands, a key from the console"
printf '; set-up script\n@Setting the output\r\n#OUTPUT 1\r\n&100\n#FORMAT 9\n$ check the picture\n&\n#MUTE 1\n\n@Done' >"$WORK/remote.txt"
start_card --model SDITODVI --remote-nack FORMAT --remote-silent MUTE
RUN_TIMEOUT=60 run_updater COM7 REMOTE remote.txt <<<"k"
if ! mode_missing; then
  expect_rc 1
  { banner "DL-SDI TO DVI" 2.5
    printf '\n->Remote Function...Now executing the function in the remote.txt file...\n'
    printf '\nSetting the output\r\n\nACK received...\n\nNACK received...\n'
    printf 'Press a key to continue!\r                                                     '
    printf '\nNACK received...\n\nDone\n->ACK : 1 / 2  \n->NACK : 1 / 2  \nEnd of remote.txt\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  printf 'ACK OUTPUT 1\nNACK FORMAT 9\n' >"$WORK/remote.expected"
  expect_same "$WORK/state/remote.log" "$WORK/remote.expected"
fi

finish

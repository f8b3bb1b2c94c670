#!/usr/bin/env bash
# FPGA mode against the simulated card, which reads the XSVF stream as it
# arrives and asks for each instruction's bytes: the stream the card got,
# the console text, the exit status; blocks of more than 1000 bytes; a card
# that does not confirm success; a request past the end of the file.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/features_lib.sh"

case_ "small stream: every byte on request, Success"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
start_card --model HDMITOSDI
run_updater COM7 FPGA fpga.xsvf
expect_rc 0
{ banner "HDMI TO SDI" 2.5; printf '\n->Programming FPGA...\n\rJob at 100.00 %%\nSuccess\nExit updater\n'; } >"$WORK/expected"
expect_progress_out "$WORK/expected"
expect_same "$WORK/state/fpga.xsvf" "$WORK/fpga.xsvf"

case_ "9000-bit registers: block requests of 1125 and 2250 bytes, noisy requests"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/wide.xsvf" --wide 9000
start_card --model SDITODVI --fpga-trailing $'\r\n' --fpga-stray '?'
run_updater COM7 FPGA wide.xsvf
expect_rc 0
{ banner "DL-SDI TO DVI" 2.5; printf '\n->Programming FPGA...\n\rJob at 100.00 %%\nSuccess\nExit updater\n'; } >"$WORK/expected"
expect_progress_out "$WORK/expected"
expect_same "$WORK/state/fpga.xsvf" "$WORK/wide.xsvf"
if grep -q '> 24 24 08 CA' "$WORK/card.log"; then pass; else fail "no 2250-byte request in the card log"; fi

case_ "the card ends without success"
start_card --model DVITOSDI --fpga-verdict E
run_updater COM7 FPGA fpga.xsvf
expect_rc 1
{ banner "DVI TO SDI" 2.5; printf '\n->Programming FPGA...\n\rJob at 100.00 %%\nThe card did not confirm success\nExit updater\n'; } >"$WORK/expected"
expect_progress_out "$WORK/expected"

case_ "a request past the end of the file stops the stream"
head -c 3 "$WORK/fpga.xsvf" >"$WORK/short.xsvf"
start_card --model DVITOSDI --fpga-plan '2,*,*'
run_updater COM7 FPGA short.xsvf
expect_rc 1
{ banner "DVI TO SDI" 2.5
  printf '\n->Programming FPGA...\n\rJob at 100.00 %%Taille du fichier : 3\n\n/**********************************/\n\nExit updater\n'; } >"$WORK/expected"
expect_progress_out "$WORK/expected"
# Where the file ended, and nothing else (no stale system error text).
if [ "$(cat "$WORK/err")" = "File read error
: short.xsvf ends after 3 bytes, the card asked for 1 more" ]; then pass; else
  fail "stderr does not say where the file ended"; cat "$WORK/err"; fi

finish

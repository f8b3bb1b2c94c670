#!/usr/bin/env bash
# FPGA under Wine: the time-outs {0, 0, 50, 0, 50} with Win32 semantics (a
# read returns after at most 50 ms), the card's byte and block requests, a
# stream that holds every byte value (0x11 and 0x13 among them: the port
# must run without XON/XOFF), and a file read error through perror.
source "$(dirname "$0")/../e2e/lib.sh" "$@"
source "$(dirname "$0")/wine_lib.sh"

done_text='\n->Programming FPGA...\n\rJob at 100.00 %%\nSuccess\nExit updater\n'

case_ "small stream: every byte on request, Success"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
start_card --model HDMITOSDI
run_updater COM7 FPGA fpga.xsvf
if ! mode_missing; then
  expect_rc 0
  { banner "HDMI TO SDI" 2.5; printf "$done_text"; } >"$WORK/expected"
  expect_progress_out "$WORK/expected"
  expect_same "$WORK/state/fpga.xsvf" "$WORK/fpga.xsvf"
fi

case_ "every byte value, block requests over 1000 bytes, noisy requests"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/wide.xsvf" --wide 9000
start_card --model SDITODVI --fpga-trailing $'\r\n' --fpga-stray '?'
run_updater COM7 FPGA wide.xsvf
if ! mode_missing; then
  expect_rc 0
  { banner "DL-SDI TO DVI" 2.5; printf "$done_text"; } >"$WORK/expected"
  expect_progress_out "$WORK/expected"
  expect_same "$WORK/state/fpga.xsvf" "$WORK/wide.xsvf"
fi

case_ "a request past the end of the file: File read error"
head -c 3 "$WORK/fpga.xsvf" >"$WORK/short.xsvf"
start_card --model DVITOSDI --fpga-plan '2,*,*'
run_updater COM7 FPGA short.xsvf
if ! mode_missing; then
  expect_rc 1
  { banner "DVI TO SDI" 2.5
    printf '\n->Programming FPGA...\n\rJob at 100.00 %%Taille du fichier : 3\n\n/**********************************/\n\nExit updater\n'; } >"$WORK/expected"
  expect_progress_out "$WORK/expected"
  expect_err_contains "File read error"
fi

finish

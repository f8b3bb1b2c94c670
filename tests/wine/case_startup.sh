#!/usr/bin/env bash
# The Windows start-up path under Wine: the COM port through CreateFileA on
# "\\.\COM7", GetCommState/SetCommState/SetCommTimeouts, identification and
# banner over ReadFile/WriteFile with the polling time-outs, the port reopened
# after a dropped line, usage and file-rule errors, PAUSE, a port that does
# not exist, and the appMain.mot size check through CreateFileA and
# GetFileSize.  Output is compared byte for byte with the native text.
source "$(dirname "$0")/../e2e/lib.sh" "$@"

usage_tail() {  # usage_tail EDID|ALL
  printf 'Error: Usage is\n  updater [COMXX] [FPGA/VIPER] Filename.xxx\n'
  printf 'e.g. updater COM1 FPGA fpga.xsvf\ne.g. updater COM1 VIPER Device5.bin\ne.g. updater COM1 MICRO\n'
  printf 'e.g. updater COM1 %s\n\nExit updater\n' "$1"
}

case_ "identification, banner and usage"
start_card --model HDMITOSDI --version "2 3.1"
run_updater COM7
expect_rc 2
{ banner "HDMI TO SDI" 3.1 PLUS; usage_tail EDID; } >"$WORK/expected"
expect_out "$WORK/expected"
start_card --model SL-SDITODVI
run_updater com7 fpga
expect_rc 2
{ banner "SL-SDI TO DVI" 2.5; usage_tail ALL; } >"$WORK/expected"
expect_out "$WORK/expected"

case_ "a healthy line is opened once"
# With the real runtime, nothing before the identification may leave an
# error code behind: it would make the identification reopen the port.
# The port is unplugged once the probe byte has arrived.
start_card --model HDMITOSDI
unplug_when_card_hears '< +00'
run_updater COM7 ALL
expect_rc 0
expect_out_lacks "Failed to"
expect_out_contains "No update available."

case_ "keyword errors"
start_card --model SL-SDITODVI
run_updater COM7 EDID EDID.bin
expect_rc 2
{ banner "SL-SDI TO DVI" 2.5; printf 'Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"

case_ "model asked again, and the port reopened after the line dropped"
start_card --model DVITOSDI --devtype-wrong 1 --replug 1
run_updater COM7
expect_rc 2
expect_out_contains "ERROR CARD MODEL UNKNOWN"
expect_out_contains "DVI TO SDI"
if grep -q "line replugged" "$WORK/card.log"; then pass; else fail "the card did not drop the line"; fi

case_ "old firmware"
start_card --old-firmware
run_updater COM7 FPGA fpga.xsvf
expect_rc 1
expect_out_printf '\nNow communicating with the card to obtain version information...\nYou are using an old firmware version...\nUnsupported feature...Update the firmware version\nExit updater\n'

case_ "port errors"
run_updater LPT1 FPGA fpga.xsvf
expect_rc 2
expect_out_printf 'Must be COMXX\n\nExit updater\n'
UPDATER_PORT_COM9=$WORK/no-such-device run_updater COM9 STATUS
expect_rc 1
expect_out_contains "Failed to open COM9 :  The COM port selected don't exist!"
expect_out_contains "Exit updater"

case_ "file rules"
start_card --model DVITOSDI
while IFS='|' read -r mode file text; do
  run_updater COM7 "$mode" "$file" </dev/null
  expect_rc 2
  { banner "DVI TO SDI" 2.5; printf "$text"; printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
done <<'RULES'
FPGA|fpga.XSVF|Bad fpga file\n
VIPER|Device6.bin|Bad device file. (Device 1,5  or 7 only)\n
VERIFY|Device5.BIN|Bad device file. (Device 1, 5 or 7 only)\n
VERIFY|Device7.bin|File Device7.bin doesn't exist.\n
GAMMA|gamma.csv|File gamma.csv doesn't exist.\nPress any key to continue . . . \n
RULES

case_ "PAUSE takes one key from the console"
# Under a terminal the command interpreter's PAUSE waits for a key: the run
# ends only because the key is typed.
RUN_TIMEOUT=30 run_updater COM7 FPGA missing.xsvf <<<"k"
expect_rc 2
{ banner "DVI TO SDI" 2.5; printf "File missing.xsvf doesn't exist.\nPress any key to continue . . . \n\nExit updater\n"; } >"$WORK/expected"
expect_out "$WORK/expected"

case_ "appMain.mot sizes in MICRO"
for size in 570422 511070; do
  head -c "$size" /dev/zero >"$WORK/appMain.mot"
  : >"$WORK/card.log"
  run_updater COM7 MICRO
  expect_rc 2
  expect_out_printf 'Bad appMain.mot file. Exit.\n\nExit updater\n'
  if grep -q '<' "$WORK/card.log"; then fail "bytes went to the card for size $size"; else pass; fi
done
rm -f "$WORK/appMain.mot"
run_updater com7 micro
expect_rc 2
expect_out_printf '\nExit updater\n'

finish

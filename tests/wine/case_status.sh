#!/usr/bin/env bash
# STATUS under Wine: four ISP requests per report and the keys from the
# console through _getch: a refresh per key until 'q' or 'Q'; with no
# console input _getch returns -1 at once and the report is printed once.
# The output must equal the native build's for the same card and keys.
source "$(dirname "$0")/../e2e/lib.sh" "$@"
source "$(dirname "$0")/wine_lib.sh"

start_card --model HDMITOSDI --status-name VXP-E2E-TEST --status-type 0x1234 --status-osd 3 \
  --status-config 9 --status-memory 0x1F0F --status-osd-calibration 0x5 \
  --status-video-calibration 0x2AA
report() {
  printf '\n/********** VXP STATUS ***********/ \n'
  printf '\nDevice Name         -> VXP-E2E-TEST'
  printf '\nDevice Type         -> GF1234'
  printf '\nOSD Load Status     -> Load table empty'
  printf '\nConfig Status       -> Error Unknown'
  printf '\nMemory Devices      ->\n\r'
  printf '    Video Memory:  \n'
  printf '           SDRAM 1 Detected           SDRAM 4 Detected \n'
  printf '           SDRAM 2 Detected           SDRAM 5 Detected \n'
  printf '           SDRAM 3 Detected\n'
  printf '    OSD Memory:  \n'
  printf '           SDRAM 1 Not Detected           SDRAM 2 Not Detected\n'
  printf '    Flash Memory:  \n'
  printf '           CS0 Detected           CS4 Not Detected\n'
  printf '           CS1 Detected           CS5 Not Detected\n'
  printf '           CS2 Detected               CS6 Not Detected\n'
  printf '           CS3 Detected               CS7 Not Detected\n'
  printf 'SDRAM Calibration   ->\n\r'
  printf '    OSD : \n'
  printf '           Byte 0 : Passed            Byte 2 : Passed\n'
  printf '           Byte 1 : Not Passed            Byte 3 : Not Passed\n'
  printf '    Video: \n'
  printf '           Byte 0 : Not Passed            Byte 5 : Passed\n'
  printf '           Byte 1 : Passed            Byte 6 : Not Passed\n'
  printf '           Byte 2 : Not Passed            Byte 7 : Passed\n'
  printf '           Byte 3 : Passed            Byte 8 : Not Passed\n'
  printf '           Byte 4 : Not Passed            Byte 9 : Passed\n'
  printf '\n/******** END OF VXP STATUS ********/ '
  printf "\nPress Enter to refresh or 'Q' to quit "
}

case_ "Enter and space refresh, 'q' quits"
RUN_TIMEOUT=60 run_updater COM7 STATUS < <(printf '\r q')
if ! mode_missing; then
  expect_rc 0
  { banner "HDMI TO SDI" 2.5; report; report; report; printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  run_native COM7 STATUS < <(printf '\r q')
  expect_same_as_native
fi

case_ "'Q' quits as 'q' does"
RUN_TIMEOUT=60 run_updater COM7 STATUS < <(printf 'Q')
if ! mode_missing; then
  expect_rc 0
  { banner "HDMI TO SDI" 2.5; report; printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
fi

case_ "no console input: one report"
run_updater COM7 STATUS </dev/null
if ! mode_missing; then
  expect_rc 0
  { banner "HDMI TO SDI" 2.5; report; printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  run_native COM7 STATUS </dev/null
  expect_same_as_native
fi

finish

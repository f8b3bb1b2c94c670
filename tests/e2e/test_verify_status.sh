#!/usr/bin/env bash
# VERIFY and STATUS against the simulated card: read-back of a flash device
# that equals the image and one that differs (exact count), a card in the
# wrong device, and the status report byte for byte with a refresh.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

mkdir -p "$WORK/state"
make_image "$WORK/Device5.bin" 0x1000 5
cp "$WORK/Device5.bin" "$WORK/state/flash5.bin"

case_ "VERIFY: flash equal to the image"
start_card --model HDMITOSDI
run_updater COM7 VERIFY Device5.bin
expect_rc 0
expect_out_contains "File Size : 4096 bytes"
expect_out_contains $'\rJob at 100% ----- Mismatch Total 0 \t\t\t\t\n\nTotal Time : 0 minutes 0 seconds\n\nExit updater\n'

case_ "VERIFY: three differing words, two bytes of one word counted once"
flip_bytes "$WORK/Device5.bin" 0x10 0x11 0x400 0xFFF
run_updater COM7 VERIFY Device5.bin
expect_rc 1
expect_out_contains $'\rJob at 100% ----- Mismatch Total 3 \t\t\t\t\n'

case_ "VERIFY: the card set to another device"
start_card --model HDMITOSDI --vxp-fault wrongdev@mode-status:1
run_updater COM7 VERIFY Device5.bin
expect_rc 1
expect_out_contains $'File Size : 4096 bytes\nSetting ISP Mode...\nDevice not setted !\n\nExit updater\n'

case_ "STATUS: a report per key until 'q' or 'Q', one at the end of input"
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
# KEYS:REPORTS (Enter and space refresh; no keys: the end of input quits)
for row in $'\r q:3' 'Q:1' ':1'; do
  RUN_TIMEOUT=60 KEYS=${row%:*} run_updater COM7 STATUS
  expect_rc 0
  { banner "HDMI TO SDI" 2.5
    for _ in $(seq 1 "${row##*:}"); do report; done
    printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
done

finish

#!/usr/bin/env bash
# VIPER and VERIFY under Wine: the ISP driver and a flash image written
# through "=G" frames with the polling time-outs, the real pauses (5 s after
# the soft reset, the erase wait), the flash read back and compared word by
# word, and the key press after a failure read from the console.
source "$(dirname "$0")/../e2e/lib.sh" "$@"
source "$(dirname "$0")/wine_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_image "$WORK/Device5.bin" 0xC14 5   # not a whole number of blocks
padded_copy "$WORK/Device5.bin" "$WORK/Device5.padded"
start_card --model HDMITOSDI

case_ "VIPER: device 5 after FDriver"
run_updater COM7 VIPER Device5.bin
if ! mode_missing; then
  expect_rc 0
  expect_same "$WORK/state/flash5.bin" "$WORK/Device5.padded"
  expect_out_contains $'Loading ISP Driver...\nFile Size : 4096 bytes\nSoft Reset...\nWaiting 5 sec...\nBegin Job...\n'
  expect_out_contains $'Programm Device5.bin ...\nFile Size : 3092 bytes\nSetting ISP Mode...\nErasing device...\nBegin Job... Data ..\n'
  expect_out_contains $'\rJob at 100%\t\t\t\t\n\nSetting ISP Mode...\nBegin Job... Header...\n'
  expect_out_contains $'\rJob at 100%\t\t\t\t\nSoft Reset.\n\nTime : 0 minutes '
  expect_out_contains $'\nTotal Time : 0 minutes '
  expect_log_order "micro command =MP" "micro command =MR" "FDRIVER runs" \
    "ISP flash write 0x00000100" "ISP flash write 0x00000000" "micro command =ME"
fi

case_ "VERIFY: the flash equals the image"
run_updater COM7 VERIFY Device5.bin
if ! mode_missing; then
  expect_rc 0
  expect_out_contains "File Size : 3092 bytes"
  expect_out_contains $'\rJob at 100% ----- Mismatch Total 0 \t\t\t\t\n\nTotal Time : 0 minutes '
  expect_out_contains $' seconds\n\nExit updater\n'
fi

case_ "VERIFY: three differing words"
flip_bytes "$WORK/Device5.bin" 0x10 0x11 0x400 0xC13
run_updater COM7 VERIFY Device5.bin
if ! mode_missing; then
  expect_rc 1
  expect_out_contains $'\rJob at 100% ----- Mismatch Total 3 \t\t\t\t\n'
fi

case_ "VIPER without its driver: the key press comes from the console"
rm -f "$WORK/FDriver.bin"
RUN_TIMEOUT=30 run_updater COM7 VIPER Device5.bin <<<"x"
if ! mode_missing; then
  expect_rc 1
  { banner "HDMI TO SDI" 2.5
    printf 'Loading ISP Driver...\nUnable to open file : FDriver.bin\nPress a key to continue ... \nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
fi

finish

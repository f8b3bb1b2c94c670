#!/usr/bin/env bash
# VIPER against the simulated card, in real time: device 5 after its ISP
# driver, the card's flash compared with the image; a missing driver.
# Devices 1 and 7 are in test_viper_devices.sh.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_image "$WORK/Device5.bin" 0xC14 5   # not a whole number of blocks
make_image "$WORK/Device1.bin" 0x800 1
padded_copy "$WORK/Device5.bin" "$WORK/Device5.padded"

start_card --model HDMITOSDI

case_ "device 5 after FDriver: data, header, last block padded with 0xFF"
run_updater COM7 VIPER Device5.bin
expect_rc 0
expect_same "$WORK/state/flash5.bin" "$WORK/Device5.padded"
expect_out_contains $'Loading ISP Driver...\nFile Size : 4096 bytes\nSoft Reset...\nWaiting 5 sec...\nBegin Job...\n'
expect_out_contains $'\nCalling ISP Driver...\n\n\nTime : 0 minutes '
expect_out_contains $'Programm Device5.bin ...\nFile Size : 3092 bytes\nSetting ISP Mode...\nErasing device...\nBegin Job... Data ..\n'
expect_out_contains $'\rJob at 100%\t\t\t\t\n\nSetting ISP Mode...\nBegin Job... Header...\n'
expect_out_contains $'\rJob at 100%\t\t\t\t\nSoft Reset.\n\nTime : 0 minutes '
expect_out_contains $'\nTotal Time : 0 minutes '
expect_log_order "micro command =MP" "micro command =MR" "ISP driver write 0x0800" \
  "FDRIVER runs" "ISP flash write 0x00000100" "ISP flash write 0x00000000" \
  "micro command =MA" "micro command =MR" "micro command =ME"

case_ "missing driver: the image is never opened"
KEYS=x run_updater COM7 VIPER Device1.bin
expect_rc 1
{ banner "HDMI TO SDI" 2.5
  printf 'Loading ISP Driver...\nUnable to open file : SFDriver.bin\nPress a key to continue ... \nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"

finish

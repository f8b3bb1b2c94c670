#!/usr/bin/env bash
# VIPER for devices 1 and 7 against the simulated card, in real time: each
# after its own ISP driver, the card's flash compared with the image, the
# other devices left as they were.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_driver "$WORK/SFDriver.bin" SFDRIVER
make_image "$WORK/Device1.bin" 0x800 1
make_image "$WORK/Device7.bin" 0x300 7
make_image "$WORK/Device5.bin" 0x1000 5
mkdir -p "$WORK/state"
cp "$WORK/Device5.bin" "$WORK/state/flash5.bin"

start_card --model HDMITOSDI

case_ "device 1 after SFDriver"
run_updater COM7 VIPER Device1.bin
expect_rc 0
expect_same "$WORK/state/flash1.bin" "$WORK/Device1.bin"
expect_out_contains $'Programm Device1.bin ...\nFile Size : 2048 bytes\nSetting ISP Mode...\nBegin Job...\n'

case_ "device 7 after FDriver"
run_updater COM7 VIPER Device7.bin
expect_rc 0
expect_same "$WORK/state/flash7.bin" "$WORK/Device7.bin"
expect_same "$WORK/state/flash5.bin" "$WORK/Device5.bin"
expect_same "$WORK/state/flash1.bin" "$WORK/Device1.bin"

finish

#!/usr/bin/env bash
# ALL against the simulated card, in real time: every update file present
# (order on the wire EDID, FDriver, Device5, "=ME", SFDriver, Device1, "=ME",
# FPGA), a driver missing, nothing to do.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

python3 - "$WORK/EDID.bin" <<'PY'
import sys
data = bytearray((i * 37 + 11) & 0xFF for i in range(128))
data[0:8] = b"\x00\xff\xff\xff\xff\xff\xff\x00"
data[127] = (-sum(data[:127])) & 0xFF
open(sys.argv[1], "wb").write(bytes(data))
PY
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
make_driver "$WORK/FDriver.bin" FDRIVER
make_driver "$WORK/SFDriver.bin" SFDRIVER
make_image "$WORK/Device5.bin" 0x400 5
make_image "$WORK/Device1.bin" 0x400 1

case_ "every file present: discovery and the order on the wire"
start_card --model HDMITOSDI
run_updater COM7 ALL
expect_rc 0
expect_out_contains "$(printf '\nLooking for update files ... \n\nDevice1.bin : \tYES\nDevice5.bin : \tYES\nSFDriver.bin : \tYES\nFDriver.bin : \tYES\nfpga.xsvf : \tYES\nEDID.bin : \tYES\n')"
expect_same "$WORK/state/flash5.bin" "$WORK/Device5.bin"
expect_same "$WORK/state/flash1.bin" "$WORK/Device1.bin"
expect_same "$WORK/state/edid.bin" "$WORK/EDID.bin"
expect_same "$WORK/state/fpga.xsvf" "$WORK/fpga.xsvf"
expect_log_order "EDID of 128 bytes stored" "FDRIVER runs" "ISP mode program device 5" \
  "micro command =ME" "SFDRIVER runs" "ISP mode program device 1" "micro command =ME" \
  "command #FPGA"
expect_out_contains $'Program Device5.bin ...\n'
expect_out_contains $'Program Device1.bin ...\n'
expect_out_contains $'\nTotal Time : 0 minutes '

case_ "a driver missing: that image is skipped, the other written"
rm -rf "$WORK/state" "$WORK/fpga.xsvf"
mv "$WORK/FDriver.bin" "$WORK/FDriver.away"
start_card --model SDITODVI
run_updater COM7 ALL
expect_rc 0
expect_out_contains "$(printf '\nLooking for update files ... \n\nDevice1.bin : \tYES\nDevice5.bin : \tYES\nSFDriver.bin : \tYES\nFDriver.bin : \tNO  (ERROR - You need a driver to update device5.)\nfpga.xsvf : \tNO\n')"
expect_out_lacks "EDID.bin"
expect_out_lacks "Program Device5.bin"
expect_same "$WORK/state/flash1.bin" "$WORK/Device1.bin"
[ -e "$WORK/state/flash5.bin" ] && fail "device 5 was written" || pass

case_ "only an image whose driver is missing: nothing to do"
rm "$WORK/Device5.bin" "$WORK/SFDriver.bin" "$WORK/EDID.bin"
mv "$WORK/FDriver.away" "$WORK/FDriver.bin"
run_updater COM7 ALL
expect_rc 0
{ banner "DL-SDI TO DVI" 2.5
  printf '\nLooking for update files ... \n\nDevice1.bin : \tYES\nDevice5.bin : \tNO\nSFDriver.bin : \tNO  (ERROR - You need a driver to update device1.)\nfpga.xsvf : \tNO\nNo update available.\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"

finish

#!/usr/bin/env bash
# Start-up and identification against the simulated card: banners for every
# model, the usage text and keyword errors of both model families, and the
# exit path.
source "$(dirname "$0")/lib.sh" "$@"

case_ "banner for each model, plain and PLUS"
for pair in "DVITOSDI:DVI TO SDI:1" "SDITODVI:DL-SDI TO DVI:0" "SL-SDITODVI:SL-SDI TO DVI:0" \
            "HDMITOSDI:HDMI TO SDI:1" "SDITOHDMI:DL-SDI TO HDMI:0" "SL-SDITOHDMI:SL-SDI TO HDMI:0"; do
  IFS=: read -r answer name edid <<<"$pair"
  for variant in 1 2; do
    start_card --model "$answer" --version "$variant 3.1"
    run_updater COM7
    expect_rc 2
    { banner "$name" 3.1 $([ "$variant" = 2 ] && echo PLUS)
      printf 'Error: Usage is\n  updater [COMXX] [FPGA/VIPER] Filename.xxx\n'
      printf 'e.g. updater COM1 FPGA fpga.xsvf\ne.g. updater COM1 VIPER Device5.bin\ne.g. updater COM1 MICRO\n'
      if [ "$edid" = 1 ]; then printf 'e.g. updater COM1 EDID\n'; else printf 'e.g. updater COM1 ALL\n'; fi
      printf '\nExit updater\n'; } >"$WORK/expected"
    expect_out "$WORK/expected"
  done
done

case_ "a healthy line is opened once"
# Nothing before the identification may leave an error code behind: it
# would make the identification reopen the port.  The line is unplugged
# once the probe byte has arrived, so a reopen would fail the run.
start_card --model HDMITOSDI
unplug_when_card_hears '< +00'
run_updater COM7 ALL
expect_rc 0
expect_out_lacks "Failed to"
expect_out_contains "No update available."

case_ "unknown software version"
start_card --model SDITODVI --version-raw "#DEVERSON 2 3.1"
run_updater com7 fpga
{ banner "DL-SDI TO DVI" Unknown; } >"$WORK/expected.banner"
expect_out_contains "Software Version  -> Unknown"
expect_out_lacks "PLUS"

case_ "keyword errors follow the model family"
start_card --model SL-SDITOHDMI
run_updater COM7 EDID EDID.bin
expect_rc 2
{ banner "SL-SDI TO HDMI" 2.5; printf 'Must be FPGA, VIPER, MICRO, CMD, GAMMA or ALL\n\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"
start_card --model DVITOSDI
run_updater COM7 FLASH x.bin
expect_rc 2
{ banner "DVI TO SDI" 2.5; printf 'Must be FPGA, VIPER, MICRO, EDID, CMD , GAMMA or ALL\n\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"

case_ "old firmware"
start_card --old-firmware
run_updater COM7 FPGA fpga.xsvf
expect_rc 1
expect_out_printf '\nNow communicating with the card to obtain version information...\nYou are using an old firmware version...\nUnsupported feature...Update the firmware version\nExit updater\n'

case_ "model repeated while unknown or unanswered"
start_card --model HDMITOSDI --devtype-wrong 1 --devtype-silent 1
run_updater COM7
expect_rc 2
expect_out_contains "Error no communication with the device"
expect_out_contains "ERROR CARD MODEL UNKNOWN"
expect_out_contains "HDMI TO SDI"

finish

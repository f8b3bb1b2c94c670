#!/usr/bin/env bash
# VIPER against a misbehaving simulated card, in real time: refused, echoed,
# lost and spoiled answers survived with a correct flash; the seventh
# refusal of one block ends the job; a card that sets another device.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_image "$WORK/Device5.bin" 0x800 55

case_ "NACK, echo, silence, noise, cut-off and bad checksum survived"
start_card --model SDITOHDMI --vxp-fault nack@flash-write:5 --vxp-fault echo@flash-write:10 \
  --vxp-fault silence@flash-write:15 --vxp-fault noise@flash-write:20 \
  --vxp-fault cut@flash-write:25 --vxp-fault badsum@flash-write:30
run_updater COM7 VIPER Device5.bin
expect_rc 0
expect_same "$WORK/state/flash5.bin" "$WORK/Device5.bin"
expect_count 'GSPI Timeout\n\nNACK received. Retry ... \n' 1
expect_count '\nNACK received. Retry ... \n' 2
expect_count '\nNACK on unknown command. ' 1  # the echo: its word 1 is image data
expect_count 'Timeout. Retry...SendISP\n' 10
expect_count 'Unable to send command. Exit.SendISP\n' 1
expect_count 'Bad checksum\n' 1
expect_count 'ISP Mode Status Request ...\n' 3
expect_out_contains $'\nTotal Time : 1 minutes '

case_ "the seventh refusal of one block ends the job"
start_card --model SDITOHDMI --vxp-fault nack@flash-write:3x7
KEYS=k run_updater COM7 VIPER Device5.bin
expect_rc 1
expect_count 'Addr - 0x00000140\n' 6
expect_count 'ISP Mode Status Request ...\n' 7
expect_out_contains $'Press a key to continue ... \nExit updater\n'
expect_log_lacks "micro command =ME"

case_ "Device not setted !"
start_card --model SDITOHDMI --vxp-fault wrongdev@mode-status:1
run_updater COM7 VIPER Device5.bin
expect_rc 1
expect_out_contains $'Erasing device...\nDevice not setted !\nPress a key to continue ... \nExit updater\n'
expect_log_lacks "ISP flash write"

case_ "a driver with its tag at byte 0 is not started: a hint points at the driver file"
start_card --model HDMITOSDI
cp "$WORK/FDriver.bin" "$WORK/good-driver.bin"
{ printf 'FDRIVER'; head -c 4089 /dev/zero; } >"$WORK/FDriver.bin"
run_updater COM7 VIPER Device5.bin
expect_rc 1
expect_err_contains "hint: the video processor refused to start the ISP driver at 0x0800"
expect_log_lacks "ISP flash write"
cp "$WORK/good-driver.bin" "$WORK/FDriver.bin"

case_ "Ctrl-C while a device is written: a hint, and the run's last lines all the same"
if native_only "a signal to the Wine process is not a console Ctrl-C"; then
  start_card --model HDMITOSDI
  interrupt_when "$WORK/card.log" "ISP mode program device 5" 30 \
    COM7 VIPER Device5.bin --json --trace "$WORK/cut.trace"
  expect_rc 130
  expect_err_contains "hint: device 5 may be incomplete: run the same command again"
  # The notice hands the interrupt on: the JSON result and the trace's
  # last line are still written.
  if tail -n 1 "$WORK/out" | grep -q '"outcome":"interrupted"'; then pass
  else fail "the JSON result is not the last line"; show_out; fi
  if tail -n 1 "$WORK/cut.trace" | grep -q "run ended: exit status 130"; then pass
  else fail "the trace lacks its last line: $(tail -n 1 "$WORK/cut.trace")"; fi
fi

finish

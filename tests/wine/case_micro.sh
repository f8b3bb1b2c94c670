#!/usr/bin/env bash
# MICRO under Wine: the firmware hands the microcontroller to its boot
# program, SetCommState drops the open port to 9600 bit/s and the boot-mode
# programmer raises it to 115200 bit/s, all on the one handle: the COM7
# device link is removed as soon as the card hears "#MICROMODE\r", so any
# reopen would fail.
source "$(dirname "$0")/../e2e/lib.sh" "$@"
source "$(dirname "$0")/wine_lib.sh"
GEN="python3 $E2E_DIR/micro_image.py"

# The micro kernel is echoed byte by byte: every byte value, 0x11 and 0x13
# among them, comes back from the card (no XON/XOFF on the port).
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) + bytes(range(44)))' >"$WORK/uGen7144.cde"
head -c 200 /dev/urandom >"$WORK/Genm7144.cde"
head -c 150 /dev/urandom >"$WORK/Genw7144.cde"
head -c 1024 /dev/urandom >"$WORK/part1.bin"
head -c 3000 /dev/urandom >"$WORK/part2.bin"
$GEN srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --record 32
$GEN flash "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/expected_flash.bin"

case_ "MICRO programs the flash on the one open port"
start_card --model HDMITOSDI
unplug_when_card_hears 'command #MICROMODE'
run_updater COM7 MICRO
if ! mode_missing; then
  expect_rc 0
  stop_card
  expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"
  expect_same "$WORK/state/boot_micro_kernel.bin" "$WORK/uGen7144.cde"
  expect_same "$WORK/state/boot_write_kernel.bin" "$WORK/Genw7144.cde"
  { banner "HDMI TO SDI" 2.5
    $GEN output 300 3000 /dev/stdout
    printf '\nTotal Time : M minutes S seconds\n\nExit updater\n'; } >"$WORK/expected"
  expect_out_timeless "$WORK/expected"
  # The micro kernel went at 9600 bit/s, the rest at 115200 bit/s.
  if grep -qE '< ( [0-9A-F]{2})* 55( [0-9A-F]{2})* +@9600' "$WORK/card.log" && grep -q 'bitrate accepted' "$WORK/card.log"; then pass
  else fail "bit rates in the card's log"; fi
fi

finish

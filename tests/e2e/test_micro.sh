#!/usr/bin/env bash
# MICRO against a running card: the firmware hands the microcontroller to
# its boot program and the whole boot-mode programming runs; corrupt images
# are refused before any byte goes out; two failures end with status 1.
source "$(dirname "$0")/lib.sh" "$@"
GEN="python3 $E2E_DIR/micro_image.py"

# Kernels a few hundred bytes long and an image of 1024 bytes for 0x000 and
# 3000 from 0x800.
micro_files 3000

# The output with the elapsed time made constant, for byte comparisons.
normalised_out() { sed -E 's/: [0-9]+ minutes [0-9]+ seconds/: M minutes S seconds/' "$WORK/out" >"$WORK/out.norm"; }

# No byte from the updater reached the card.
expect_card_heard_nothing() {
  if grep -qE '^ *[0-9.]+ < ' "$WORK/card.log"; then fail "the card received bytes"; grep -E '^ *[0-9.]+ < ' "$WORK/card.log" | head -3 || true; else pass; fi
}

case_ "MICRO writes the flash where the S-records say, on the one open port"
# The firmware hands over to the boot program, the port drops to 9600 bit/s
# and goes back to 115200 bit/s, all on the handle opened at the start: the
# line is unplugged once the card hears "#MICROMODE", so a reopen would fail.
start_card --model HDMITOSDI
unplug_when_card_hears 'command #MICROMODE'
run_updater COM7 MICRO
expect_rc 0
stop_card
expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"
expect_same "$WORK/state/boot_micro_kernel.bin" "$WORK/uGen7144.cde"
expect_same "$WORK/state/boot_main_kernel.bin" "$WORK/Genm7144.cde"
expect_same "$WORK/state/boot_write_kernel.bin" "$WORK/Genw7144.cde"
{ banner "HDMI TO SDI" 2.5
  $GEN output 300 3000 -
  printf '\nTotal Time : M minutes S seconds\n\nExit updater\n'; } >"$WORK/expected"
normalised_out
expect_same "$WORK/out.norm" "$WORK/expected"
if grep -q 'command #MICROMODE' "$WORK/card.log" && grep -q 'command #MICRO$' "$WORK/card.log" &&
   grep -q 'boot program starts after #MICRO' "$WORK/card.log"; then pass; else fail "no hand-over in the card's log"; fi
# The micro kernel went at 9600 bit/s, the image at 115200 bit/s.
if grep -qE '< ( [0-9A-F]{2})* 55( [0-9A-F]{2})* +@9600' "$WORK/card.log" && grep -q 'bitrate accepted' "$WORK/card.log"; then pass; else fail "bit rates in the card's log"; fi
cp "$WORK/appMain.mot" "$WORK/good.mot"

case_ "corrupt images are refused before anything is sent"
refuse() {  # refuse EXPECTED-TEXT: runs MICRO with the current appMain.mot
  start_card --model HDMITOSDI
  run_updater COM7 MICRO
  expect_rc 1
  expect_out_printf '%s\n\nExit updater\n' "$1"
  expect_card_heard_nothing
}
$GEN srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --fault lowercase
refuse "Bad appMain.mot file, line 5: character 'a' at column 13 is not an upper-case hex digit"
$GEN srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --fault gap
refuse "Bad appMain.mot file, line 66: data at 0x00000810, expected at 0x00000800: after the first 1024 bytes the data must run from 0x800 without gaps"
$GEN srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --fault noterm
refuse "Bad appMain.mot file, line 254: no terminating S3 record (address 0xFFFFxxxx) after the data"
$GEN srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --fault checksum
start_card --model HDMITOSDI
run_updater COM7 MICRO
expect_rc 1
expect_out_contains "Bad appMain.mot file, line 10: wrong checksum 0x"
expect_card_heard_nothing
# A plain objcopy image of a binary longer than 1 KiB continues at 0x400.
cat "$WORK/part1.bin" "$WORK/part2.bin" >"$WORK/whole.bin"
(cd "$WORK" && objcopy -I binary -O srec --srec-forceS3 whole.bin appMain.mot)
refuse "Bad appMain.mot file, line 66: data at 0x00000400, expected at 0x00000800: after the first 1024 bytes the data must run from 0x800 without gaps"

case_ "an erase report of 0xFF ends the run"
cp "$WORK/good.mot" "$WORK/appMain.mot"
start_card --model HDMITOSDI --boot-erase-fail
run_updater COM7 MICRO
expect_rc 1
normalised_out
tail -c 80 "$WORK/out.norm" >"$WORK/tail"
printf '\n\rOKError during erasing of the flash\nTotal Time : M minutes S seconds\n\nExit updater\n' >"$WORK/expected"
tail -c 80 "$WORK/expected" >"$WORK/expected.tail"
expect_same "$WORK/tail" "$WORK/expected.tail"
expect_out_lacks "SET PARAMETERS"
stop_card
expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"  # not erased

case_ "an unacknowledged write block ends the run"
start_card --model HDMITOSDI --boot-no-ack block:2
run_updater COM7 MICRO
expect_rc 1
normalised_out
printf '\n->WRITING .MOT FILE  TO FLASH MEMORY...\n\nACK NOT received  :( \nTotal Time : M minutes S seconds\n\nExit updater\n' >"$WORK/expected"
tail -c "$(wc -c <"$WORK/expected")" "$WORK/out.norm" >"$WORK/tail"
expect_same "$WORK/tail" "$WORK/expected"
expect_out_lacks "END...REBOOT"
if grep -q 'boot: block 2 at 0x000080 written, left unacknowledged' "$WORK/card.log"; then pass; else fail "block 2 not in the card's log"; fi

case_ "after MICRO the card restarts its new application by itself, or when switched off and on"
# wait_for_log TEXT: up to 5 s for the card's log to show TEXT.
wait_for_log() {
  wait_for "$WORK/card.log" "$1" 5 || fail "the card's log never showed: $1"
}
cp "$WORK/good.mot" "$WORK/appMain.mot"
for restart in quiet signal; do
  rm -rf "$WORK/state"
  if [ "$restart" = quiet ]; then
    start_card --model HDMITOSDI  # restarts after 2 s of quiet
  else
    start_card --model HDMITOSDI --reboot-after 0
  fi
  run_updater COM7 MICRO
  expect_rc 0
  if [ "$restart" = quiet ]; then
    wait_for_log "the card restarts its application"
  else
    kill -USR1 "$CARD_PID"
    wait_for_log "power cycle"
  fi
  run_updater COM7 STATUS
  expect_rc 0
  expect_out_contains "HDMI TO SDI"
done

finish

#!/usr/bin/env bash
# The start-up's boot-mode branch: a card already in boot mode is
# programmed without identification; an old firmware silent on the probe
# meets the first silence, gets its key sequence and is programmed by the
# second call.  The images come from GNU binutils and SRecord.
source "$(dirname "$0")/lib.sh" "$@"
GEN="python3 $E2E_DIR/micro_image.py"

head -c 260 /dev/urandom >"$WORK/uGen7144.cde"
head -c 180 /dev/urandom >"$WORK/Genm7144.cde"
head -c 120 /dev/urandom >"$WORK/Genw7144.cde"
head -c 1024 /dev/urandom >"$WORK/part1.bin"
head -c 1000 /dev/urandom >"$WORK/part2.bin"
printf '\0\0\0\0' >"$WORK/end.bin"
$GEN flash "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/expected_flash.bin"

normalised_out() { sed -E 's/: [0-9]+ minutes [0-9]+ seconds/: M minutes S seconds/' "$WORK/out" >"$WORK/out.norm"; }

case_ "a card in boot mode is programmed by the start-up (objcopy image)"
# 16-byte records from 0, 32-byte records moved to 0x800, and the
# terminating record at 0xFFFF0000, all made by objcopy.
(cd "$WORK" &&
  objcopy -I binary -O srec --srec-forceS3 part1.bin p1.srec &&
  objcopy -I binary -O srec --srec-forceS3 --srec-len=32 --change-addresses 0x800 part2.bin p2.srec &&
  objcopy -I binary -O srec --srec-forceS3 --change-addresses 0xFFFF0000 end.bin end.srec &&
  { grep -h '^S0' p1.srec; grep -h '^S3' p1.srec p2.srec end.srec; grep -h '^S7' p1.srec; } >appMain.mot)
start_card --boot-mode
run_updater COM7 MICRO
expect_rc 0
stop_card
expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"
{ printf '\nFlash is not programmed (BOOT MODE) or using old firmware version'
  printf '\nMICRO Mode OK...Now starting the FDT programm...\n'
  $GEN output 260 1000 -
  printf '\nTime : M minutes S seconds\n\nExit updater\n'; } >"$WORK/expected"
normalised_out
expect_same "$WORK/out.norm" "$WORK/expected"
# The probe bytes went at 115200 bit/s to a boot program listening at 9600.
if grep -q 'byte 00 sent at 115200 bit/s, card listens at 9600: garbage' "$WORK/card.log"; then pass; else fail "probe not dropped"; fi
expect_out_lacks "#DEV"

case_ "an old firmware silent on the probe: first silence, keys, second call (srec_cat image)"
(cd "$WORK" && srec_cat part1.bin -binary part2.bin -binary -offset 0x800 end.bin -binary -offset 0xFFFF0000 \
   -o appMain.mot -motorola -address-length=4 -obs=32)
rm -rf "$WORK/state"
start_card --old-firmware --no-probe-answer
run_updater COM7 MICRO
expect_rc 0
stop_card
expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"
{ printf '\nFlash is not programmed (BOOT MODE) or using old firmware version'
  printf '\nMICRO Mode OK...Now starting the FDT programm...\n'
  printf '\n->CHECKING COMMUNICATION WITH SH2...'
  printf "\nTime Out...No communication with Boot Program...Maybe there's an old firmware..."
  printf '\nNow Calling the function to check the version of the firmware...'
  printf '\nYou are using an old firmware...Now programming the FLASH ...\nBe sure to upload the most recent firmware '
  $GEN output 260 1000 -
  printf '\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"
# The keys CR '1' '$' '6' at 115200 bit/s (lines without a rate mark), 500 ms
# apart, and the boot program started by the '6'.  The boot program's last
# knock (00) may still be on the line when the rate goes up, so the card can
# read it together with the CR: knocks are left out wherever they stand.
awk '/boot program starts/ { exit }
     $2 == "<" && $NF !~ /^@/ { for (i = 3; i <= NF; i++) if ($i != "00") print $1, $i }' \
  "$WORK/card.log" >"$WORK/keys"
if [ "$(awk '{ printf "%s", $2 }' "$WORK/keys")" = "0D312436" ]; then pass
else fail "keys on the line: $(tr '\n' ' ' <"$WORK/keys")"; fi
if awk 'NR > 1 && $1 - prev < 490 { bad = 1 } { prev = $1 } END { exit bad }' "$WORK/keys"; then pass
else fail "keys less than 500 ms apart: $(tr '\n' ' ' <"$WORK/keys")"; fi
if grep -q "boot program starts after the old firmware's key '6'" "$WORK/card.log"; then pass; else fail "boot program not started by '6'"; fi

finish

#!/usr/bin/env bash
# READ and --verify against the simulated card, in real time: a device read
# out (through spoiled answers) and written back onto a fresh card with
# --verify, the flash compared; a read that fails half-way leaves no file;
# a word acknowledged but never programmed fails VIPER --verify.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
mkdir -p "$WORK/state"
make_image "$WORK/original5.bin" 0x1400 5
cp "$WORK/original5.bin" "$WORK/state/flash5.bin"

# expect_no_file NAME: neither NAME nor its temporary is in the work folder.
expect_no_file() {
  if [ -e "$WORK/$1" ] || [ -e "$WORK/$1.part" ]; then fail "$1 (or $1.part) was left"; else pass; fi
}

case_ "READ through short, damaged, other and refused answers"
start_card --model HDMITOSDI --vxp-fault short@flash-read:3 --vxp-fault badsum@flash-read:20 \
  --vxp-fault otherid@flash-read:40 --vxp-fault garbled@flash-read:60 --vxp-fault nack@flash-read:80
run_updater COM7 READ 5 backup5.bin 5120
expect_rc 0
expect_same "$WORK/backup5.bin" "$WORK/original5.bin"
expect_out_contains $'Reading device 5 : 5120 bytes into backup5.bin\nSetting ISP Mode...\n'
expect_out_contains $'\rJob at 100%\t\t\t\t\n\nTotal Time : 0 minutes '
expect_out_contains $'Saved backup5.bin : 5120 bytes.\n\nExit updater\n'
expect_count '\nBad read answer for block 0x' 3
expect_no_file backup5.bin.part
expect_log_lacks "micro command"

case_ "READ refuses a file that exists, before the port is opened"
run_updater COM7 READ 5 backup5.bin
expect_rc 2
expect_out_contains "File backup5.bin already exists: READ does not overwrite a file."
expect_same "$WORK/backup5.bin" "$WORK/original5.bin"

case_ "READ failing half-way leaves no file"
start_card --model HDMITOSDI --vxp-fault nack@flash-read:middlex7
run_updater COM7 READ 5 half.bin 5120 <<<"k"
expect_rc 1
expect_out_contains $'Block 0x00000a00 failed 7 times. Exit.\nNothing was saved: half.bin was not written.\n'
expect_no_file half.bin

case_ "the backup written back onto a fresh card with --verify restores the device"
rm -rf "$WORK/state"
mv "$WORK/backup5.bin" "$WORK/Device5.bin"
start_card --model HDMITOSDI
run_updater COM7 VIPER Device5.bin --verify
expect_rc 0
expect_same "$WORK/state/flash5.bin" "$WORK/original5.bin"
expect_out_contains $'\nVerifying Device5.bin ...\nFile Size : 5120 bytes\nSetting ISP Mode...\n'
expect_out_contains $'\rJob at 100% ----- Mismatch Total 0 \t\t\t\t\n'
expect_log_order "micro command =ME" "ISP mode read back device 5 from 0x0, 5120 bytes"

case_ "--verify: a word acknowledged but not programmed fails the run"
rm -rf "$WORK/state"
start_card --model HDMITOSDI --vxp-fault noprogram=3@flash-write:middle
run_updater COM7 --verify VIPER Device5.bin --json --trace verify.log <<<"k"
expect_rc 1
expect_out_contains $'\rJob at 100% ----- Mismatch Total 1 \t\t\t\t\n'
expect_out_contains $'Verify failed : 1 words of device 5 differ from Device5.bin.\nFirst differing words at 0x000B06.\nPress a key to continue ... \nExit updater\n'
# The result names the read-back as the step that failed, and where.
tail -n 1 "$WORK/out" >"$WORK/result.json"
if python3 -c "import json,sys; d=json.load(open(sys.argv[1]))
sys.exit(0 if (d['failed_step'], d['mismatch_count'], d['first_mismatch_address']) == ('verify', 1, 2822) else 1)" \
   "$WORK/result.json"; then pass; else fail "JSON result: $(cat "$WORK/result.json")"; fi
if grep -q "# verify: word at 0x000B06 reads " "$WORK/verify.log"; then pass; else
  fail "the trace does not note the differing word"; fi

finish

#!/usr/bin/env bash
# --dry-run against the simulated card: every mode identifies the card,
# checks its files and tells what it would do, and the card hears nothing
# but the probe and the identification; a file the run could not send ends
# it with status 1, still with nothing sent.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

make_driver "$WORK/FDriver.bin" FDRIVER
make_driver "$WORK/SFDriver.bin" SFDRIVER
head -c 4096 /dev/urandom >"$WORK/Device5.bin"
head -c 2048 /dev/urandom >"$WORK/Device1.bin"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
head -c 128 /dev/zero >"$WORK/EDID.bin"
for _ in $(seq 1 1024); do echo "1,2,3"; done >"$WORK/gamma.csv"
printf '#X 1\n&100\n#Y 2\n' >"$WORK/remote.txt"
python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)))' >"$WORK/uGen7144.cde"
head -c 200 /dev/urandom >"$WORK/Genm7144.cde"
head -c 150 /dev/urandom >"$WORK/Genw7144.cde"
head -c 1024 /dev/urandom >"$WORK/part1.bin"
head -c 3000 /dev/urandom >"$WORK/part2.bin"
python3 "$E2E_DIR/micro_image.py" srec "$WORK/part1.bin" "$WORK/part2.bin" "$WORK/appMain.mot" --record 32

# Only the probe (0x00) and the two identification commands reached the
# card.
expect_card_heard_only_identification() {
  if grep -aE '# (command|micro command|ISP|boot)' "$WORK/card.log" |
     grep -avqE '# command #(DEVERSION|DEVTYPE)$'; then
    fail "the card heard more than the identification"
    grep -aE '# (command|micro command|ISP|boot)' "$WORK/card.log" | head -5
  else pass; fi
}

# dry_runs STATUS VERDICT: each line "ARGUMENTS|TOLD" of standard input run
# with --dry-run ends with STATUS, prints TOLD and the VERDICT line, and
# sends the card nothing past identification.
dry_runs() {
  while IFS='|' read -r args told; do
    : >"$WORK/card.log"
    # shellcheck disable=SC2086
    run_updater COM7 $args --dry-run
    expect_rc "$1"
    expect_out_contains "$told"
    expect_out_contains "$2"
    expect_card_heard_only_identification
  done
}

case_ "every mode: the files checked, the work told, nothing sent"
start_card --model HDMITOSDI
dry_runs 0 "Dry run: the run could start; at 115200 bit/s it should take " <<'RUNS'
VIPER Device5.bin --verify|Would load the ISP driver FDriver.bin (4096 bytes) and write Device5.bin (4096 bytes) into flash device 5.
VIPER Device1.bin|Would load the ISP driver SFDriver.bin (4096 bytes) and write Device1.bin (2048 bytes) into flash device 1.
VERIFY Device5.bin|Would compare with the image 4096 bytes of flash device 5.
READ 5 backup.bin 8192|Would read 8192 bytes of flash device 5.
FPGA fpga.xsvf|Would stream fpga.xsvf (60 bytes) as the card asks for it.
EDID EDID.bin|Would write the EDID EDID.bin (128 bytes).
GAMMA gamma.csv|Would send the gamma table gamma.csv (1024 lines).
REMOTE remote.txt|Would play remote.txt: 2 command lines.
STATUS|Would print the video processor's status report.
MICRO|Would program the microcontroller through its boot mode
ALL|Would write the EDID EDID.bin (128 bytes).
RUNS
if [ -e "$WORK/backup.bin" ] || [ -e "$WORK/backup.bin.part" ]; then fail "READ --dry-run wrote a file"; else pass; fi
if [ -e "$WORK/state/flash5.bin" ]; then fail "a flash device was written"; else pass; fi
# The EDID of zeros is no EDID: a hint, also in a dry run.
run_updater COM7 EDID EDID.bin --dry-run
expect_err_contains "hint: EDID.bin may not be an EDID: it does not begin with the EDID header"

case_ "files the run could not send end the dry run with status 1"
head -c 129 /dev/zero >"$WORK/long.bin"
for _ in $(seq 1 1023); do echo "1,2,3"; done >"$WORK/short.csv"
head -c 8193 /dev/zero >"$WORK/big-driver.bin"
dry_runs 1 "Dry run: the run could not start as it stands." <<'RUNS'
EDID long.bin|long.bin holds 129 bytes: only files of 128 or 256 bytes can be written.
GAMMA short.csv|short.csv holds 1023 data lines, not 1024.
RUNS
cp "$WORK/FDriver.bin" "$WORK/good-driver.bin"
cp "$WORK/big-driver.bin" "$WORK/FDriver.bin"
run_updater COM7 VIPER Device5.bin --dry-run
expect_rc 1
expect_out_contains "Driver too long : FDriver.bin has more than 8192 bytes"
expect_card_heard_only_identification
cp "$WORK/good-driver.bin" "$WORK/FDriver.bin"

case_ "MICRO on a silent card: the boot program is not called"
start_card --boot-mode
run_updater COM7 MICRO --dry-run
expect_rc 0
expect_out_contains "The card is silent: it is taken to be in its boot mode."
if grep -q '55' <(grep -aE '^ *[0-9.]+ < ' "$WORK/card.log"); then fail "the boot program was called"; else pass; fi

finish

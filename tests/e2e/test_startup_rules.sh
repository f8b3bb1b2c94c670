#!/usr/bin/env bash
# Start-up rules with the real binary on a pseudo-terminal: port errors,
# every file-rule message, the missing-file PAUSE, the appMain.mot size
# refusals, help and version.  Exclusive use of the port is checked only
# natively: Wine does not enforce exclusive opens of a device.
source "$(dirname "$0")/lib.sh" "$@"

case_ "no argument, help, version"
run_updater
expect_rc 0
expect_out_printf ''
run_updater --version
expect_rc 0
expect_out_printf 'updater 2.30\n'
run_updater --help
expect_rc 0
expect_out_contains "UPDATER_PORT_<NAME>"

case_ "port errors"
run_updater LPT1 FPGA fpga.xsvf
expect_rc 2
expect_out_printf 'Must be COMXX\n\nExit updater\n'
UPDATER_PORT_COM9=$WORK/no-such-device run_updater COM9 STATUS
expect_rc 1
expect_out_contains "Failed to open COM9 :  The COM port selected don't exist!"
expect_out_contains "Exit updater"
start_card --model DVITOSDI
if native_only "a second open of the port is not refused"; then
  # A first updater holds the port (it waits at the PAUSE prompt for a key).
  mkfifo "$WORK/first.keys"
  (cd "$WORK" && exec "$UPDATER" COM7 FPGA missing.xsvf <"$WORK/first.keys" >"$WORK/first.out" 2>&1) &
  FIRST=$!
  exec 7>"$WORK/first.keys"
  wait_for "$WORK/first.out" "Press any key" 5 || fail "the first run never held the port"
  run_updater COM7 STATUS
  expect_rc 1
  expect_out_printf 'Failed to open COM7 :  The COM port selected is already open by an other program!\n\nExit updater\n'
  printf 'k' >&7
  exec 7>&-
  RC=0
  wait "$FIRST" || RC=$?
  expect_rc 2
fi

case_ "a port this user may not use is not called busy"
# The card's device given to the dialout group, and the updater run as
# nobody: the open is refused for want of permission.
if native_only "Wine has no POSIX permissions on the port" && [ "$(id -u)" -eq 0 ] &&
   command -v setpriv >/dev/null && getent group dialout >/dev/null; then
  DEVICE=$(readlink -f "$PORT_LINK")
  chgrp dialout "$DEVICE"
  chmod 0660 "$DEVICE"
  chmod 0711 "$WORK"
  RC=0
  (cd "$WORK" && setpriv --reuid=65534 --regid=65534 --clear-groups "$UPDATER" COM7 STATUS \
     </dev/null >"$WORK/out" 2>"$WORK/err") || RC=$?
  expect_rc 1
  expect_out_printf "Failed to open COM7 :  no permission to use $PORT_LINK\n\nExit updater\n"
  expect_err_contains "hint: the members of the group 'dialout' may use $PORT_LINK: add your user to it"
  expect_err_contains "hint:   sudo usermod -aG dialout \$USER"
  expect_err_contains "hint: then log out and in again"
  chmod 0700 "$WORK"
fi
UPDATER_PORT_COM9=$WORK/no-such-device run_updater COM9 STATUS
if grep -qE '^hint: (serial ports on this computer:|no serial ports were found)' "$WORK/err"; then
  pass; else fail "no hint with the ports there are: $(cat "$WORK/err")"; fi

case_ "options are checked before the port is opened"
run_updater COM7 VIPER Device5.bin --verfy
expect_rc 2
expect_out_printf 'unknown option --verfy\n\nExit updater\n'
expect_err_contains "hint: did you mean --verify?"
if native_only "Windows names its ports itself"; then
  run_updater --list
  expect_out_contains "COM7      $PORT_LINK  set by UPDATER_PORT_COM7"
fi

case_ "PAUSE waits for a key typed on the console"
RUN_TIMEOUT=30 KEYS=k run_updater COM7 FPGA missing.xsvf
expect_rc 2
{ banner "DVI TO SDI" 2.5
  printf "File missing.xsvf doesn't exist.\nPress any key to continue . . . \n\nExit updater\n"; } >"$WORK/expected"
expect_out "$WORK/expected"

case_ "file rules, and the hint where a name is near one that would do"
# The hint goes to standard error; "-" for none.
mkdir -p "$WORK/other"
while IFS='|' read -r mode file text hint; do
  run_updater COM7 "$mode" "$file"
  expect_rc 2
  { banner "DVI TO SDI" 2.5; printf "$text"; printf '\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  if [ "$hint" = - ]; then
    if grep -q '^hint:' "$WORK/err"; then fail "unexpected hint: $(cat "$WORK/err")"; else pass; fi
  else
    expect_err_contains "hint: $hint"
  fi
done <<'RULES'
FPGA|fpga.XSVF|Bad fpga file\n|-
EDID|EDID.txt|Bad EDID file\n|-
REMOTE|remote.csv|Bad REMOTE file\n|-
GAMMA|gamma.txt|Bad GAMMA file\n|-
VIPER|Device6.bin|Bad device file. (Device 1,5  or 7 only)\n|-
VIPER|device5.bin|Bad device file. (Device 1 or 5 only)\n|device files are named Device1.bin, Device5.bin or Device7.bin, letter case included: Device5.bin
VERIFY|Device5.BIN|Bad device file. (Device 1, 5 or 7 only)\n|device files are named Device1.bin, Device5.bin or Device7.bin, letter case included: Device5.bin
VIPER|other/Device5.bin|Bad device file. (Device 1 or 5 only)\n|device files are taken from the current folder: run the command in other
VERIFY|Device7.bin|File Device7.bin doesn't exist.\n|-
GAMMA|gamma.csv|File gamma.csv doesn't exist.\nPress any key to continue . . . \n|-
RULES
head -c 128 /dev/zero >"$WORK/EDID.bin"
if native_only "Windows finds a file whatever the letter case"; then
  run_updater COM7 EDID edid.bin
  expect_rc 2
  expect_err_contains "hint: file names are matched exactly, letter case included: there is EDID.bin here"
fi
rm -f "$WORK/EDID.bin"

case_ "appMain.mot sizes in MICRO"
for size in 570422 570974 510718 510526 511446 511070; do
  head -c "$size" /dev/zero >"$WORK/appMain.mot"
  : >"$WORK/card.log"
  run_updater COM7 MICRO
  expect_rc 2
  expect_out_printf 'Bad appMain.mot file. Exit.\n\nExit updater\n'
  if grep -q '<' "$WORK/card.log"; then fail "bytes went to the card for size $size"; else pass; fi
done
rm -f "$WORK/appMain.mot"
run_updater com7 micro
expect_rc 2
expect_out_printf '\nExit updater\n'

finish

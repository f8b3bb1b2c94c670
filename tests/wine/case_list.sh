#!/usr/bin/env bash
# --list in the Windows build: the COM ports of the registry's SERIALCOMM
# map (Wine's mountmgr fills it from /dev/ttyS*, ttyUSB* and ttyACM*; the
# case adds COM7 to the volatile key, which ends with the Wine server), and
# the same list, as hint lines on standard error, after a port that does
# not exist.
source "$(dirname "$0")/../e2e/lib.sh" "$@"

SERIALCOMM='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
serialcomm() { wine reg "$@" /f </dev/null >/dev/null 2>&1; }

case_ "the registry's serial ports, one per line"
serialcomm add "$SERIALCOMM" /v '\Device\UpdaterTest7' /t REG_SZ /d COM7
run_updater --list
expect_rc 0
expect_out_contains 'COM7      \Device\UpdaterTest7'
if grep -qv '^COM[0-9]' "$WORK/out"; then fail "a line that names no COM port"; show_out; else pass; fi

case_ "a port that does not exist lists those that do"
UPDATER_PORT_COM9=$WORK/no-such-device run_updater COM9 STATUS
expect_rc 1
expect_out_contains "Failed to open COM9 :  The COM port selected don't exist!"
expect_err_contains "hint: serial ports on this computer:"
expect_err_contains 'hint:   COM7      \Device\UpdaterTest7'
serialcomm delete "$SERIALCOMM" /v '\Device\UpdaterTest7'

finish

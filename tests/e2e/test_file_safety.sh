#!/usr/bin/env bash
# Every file a run touches, against the simulated card: two names for one
# file, a link left where READ's temporary goes, devices and folders in place
# of files, empty images, a byte count past the device, Ctrl-C with --json,
# names with escape bytes, one card under two port names, a trace into a
# FIFO.  One row per class; after each run the files on disk are checked.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

mkdir -p "$WORK/state"
make_image "$WORK/state/flash5.bin" 0x1000 5
make_driver "$WORK/SFDriver.bin" SFDRIVER
start_card --model HDMITOSDI
export UPDATER_PORT_COM8
UPDATER_PORT_COM8=$(readlink "$PORT_LINK")  # the same card under a second name

# The first N bytes of device 5 as the card holds them.
flash5() { head -c "$1" "$WORK/state/flash5.bin"; }
absent() { [ ! -e "$WORK/$1" ] && [ ! -L "$WORK/$1" ]; }
json_member() { tail -n 1 "$WORK/out" | python3 -c "import json,sys; print(json.load(sys.stdin)['$1'])"; }

# Each row: case | set-up (shell, in $WORK) | updater arguments (eval'd) |
# exit status | a text the output holds | a check of the folder afterwards.
while IFS='|' read -r name setup arguments status text check; do
  case_ "$name"
  (cd "$WORK" && eval "$setup")
  eval "run_updater $arguments"
  expect_rc "$status"
  if [ -n "$text" ]; then expect_out_contains "$text"; fi
  if (cd "$WORK" && eval "$check"); then pass; else fail "afterwards: $check"; ls -la "$WORK"; fi
done <<'TABLE'
trace named as the backup's temporary|:|COM7 READ 5 b.bin 512 --trace b.bin.part --json|2|Cannot create the trace file b.bin.part: it is the file the run writes|absent b.bin && absent b.bin.part && [ "$(json_member file_size)" = None ]
trace as another spelling of the backup|:|COM7 READ 5 b.bin 512 --trace ./b.bin|2|it is the file the run writes|absent b.bin && absent b.bin.part
trace as a link to the image the run reads|: > Device5.bin; ln -sf Device5.bin t.log|COM7 VERIFY Device5.bin --trace t.log|2|it is Device5.bin, which the run reads|[ -f Device5.bin ] && [ ! -s Device5.bin ]
temporary that is a link is neither followed nor replaced|echo victim > victim.txt; ln -s victim.txt b4.bin.part|COM7 READ 5 b4.bin 64|2|File b4.bin.part is not a regular file|[ "$(cat victim.txt)" = victim ] && [ -L b4.bin.part ] && absent b4.bin
stale temporary replaced, backup whole and hashed as written|echo stale > s.bin.part|COM7 READ 5 s.bin 4096 --json|0|Saved s.bin : 4096 bytes.|cmp -s s.bin <(flash5 4096) && absent s.bin.part && [ "$(json_member file_sha256)" = "$(sha256sum < s.bin | cut -c1-64)" ]
byte count past the device|:|COM7 READ 1 d1.bin 2097152 --json|2|Bad byte count 2097152. (1 to 1048576)|absent d1.bin && absent d1.bin.part && [ "$(json_member file_sha256)" = None ]
device in place of an image|ln -sf /dev/zero Device7.bin|COM7 VIPER Device7.bin --json|2|File Device7.bin is not a regular file.|[ "$(json_member file_size)" = None ]
folder in place of a stream|mkdir -p folder.xsvf|COM7 FPGA folder.xsvf|2|File folder.xsvf is not a regular file.|true
pipe found by ALL|mkfifo fpga.xsvf|COM7 ALL|1|File fpga.xsvf is not a regular file.|rm fpga.xsvf && ! grep -q "ISP request" card.log
empty image is refused before anything is sent|: > Device1.bin|COM7 VIPER Device1.bin --verify <<<k|1|Empty file : Device1.bin has no bytes.|! grep -q "ISP request" card.log
empty script does not count as played|: > empty.txt|COM7 REMOTE empty.txt --json|1|Empty file : empty.txt has no bytes.|[ "$(json_member outcome)" = failure ]
escape bytes in a name: shown escaped, kept in the JSON|:|COM7 READ 5 $'e\e[2J\xff.bin' 32 --json|0|Saved e\x1B[2J\xFF.bin : 32 bytes.|[ -f $'e\e[2J\xff.bin' ] && tail -n 1 out | grep -qF '"file":"e\u001b[2J\udcff.bin"'
one card under two port names|:|COM7,COM8 STATUS --json|2|Ports COM7 and COM8 are the same device|true
trace into a FIFO|rm -f fifo; mkfifo fifo; (cat fifo > fifo.out &)|COM7 STATUS --trace fifo <<<q|0||sleep 0.2; tail -n 1 fifo.out | grep -q "run ended: exit status 0"
trace to standard error, added to what it holds|:|COM7 STATUS --trace /dev/stderr <<<q|0||grep -q "run ended: exit status 0" err
TABLE

# The card's own text: a device name with an escape sequence in it.
case_ "the card's device name is shown escaped"
start_card --model HDMITOSDI --status-name $'VXP\e[2J'
run_updater COM7 STATUS
expect_rc 0
expect_out_contains 'Device Name         -> VXP\x1B[2J'
start_card --model HDMITOSDI

# Ctrl-C in the middle of a read: exit 130, the result and the trace's last
# line written, no backup.
case_ "Ctrl-C with --json"
interrupt_when "$WORK/out" "Job at" 20 COM7 READ 5 big.bin --json --trace big.log
expect_rc 130
if [ "$(json_member outcome)" = interrupted ] && [ "$(json_member failed_step)" = mode ]; then pass; else fail "last line: $(tail -n 1 "$WORK/out")"; fi
if tail -n 1 "$WORK/big.log" | grep -q "run ended: exit status 130, stopped at mode: interrupted (Ctrl-C)"; then pass; else fail "trace ends: $(tail -n 1 "$WORK/big.log")"; fi
if absent big.bin; then pass; else fail "a backup was left"; fi

finish

#!/usr/bin/env bash
# EDID mode against the simulated card: one and two blocks stored with the
# plain 8-bit sum, files of other lengths refused before any byte goes to
# the card, the verdict 'E'.  The images hold line ends and the text-mode
# end-of-file byte 0x1A, which a file read in text mode would mangle.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/features_lib.sh"

# edid N FILE: an N-byte image (two blocks carry correct block checksums).
edid() {
  python3 - "$1" "$2" <<'PY'
import sys
n, path = int(sys.argv[1]), sys.argv[2]
data = bytearray((i * 37 + 11) & 0xFF for i in range(n))
if n in (128, 256):
    data[0:8] = b"\x00\xff\xff\xff\xff\xff\xff\x00"
    data[20:24] = b"\r\n\x1a\n"
    for block in range(n // 128):
        body = data[block * 128:block * 128 + 127]
        data[block * 128 + 127] = (-sum(body)) & 0xFF
open(path, "wb").write(bytes(data))
PY
}

case_ "one block on an HDMI TO SDI card"
edid 128 "$WORK/EDID.bin"
start_card --model HDMITOSDI
run_updater COM7 EDID EDID.bin
expect_rc 0
{ banner "HDMI TO SDI" 2.5
  printf '\n->Program EDID with  128 bytes...\nSuccess\n\nTotal Time : 0 minutes 0 seconds\n\n\nExit updater\n'; } >"$WORK/expected"
expect_out_timed "$WORK/expected"
expect_same "$WORK/state/edid.bin" "$WORK/EDID.bin"
# With correct block checksums the transfer checksum is 0.
if grep -q '# command #EDID 1' "$WORK/card.log" && grep -q '# EDID checksum matches' "$WORK/card.log"; then pass; else fail "card log"; fi
if grep -q '^hint:' "$WORK/err"; then fail "a well-formed EDID got a hint: $(cat "$WORK/err")"; else pass; fi

case_ "two blocks on a DVI TO SDI PLUS card, stray bytes before each answer"
edid 256 "$WORK/two.bin"
start_card --model DVITOSDI --version "2 3.0" --edid-stray 'x~'
run_updater COM7 EDID two.bin
expect_rc 0
{ banner "DVI TO SDI" 3.0 PLUS
  printf '\n->Program EDID with  256 bytes...\nSuccess\n\nTotal Time : 0 minutes 0 seconds\n\n\nExit updater\n'; } >"$WORK/expected"
expect_out_timed "$WORK/expected"
expect_same "$WORK/state/edid.bin" "$WORK/two.bin"

case_ "a block checksum that is wrong gets a hint, and the transfer goes on"
edid 256 "$WORK/two.bin"
printf '\x55' | dd of="$WORK/two.bin" bs=1 seek=200 conv=notrunc status=none
start_card --model DVITOSDI
run_updater COM7 EDID two.bin
expect_rc 0
expect_err_contains "hint: two.bin may not be an EDID: the checksum of block 1 is wrong"
expect_same "$WORK/state/edid.bin" "$WORK/two.bin"

case_ "127, 129, 255 and 257 bytes are refused before anything is sent"
rm -f "$WORK/state/edid.bin"
for n in 127 129 255 257; do
  edid "$n" "$WORK/bad.bin"
  start_card --model HDMITOSDI
  run_updater COM7 EDID bad.bin
  expect_rc 1
  { banner "HDMI TO SDI" 2.5
    printf '\nError only file of 128 or 256 bytes can be read\nUnable to write EDID information \n\nPress any key to continue\n\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  expect_log_lacks "#EDID"
done
[ -e "$WORK/state/edid.bin" ] && fail "the card stored an EDID" || pass

case_ "verdict E"
start_card --model HDMITOSDI --edid-verdict E
run_updater COM7 EDID EDID.bin
expect_rc 1
{ banner "HDMI TO SDI" 2.5
  printf '\n->Program EDID with  128 bytes...\nFailed\n\nTotal Time : 0 minutes 0 seconds\n\n\nExit updater\n'; } >"$WORK/expected"
expect_out_timed "$WORK/expected"
[ -e "$WORK/state/edid.bin" ] && fail "the card stored a refused EDID" || pass

finish

# Helpers for the video-processor end-to-end tests (VIPER, VERIFY, STATUS,
# ALL); source after lib.sh.

# make_image FILE SIZE SEED: SIZE bytes of a repeatable pattern.
make_image() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, size, seed = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3])
open(path, "wb").write(bytes(((k * 37 + seed) ^ (k >> 8)) & 0xFF for k in range(size)))
PY
}

# make_driver FILE TAG: an ISP driver image; the card knows a driver by the
# ASCII tag at its entry address 0x800 (SFDRIVER or FDRIVER).
make_driver() {
  python3 - "$1" "$2" <<'PY'
import sys
body = bytearray(((k * 11 + 3) & 0xFF) for k in range(0x1000))
tag = sys.argv[2].encode() + b"\0"
body[0x800:0x800 + len(tag)] = tag
open(sys.argv[1], "wb").write(bytes(body))
PY
}

# padded_copy IN OUT: IN padded with 0xFF to a whole 32-byte block, as the
# card's flash keeps an image written onto erased flash.
padded_copy() {
  python3 - "$1" "$2" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(data + b"\xff" * (-len(data) % 32))
PY
}

# flip_bytes FILE OFFSET...: inverts the bytes at the given offsets.
flip_bytes() {
  python3 - "$@" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
for off in sys.argv[2:]:
    data[int(off, 0)] ^= 0xFF
open(path, "wb").write(bytes(data))
PY
}

# expect_count TEXT N: the output holds TEXT exactly N times.
expect_count() {
  local n
  n=$(python3 -c 'import sys; print(open(sys.argv[1], "rb").read().count(sys.argv[2].encode().decode("unicode_escape").encode("latin-1")))' "$WORK/out" "$1")
  if [ "$n" -eq "$2" ]; then pass; else fail "output holds '$1' $n times, expected $2"; fi
}

# expect_log_order TEXT...: the card's exchange log notes the texts in this
# order.
expect_log_order() {
  python3 - "$WORK/card.log" "$@" <<'PY' && pass || fail "card log order: $*"
import sys
log = open(sys.argv[1], encoding="latin-1").read()
at = 0
for text in sys.argv[2:]:
    found = log.find(text, at)
    if found < 0:
        print("  not found in order: " + text)
        sys.exit(1)
    at = found + len(text)
PY
}

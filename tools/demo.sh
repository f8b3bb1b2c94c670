#!/usr/bin/env bash
# make demo: starts the simulated card on a pseudo-terminal and runs a VIPER
# update of flash device 5 against it, then reads the device back with
# VERIFY, in a scratch folder with generated update files.
set -u
BUILD=${1:-build}
UPDATER=$(readlink -f "$BUILD/updater")
CARDSIM=$(readlink -f "$BUILD/card-sim")
DIR=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
SIM=
trap '[ -n "$SIM" ] && kill $SIM 2>/dev/null; wait 2>/dev/null; rm -rf "$DIR"' EXIT

# The update files: an ISP driver (the simulated card knows an FDriver by
# its tag at 0x800) and a 16 KiB flash image with its 256-byte header.
cd "$DIR"
{ head -c 2048 /dev/zero; printf 'FDRIVER'; head -c 2041 /dev/zero; } >FDriver.bin
head -c 16384 /dev/urandom >Device5.bin

"$CARDSIM" --link "$DIR/com7" --state "$DIR/card" --log "$DIR/card.log" \
  --model HDMITOSDI --version "2 3.1" >/dev/null 2>&1 &
SIM=$!
for _ in $(seq 1 200); do [ -L "$DIR/com7" ] && break; sleep 0.01; done
export UPDATER_PORT_COM7="$DIR/com7"

echo "== simulated card on $(readlink "$DIR/com7"), known to the updater as COM7"
echo "== updater COM7 VIPER Device5.bin"
"$UPDATER" COM7 VIPER Device5.bin </dev/null
viper=$?
echo
echo "== exit status $viper"
echo "== updater COM7 VERIFY Device5.bin"
"$UPDATER" COM7 VERIFY Device5.bin </dev/null
verify=$?
echo
echo "== exit status $verify"
if cmp -s -n 16384 Device5.bin card/flash5.bin; then
  echo "== the card's flash device 5 now holds Device5.bin"
else
  echo "== the card's flash device 5 does NOT hold Device5.bin"
  exit 1
fi
[ "$viper" -eq 0 ] && [ "$verify" -eq 0 ]

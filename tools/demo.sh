#!/usr/bin/env bash
# make demo: starts the simulated card on a pseudo-terminal and runs the
# updater against it, in a scratch folder with generated update files.
set -u
BUILD=${1:-build}
UPDATER=$(readlink -f "$BUILD/updater")
CARDSIM=$(readlink -f "$BUILD/card-sim")
DIR=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null; rm -rf "$DIR"' EXIT

"$CARDSIM" --link "$DIR/com7" --state "$DIR/card" --log "$DIR/card.log" \
  --model HDMITOSDI --version "2 3.1" >/dev/null 2>&1 &
SIM=$!
for _ in $(seq 1 200); do [ -L "$DIR/com7" ] && break; sleep 0.01; done

echo "== simulated card on $(readlink "$DIR/com7"), known to the updater as COM7"
echo "== updater COM7 (identification)"
cd "$DIR"
UPDATER_PORT_COM7="$DIR/com7" "$UPDATER" COM7 </dev/null
status=$?
echo "== exit status $status (2: no mode was given)"
exit 0

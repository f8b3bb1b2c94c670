#!/usr/bin/env bash
# Cards behind a console server: the real ser2net on 127.0.0.1 in front of
# card-sim's pseudo-terminal, reached as rfc2217://HOST:PORT (Telnet with
# the COM Port Control Option) and socket://HOST:PORT (raw TCP).  Data full
# of 0xFF (Telnet's IAC) both ways, the bit rate changes of MICRO, their
# refusal on a raw port, two cards over two server ports, a server killed
# mid-write and during the identification, Ctrl-C while waiting on the server (over IPv6), a refused
# connection, and a device path as the port.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/vxp_lib.sh"

if ! command -v ser2net >/dev/null 2>&1; then
  echo "SKIPPED: ser2net is not installed (Debian package ser2net), so the network cases did not run"
  exit 0
fi

SER2NET_PID=
CARD8_PID=
stop_ser2net() {
  if [ -n "$SER2NET_PID" ]; then
    kill "$SER2NET_PID" 2>/dev/null || true
    wait "$SER2NET_PID" 2>/dev/null || true
    SER2NET_PID=
  fi
}
stop_card8() {
  if [ -n "$CARD8_PID" ]; then
    kill "$CARD8_PID" 2>/dev/null || true
    wait "$CARD8_PID" 2>/dev/null || true
    CARD8_PID=
  fi
}
trap 'stop_ser2net; stop_card8; cleanup' EXIT

# free_ports N: N TCP ports free on 127.0.0.1 just now, one a line.
free_ports() {
  python3 - "$1" <<'PY'
import socket, sys
held = []
for _ in range(int(sys.argv[1])):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    held.append(s)
print("\n".join(str(s.getsockname()[1]) for s in held))
PY
}

# listening PORT: something listens on 127.0.0.1:PORT.
listening() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }

# start_ser2net KIND=DEVICE...: one ser2net with a connection per argument
# (KIND rfc2217 or raw) in front of DEVICE; their ports in PORTS[].
start_ser2net() {
  stop_ser2net
  local yaml=$WORK/ser2net.yaml i=0 entry accepter
  mapfile -t PORTS < <(free_ports $#)
  : >"$yaml"
  for entry in "$@"; do
    accepter="tcp,127.0.0.1,${PORTS[$i]}"
    [ "${entry%%=*}" = rfc2217 ] && accepter="telnet(rfc2217),$accepter"
    printf 'connection: &card%d\n  accepter: %s\n  connector: serialdev,%s,115200n81,local\n' \
      "$i" "$accepter" "${entry#*=}" >>"$yaml"
    printf '  options:\n    chardelay: false\n' >>"$yaml"
    i=$((i + 1))
  done
  ser2net -n -d -c "$yaml" >"$WORK/ser2net.log" 2>&1 &
  SER2NET_PID=$!
  for _ in $(seq 1 500); do
    local ready=1 port
    for port in "${PORTS[@]}"; do listening "$port" || ready=0; done
    [ "$ready" = 1 ] && return 0
    kill -0 "$SER2NET_PID" 2>/dev/null || break
    sleep 0.01
  done
  fail "ser2net did not start: $(cat "$WORK/ser2net.log")"
  return 1
}

card_pty() { readlink -f "$PORT_LINK"; }

# An ISP driver for device 1, and images of 0xFF and 0xFD, the bytes a
# Telnet server reads as IAC and DO: every one must reach the flash as is.
make_driver "$WORK/SFDriver.bin" SFDRIVER
python3 -c 'import sys; sys.stdout.buffer.write(bytes([0xFF, 0xFD, 0xFF, 0xFF]) * 1024)' >"$WORK/Device1.bin"
padded_copy "$WORK/Device1.bin" "$WORK/expected1.bin"

case_ "VIPER --verify over RFC 2217 with an image of 0xFF and 0xFD"
start_card --model HDMITOSDI
start_ser2net "rfc2217=$(card_pty)"
RFC=rfc2217://127.0.0.1:${PORTS[0]}
run_updater "$RFC" VIPER Device1.bin --verify --trace net.trace
expect_rc 0
expect_out_contains "Mismatch Total 0"
expect_same "$WORK/state/flash1.bin" "$WORK/expected1.bin"
grep -q "port $RFC open at 115200 bit/s 8N1" "$WORK/net.trace" && pass || fail "the trace lacks the open line"

case_ "a name whose lookup never answers: exit 1 after the connect's 5 s"
# A preloaded getaddrinfo that takes 30 s for *.slow.invalid stands in for a
# name server that does not reply.  Under Wine it reaches the lookup through
# Winsock; a 32-bit Wine loads 32-bit libraries, where this 64-bit one does
# not apply.
pe_machine() { od -An -tx2 -j $(( $(od -An -tu4 -j 60 -N4 "$1") + 4 )) -N2 "$1" | tr -d ' '; }
if ! command -v cc >/dev/null 2>&1; then
  echo "SKIPPED [$CASE]: no C compiler for the preloaded lookup"
elif [ -n "${E2E_UNDER_WINE:-}" ] && [ "$(pe_machine "$WINE_UPDATER_EXE")" != 8664 ]; then
  echo "SKIPPED [$CASE]: the preloaded lookup is a 64-bit library"
else
  cc -shared -fPIC -o "$WORK/slow_lookup.so" "$E2E_DIR/slow_lookup.c" -ldl
  started=$(date +%s.%N)
  LD_PRELOAD=$WORK/slow_lookup.so RUN_TIMEOUT=20 run_updater "rfc2217://card7.slow.invalid:4001" STATUS
  took=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
  expect_rc 1
  expect_out_printf 'Failed to open rfc2217://card7.slow.invalid:4001 :  cannot connect to card7.slow.invalid port 4001: the name was not resolved within 5 s\n\nExit updater\n'
  awk -v t="$took" 'BEGIN { exit !(t >= 4.9 && t < 8) }' && pass || fail "the run took $took s"
fi

# Under Wine one case shows that Winsock carries the same protocol; the
# rest exercise code that is the same on both platforms.
if [ -n "${E2E_UNDER_WINE:-}" ]; then
  echo "SKIPPED under Wine: the other network cases (same code above the sockets)"
  finish
fi

case_ "VERIFY over RFC 2217, READ over raw TCP"
run_updater "$RFC" VERIFY Device1.bin
expect_rc 0
expect_out_contains "Mismatch Total 0"
stop_ser2net
start_ser2net "raw=$(card_pty)"
run_updater "socket://127.0.0.1:${PORTS[0]}" READ 1 backup1.bin 4096
expect_rc 0
expect_same "$WORK/backup1.bin" "$WORK/Device1.bin"

case_ "FPGA over RFC 2217"
python3 "$E2E_DIR/make_xsvf.py" "$WORK/fpga.xsvf"
stop_ser2net
start_ser2net "rfc2217=$(card_pty)"
run_updater "rfc2217://localhost:${PORTS[0]}" FPGA fpga.xsvf
expect_rc 0
expect_out_contains "Success"
expect_same "$WORK/state/fpga.xsvf" "$WORK/fpga.xsvf"

case_ "MICRO over RFC 2217: the boot program at 9600 bit/s and back"
micro_files 1000
run_updater "rfc2217://127.0.0.1:${PORTS[0]}" MICRO
expect_rc 0
stop_card  # the card keeps its flash on stopping
expect_same "$WORK/state/micro_flash.bin" "$WORK/expected_flash.bin"
expect_same "$WORK/state/boot_micro_kernel.bin" "$WORK/uGen7144.cde"

case_ "MICRO over raw TCP is refused before anything is sent"
stop_ser2net
start_card --model HDMITOSDI
start_ser2net "raw=$(card_pty)"
run_updater "socket://127.0.0.1:${PORTS[0]}" MICRO
expect_rc 1
expect_out_printf 'MICRO cannot run over socket://127.0.0.1:%s : a raw TCP port cannot change the bit rate. Use rfc2217://127.0.0.1:%s on a server that supports RFC 2217.\n\nExit updater\n' "${PORTS[0]}" "${PORTS[0]}"
[ -z "$(card_bytes received | tr -d ' \n')" ] && pass || fail "the card received bytes"

case_ "two cards over two server ports in one run"
"$CARDSIM" --link "$WORK/com8" --state "$WORK/state8" --log "$WORK/card8.log" \
  --model SDITODVI >/dev/null 2>&1 &
CARD8_PID=$!
for _ in $(seq 1 200); do [ -L "$WORK/com8" ] && break; sleep 0.01; done
stop_ser2net
start_ser2net "rfc2217=$(card_pty)" "rfc2217=$(readlink -f "$WORK/com8")"
run_updater "rfc2217://127.0.0.1:${PORTS[0]},RFC2217://127.0.0.1:${PORTS[1]}" VIPER Device1.bin
expect_rc 0
expect_same "$WORK/state/flash1.bin" "$WORK/expected1.bin"
expect_same "$WORK/state8/flash1.bin" "$WORK/expected1.bin"
expect_out_contains "rfc2217://127.0.0.1:${PORTS[1]}  DL-SDI TO DVI"
stop_card8

case_ "the server killed mid-write: exit 1 with a message within 15 s"
mkdir -p "$WORK/big"
python3 -c 'import sys; sys.stdout.buffer.write(bytes([0xFF, 0xFD]) * 4096)' >"$WORK/big/Device1.bin"
cp "$WORK/SFDriver.bin" "$WORK/big/"
start_card --model HDMITOSDI
start_ser2net "rfc2217=$(card_pty)"
( for _ in $(seq 1 3000); do
    if grep -q "ISP mode program device 1" "$WORK/card.log" 2>/dev/null; then
      sleep 0.2; kill -9 "$SER2NET_PID"; date +%s.%N >"$WORK/killed"; exit 0
    fi
    sleep 0.01
  done ) &
KILLER=$!
RC=0
(cd "$WORK/big" && timeout 60 "$UPDATER" "rfc2217://127.0.0.1:${PORTS[0]}" VIPER Device1.bin </dev/null \
   >"$WORK/out" 2>"$WORK/err") || RC=$?
ended=$(date +%s.%N)
wait "$KILLER" || true
SER2NET_PID=
expect_rc 1
if [ -f "$WORK/killed" ]; then
  awk -v a="$(cat "$WORK/killed")" -v b="$ended" 'BEGIN { exit !(b - a < 15) }' && pass ||
    fail "the run ended $(awk -v a="$(cat "$WORK/killed")" -v b="$ended" 'BEGIN { print b - a }') s after the kill"
else
  fail "the server was never killed"
fi
expect_out_lacks "Total Time"
expect_out_contains $'\nthe connection to 127.0.0.1 port '"${PORTS[0]}"' was lost: '
grep -E "was lost: (connection closed by the server|connection reset by peer)$" "$WORK/out" >/dev/null &&
  pass || fail "the loss has no reason"

case_ "the server killed while a silent card is identified: exit 1 within 15 s, not dialled again"
start_card --silent
start_ser2net "rfc2217=$(card_pty)"
( sleep 2; kill -9 "$SER2NET_PID"; date +%s.%N >"$WORK/killed" ) &
KILLER=$!
RC=0
timeout 60 "$UPDATER" "rfc2217://127.0.0.1:${PORTS[0]}" STATUS </dev/null >"$WORK/out" 2>"$WORK/err" || RC=$?
ended=$(date +%s.%N)
wait "$KILLER" || true
SER2NET_PID=
expect_rc 1
awk -v a="$(cat "$WORK/killed")" -v b="$ended" 'BEGIN { exit !(b - a < 15) }' && pass ||
  fail "the run ended $(awk -v a="$(cat "$WORK/killed")" -v b="$ended" 'BEGIN { print b - a }') s after the kill"
# A kill closes the connection, or resets it when bytes were left unread.
printf '\nNow communicating with the card to obtain version information...\nthe connection to 127.0.0.1 port %s was lost: REASON\n\nExit updater\n' "${PORTS[0]}" >"$WORK/expected"
sed -E 's/(was lost: )(connection closed by the server|connection reset by peer)$/\1REASON/' "$WORK/out" |
  cmp -s - "$WORK/expected" && pass || { fail "not the lost connection's ending"; show_out; }

case_ "Ctrl-C while the updater waits on the server, over IPv6"
# A silent card: identification repeats until the operator gives up.
start_card --silent
start_ser2net "rfc2217=$(card_pty)"
sed -i "s/tcp,127.0.0.1,/tcp,::1,/" "$WORK/ser2net.yaml"
start_ser2net_again() {
  stop_ser2net
  ser2net -n -d -c "$WORK/ser2net.yaml" >"$WORK/ser2net.log" 2>&1 &
  SER2NET_PID=$!
  for _ in $(seq 1 500); do listening "${PORTS[0]}" && return 0; sleep 0.01; done
  fail "ser2net did not start on ::1: $(cat "$WORK/ser2net.log")"
}
start_ser2net_again
python3 - "$UPDATER" "rfc2217://[::1]:${PORTS[0]}" "$WORK" <<'PY' && pass || fail "Ctrl-C did not end the run at once"
import signal, subprocess, sys, time
updater, port, work = sys.argv[1:4]
p = subprocess.Popen([updater, port, "STATUS"], cwd=work, stdin=subprocess.DEVNULL,
                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
time.sleep(1.5)
assert p.poll() is None, "the run ended by itself: %r" % p.stdout.read()
p.send_signal(signal.SIGINT)
start = time.monotonic()
p.wait(5)
assert time.monotonic() - start < 1, "took %.1f s" % (time.monotonic() - start)
assert p.returncode in (-signal.SIGINT, 130), p.returncode
assert b"obtain version information" in p.stdout.read(), "never reached the card"
PY
stop_ser2net

case_ "a refused connection names the host and the reason"
port=$(free_ports 1)
run_updater "rfc2217://127.0.0.1:$port" STATUS
expect_rc 1
expect_out_printf 'Failed to open rfc2217://127.0.0.1:%s :  cannot connect to 127.0.0.1 port %s: connection refused\n\nExit updater\n' "$port" "$port"

case_ "a network port that does not parse, and a device path"
run_updater rfc2217://127.0.0.1 STATUS
expect_rc 2
expect_out_printf 'Bad network port rfc2217://127.0.0.1 : write rfc2217://HOST:PORT or socket://HOST:PORT (PORT 1 to 65535).\n\nExit updater\n'
if native_only "device paths are POSIX names"; then
  start_card --model HDMITOSDI
  KEYS=q RUN_TIMEOUT=60 run_updater "$(card_pty)" STATUS
  expect_rc 0
  expect_out_contains "VXP GF9350"
fi

finish

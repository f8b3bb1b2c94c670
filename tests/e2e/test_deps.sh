#!/usr/bin/env bash
# tools/deps.sh, which make demo, make test and CI call first, on a machine
# faked around it: dpkg-query answers from a list of installed packages,
# and apt-get, dpkg --add-architecture and sudo only note their calls.
source "$(dirname "$0")/lib.sh" "$@"
DEPS=$E2E_DIR/../../tools/deps.sh
FAKE=$WORK/fake
mkdir -p "$FAKE"

# dpkg-query -W -f FORMAT NAME...: "name arch installed" for each NAME (with
# or without :arch) found in $FAKE/installed ("name arch" lines).
cat >"$FAKE/dpkg-query" <<'EOF'
#!/usr/bin/env bash
shift 2  # -W -f=FORMAT
for want in "$@"; do
  while read -r name arch; do
    [ "$want" = "$name" ] || [ "$want" = "$name:$arch" ] && echo "$name $arch installed"
  done <"$(dirname "$0")/installed"
done
exit 0
EOF
cat >"$FAKE/dpkg" <<'EOF'
#!/usr/bin/env bash
here=$(dirname "$0")
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$here/foreign" ;;
  *) echo "dpkg $*" >>"$here/calls"; echo "$2" >>"$here/foreign" ;;
esac
EOF
cat >"$FAKE/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$(dirname "$0")/calls"
EOF
cat >"$FAKE/id" <<'EOF'
#!/usr/bin/env bash
echo "$FAKE_UID"
EOF
# sudo -n COMMAND: runs it when $FAKE/sudo-ok exists, else refuses.
cat >"$FAKE/sudo" <<'EOF'
#!/usr/bin/env bash
[ -e "$(dirname "$0")/sudo-ok" ] || exit 1
shift
[ "$1" = true ] || echo "sudo:" >>"$(dirname "$0")/calls"
exec "$@"
EOF
chmod +x "$FAKE"/*

ALL_DEMO="build-essential amd64
cmake amd64
nlohmann-json3-dev all"
ALL_TEST="$ALL_DEMO
libgtest-dev amd64
libgmock-dev amd64
python3 amd64
procps amd64
srecord amd64
ser2net amd64
g++-mingw-w64-x86-64 all
g++-mingw-w64-i686 all
wine all
wine64 amd64
wine32 i386"

# check NAME SET UID SUDO FOREIGN INSTALLED RC STDOUT CALLS: runs deps.sh
# SET as user UID (sudo usable when SUDO is yes) with the foreign
# architectures FOREIGN and the packages INSTALLED, and expects exit status
# RC, STDOUT (a pattern) and the calls CALLS (one line each, in order).
check() {
  case_ "$1"
  printf '%s\n' "$6" >"$FAKE/installed"
  printf '%s' "$5" >"$FAKE/foreign"
  rm -f "$FAKE/calls" "$FAKE/sudo-ok"
  touch "$FAKE/calls"
  [ "$4" = yes ] && touch "$FAKE/sudo-ok"
  local rc=0
  FAKE_UID=$3 PATH="$FAKE:$PATH" bash "$DEPS" "$2" >"$WORK/out" 2>"$WORK/err" || rc=$?
  [ "$rc" -eq "$7" ] && pass || fail "exit status $rc, expected $7 ($(cat "$WORK/err"))"
  # shellcheck disable=SC2053
  [[ $(cat "$WORK/out") == $8 ]] && pass || fail "stdout '$(cat "$WORK/out")', expected '$8'"
  [ "$(cat "$FAKE/calls")" = "$9" ] && pass || fail "calls '$(cat "$FAKE/calls")', expected '$9'"
}

INSTALL="apt-get install -y -qq --no-install-recommends"
check "everything there: quiet, nothing run" \
  test 1000 no "i386" "$ALL_TEST" 0 "" ""
check "the demo needs only its own packages" \
  demo 1000 no "" "$ALL_DEMO" 0 "" ""
check "as root: one update, then the missing packages" \
  test 0 no "i386" "$(grep -v -e cmake -e srecord <<<"$ALL_TEST")" 0 "tools/deps.sh: installing cmake srecord" \
  "apt-get update -qq
$INSTALL cmake srecord"
check "a package of another architecture enables it before the update" \
  test 0 no "" "$(grep -v wine32 <<<"$ALL_TEST")" 0 "*installing wine32:i386" \
  "dpkg --add-architecture i386
apt-get update -qq
$INSTALL wine32:i386"
check "wine32 of the machine's own architecture is not the i386 one" \
  test 0 no "i386" "$(sed 's/^wine32 i386/wine32 amd64/' <<<"$ALL_TEST")" 0 "*installing wine32:i386" \
  "apt-get update -qq
$INSTALL wine32:i386"
check "passwordless sudo does the same through sudo" \
  demo 1000 yes "" "build-essential amd64" 0 "*installing cmake nlohmann-json3-dev" \
  "sudo:
apt-get update -qq
sudo:
$INSTALL cmake nlohmann-json3-dev"
check "neither root nor sudo: the command to run, status 2, nothing run" \
  ci 1000 no "i386" "$ALL_TEST" 2 "  sudo apt-get install -y --no-install-recommends clang libclang-rt-14-dev lintian time" ""
check "a set it does not know" \
  everything 0 no "" "" 2 "" ""

finish

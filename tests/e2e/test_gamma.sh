#!/usr/bin/env bash
# GAMMA mode against the simulated card: a table with comments and mixed
# separators arrives value by value, bad files are refused before any byte
# goes to the card, the verdict 'E'.
source "$(dirname "$0")/lib.sh" "$@"
source "$E2E_DIR/features_lib.sh"

# gamma FILE EXPECTED [EXTRA]: writes a 1024-line table with comment lines
# and the separators ",", ";", " " and ", " to FILE and the card's form of
# it ("r,g,b" lines) to EXPECTED.  EXTRA: "blank" adds a blank line, "more"
# a 1025th line, "range" puts 1024 into line 700.
gamma() {
  python3 - "$@" <<'PY'
import sys
path, expected = sys.argv[1], sys.argv[2]
extra = sys.argv[3] if len(sys.argv) > 3 else ""
seps = [",", ";", " ", ", "]
lines, card = ["% gamma table for the e2e test", "%R G B"], []
for i in range(1024):
    r, g, b = i, 1023 - i, (i * 7) % 1024
    if extra == "range" and i == 700:
        g = 1024
    s = seps[i % 4]
    lines.append(f"{r}{s}{g}{s}{b}")
    card.append(f"{r},{g},{b}")
    if i % 256 == 0:
        lines.append("% a comment between data lines")
    if extra == "blank" and i == 500:
        lines.append("")
if extra == "more":
    lines.append("1,2,3")
open(path, "w").write("\r\n".join(lines) + "\r\n")
open(expected, "w").write("\n".join(card) + "\n")
PY
}

case_ "a full table with comments and mixed separators"
gamma "$WORK/gamma.csv" "$WORK/gamma.expected"
start_card --model SDITOHDMI --gamma-greeting $'OK\r\n'
run_updater COM7 GAMMA gamma.csv
expect_rc 0
{ banner "DL-SDI TO HDMI" 2.5
  printf '\n->Analysing Gamma File...OK\n->Sending Gamma Data...Success\n\n\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"
expect_same "$WORK/state/gamma.txt" "$WORK/gamma.expected"

case_ "bad files are refused before anything is sent"
for bad in "range:\nError, the RGB value must be between 0 and 1023." \
           "blank:Gamma File error -> The file contains 1025 lines (only 1024 lines are accepted)" \
           "more:Gamma File error -> The file contains 1025 lines (only 1024 lines are accepted)"; do
  kind=${bad%%:*}
  message=${bad#*:}
  gamma "$WORK/bad.csv" "$WORK/bad.expected" "$kind"
  rm -f "$WORK/state/gamma.txt"
  start_card --model SDITOHDMI
  run_updater COM7 GAMMA bad.csv
  expect_rc 1
  { banner "DL-SDI TO HDMI" 2.5
    printf '\n->Analysing Gamma File...'"$message"'\nPress any key to continue\n\nExit updater\n'; } >"$WORK/expected"
  expect_out "$WORK/expected"
  expect_log_lacks "#GAMMA"
done

case_ "verdict E"
start_card --model SDITOHDMI --gamma-verdict E
run_updater COM7 GAMMA gamma.csv
expect_rc 1
{ banner "DL-SDI TO HDMI" 2.5
  printf '\n->Analysing Gamma File...OK\n->Sending Gamma Data...Failed\n\n\nExit updater\n'; } >"$WORK/expected"
expect_out "$WORK/expected"
[ -e "$WORK/state/gamma.txt" ] && fail "the card stored a refused table" || pass

finish

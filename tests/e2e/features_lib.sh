# Helpers shared by the FPGA, EDID, GAMMA and REMOTE end-to-end tests; source
# after lib.sh.

# expect_progress_out FILE: the output equals FILE once every run of progress
# lines ("\rJob at X %") is squeezed to its last line.  The number of
# progress lines depends on timing (one per 50 ms read slice); their values
# must never fall.
expect_progress_out() {
  python3 - "$WORK/out" "$WORK/out.squeezed" <<'PY' || fail "progress values fall back"
import re, sys
data = open(sys.argv[1], "rb").read()
tokens = re.compile(rb"(?:\rJob at (\d+\.\d\d) %)+")
ok = True
def squeeze(m):
    global ok
    values = [float(v) for v in re.findall(rb"\rJob at (\d+\.\d\d) %", m.group(0))]
    ok = ok and values == sorted(values)
    return b"\rJob at " + re.findall(rb"\d+\.\d\d", m.group(0))[-1] + b" %"
open(sys.argv[2], "wb").write(tokens.sub(squeeze, data))
sys.exit(0 if ok else 1)
PY
  if cmp -s "$WORK/out.squeezed" "$1"; then pass; else
    fail "output (progress squeezed) differs from $(basename "$1")"
    diff <(od -c "$1") <(od -c "$WORK/out.squeezed") | head -20 || true
  fi
}


# expect_out_timed FILE: as expect_out, but the seconds of the time line may
# differ (a loaded machine can push a half-second transfer past a second).
expect_out_timed() {
  sed -E 's/Time : 0 minutes [0-9]+ seconds/Time : 0 minutes N seconds/' "$WORK/out" >"$WORK/out.timed"
  sed -E 's/Time : 0 minutes [0-9]+ seconds/Time : 0 minutes N seconds/' "$1" >"$WORK/expected.timed"
  if cmp -s "$WORK/out.timed" "$WORK/expected.timed"; then pass; else
    fail "output differs from $(basename "$1")"
    diff <(od -c "$WORK/expected.timed") <(od -c "$WORK/out.timed") | head -20 || true
  fi
}

# Helpers of the Wine cases; source after tests/e2e/lib.sh.  $UPDATER is
# wine_updater.sh, which runs updater.exe under Wine with the output brought
# back to the native form.
source "$E2E_DIR/features_lib.sh"
source "$E2E_DIR/vxp_lib.sh"

# mode_missing: true, with a SKIPPED line, when the last run met a mode that
# this build does not have yet; the case's checks are then left out.
mode_missing() {
  local line
  line=$(grep -o 'Mode [A-Z]* is not available in this build' "$WORK/out" | head -n 1)
  [ -n "$line" ] || return 1
  echo "SKIPPED [$CASE]: $line"
  return 0
}

# run_native ARGS...: the native updater in $WORK on the same line, standard
# input as given.  Output in $WORK/native.out, status in NATIVE_RC.  Without
# a native build (NATIVE_UPDATER unset) NATIVE_RC is empty.
run_native() {
  NATIVE_RC=
  [ -n "${NATIVE_UPDATER:-}" ] || return 0
  (cd "$WORK" && timeout "${RUN_TIMEOUT:-300}" "$NATIVE_UPDATER" "$@" >"$WORK/native.out" 2>/dev/null)
  NATIVE_RC=$?
}

# expect_same_as_native: the Wine run's status and output equal the native
# run's.
expect_same_as_native() {
  if [ -z "$NATIVE_RC" ]; then echo "  (no native build to compare with)"; return 0; fi
  if [ "$RC" -eq "$NATIVE_RC" ]; then pass; else fail "status $RC under Wine, $NATIVE_RC natively"; fi
  if cmp -s "$WORK/out" "$WORK/native.out"; then pass; else
    fail "output under Wine differs from the native output"
    diff <(od -c "$WORK/native.out") <(od -c "$WORK/out") | head -20
  fi
}

# expect_out_timeless FILE: the output equals FILE once every elapsed time
# ("Time : 0 minutes 3 seconds") reads "M minutes S seconds"; the real
# time a run takes depends on the machine's load.
expect_out_timeless() {
  sed -E 's/: [0-9]+ minutes [0-9]+ seconds/: M minutes S seconds/g' "$WORK/out" >"$WORK/out.timeless"
  if cmp -s "$WORK/out.timeless" "$1"; then pass; else
    fail "output (times masked) differs from $(basename "$1")"
    diff <(od -c "$1") <(od -c "$WORK/out.timeless") | head -20
  fi
}

# unplug_when_card_hears REGEX: once the card's log shows REGEX, removes
# the card's line link in the background, and with it the Wine device link:
# from then on COM7 cannot be opened again, so a run that reopens the port
# fails, while one that keeps its handle goes on.
unplug_when_card_hears() {
  (
    for _ in $(seq 1 3000); do
      if grep -qE -- "$1" "$WORK/card.log" 2>/dev/null; then rm -f "$PORT_LINK"; exit 0; fi
      sleep 0.01
    done
  ) &
}

#!/usr/bin/env bash
# Runs every fuzz target of BUILD: first the committed crash cases of
# tests/fuzz/regressions/TARGET (each must now pass), then SECONDS of
# fuzzing from the seed corpus tests/fuzz/corpus/TARGET.  New inputs go to a
# scratch corpus in BUILD, never into the repository.  Exit 1 on any crash.
#
#   run.sh BUILD [SECONDS] [TARGET...]
set -uo pipefail
BUILD=${1:?usage: run.sh BUILD [SECONDS] [TARGET...]}
SECONDS_EACH=${2:-15}
shift $(( $# < 2 ? $# : 2 ))
HERE=$(cd "$(dirname "$0")" && pwd)
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(fuzz_xsvf fuzz_gamma_table fuzz_remote_script fuzz_isp_line fuzz_image_check
           fuzz_srecord_reader fuzz_isp_answer fuzz_card_answer fuzz_micro_answer fuzz_fpga_requests
           fuzz_telnet)
fi
WORK="$BUILD/fuzz-work"
mkdir -p "$WORK/artifacts" "$WORK/tmp"
export TMPDIR="$WORK/tmp"
failed=0
for t in "${TARGETS[@]}"; do
  bin="$BUILD/tests/fuzz/$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin is missing (make fuzz builds it)"
    failed=1
    continue
  fi
  regressions=("$HERE/regressions/$t"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$bin" -close_fd_mask=1 "${regressions[@]}" >"$WORK/$t.replay.log" 2>&1; then
      echo "fuzz: $t: a committed crash case crashes again (log: $WORK/$t.replay.log)"
      tail -30 "$WORK/$t.replay.log"
      failed=1
      continue
    fi
  fi
  mkdir -p "$WORK/corpus/$t"
  # -close_fd_mask=1: the parsers' console texts would drown the report.
  if "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=1024 -close_fd_mask=1 \
      -print_final_stats=1 -artifact_prefix="$WORK/artifacts/$t-" \
      "$WORK/corpus/$t" "$HERE/corpus/$t" >"$WORK/$t.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$WORK/$t.log")
    echo "fuzz: $t: ${runs:-?} runs in ${SECONDS_EACH}s, no crash"
  else
    echo "fuzz: $t: CRASH (log: $WORK/$t.log, input in $WORK/artifacts)"
    grep -m1 -A20 'ERROR\|runtime error\|deadly signal' "$WORK/$t.log"
    failed=1
  fi
done
exit $failed

#!/usr/bin/env bash
# The manual pages and the programs' own --help say the same: a mode or an
# option that one of them names and the other does not fails the test.
source "$(dirname "$0")/lib.sh" "$@"

PACKAGING=$E2E_DIR/../../packaging

# man_options PAGE: the options the OPTIONS section of PAGE describes (the
# "\-\-name" words of the tag lines after each .TP).
man_options() {
  sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$1" |
    awk '$1 == ".TP" || $1 == ".TQ" {tag = 1; next} tag && $1 ~ /^\.B/ {print; next} {tag = 0}' |
    grep -o -- '\\-\\-[a-z][a-z\\-]*' | sed 's/\\//g' | sort -u
}

# same_words WHAT HELP_WORDS MAN_WORDS: the two sorted lists are equal.
same_words() {
  if [ "$2" = "$3" ]; then pass; else
    fail "$1 differ: --help has [$(echo $2)], the manual page has [$(echo $3)]"; fi
}

case_ "updater: the modes and options of --help are those of updater(1)"
if native_only "the help text is the same program's"; then
  "$UPDATER" --help >"$WORK/help"
  help_modes=$(sed -n '/^Modes:/,/^$/p' "$WORK/help" | awk 'NF && $1 ~ /^[A-Z]+$/ {print $1}' | sort)
  man_modes=$(sed -n '/^\.SH MODES/,/^\.SH /p' "$PACKAGING/updater.1.in" |
    awk 'prev == ".TP" && $1 ~ /^\.B/ {print $2} {prev = $1}' | sort)
  same_words "modes" "$help_modes" "$man_modes"
  help_options=$(grep -o -- '--[a-z][a-z-]*' "$WORK/help" | sort -u)
  same_words "options" "$help_options" "$(man_options "$PACKAGING/updater.1.in")"
fi

case_ "card-sim: every option of --help is in card-sim(1), and no other"
"$CARDSIM" --help >"$WORK/help" 2>&1 || true
help_options=$(grep -o -- '^  --[a-z][a-z-]*' "$WORK/help" | sed 's/^ *//' | sort -u)
same_words "options" "$help_options" "$(man_options "$PACKAGING/card-sim.1.in")"

finish

# Strict mode for the test scripts, sourced first by tests/e2e/lib.sh and by
# the Wine runner.  A failing command stops the script (set -eE, with the
# line in the message), an unset variable is an error, and a pipeline fails
# when any of its commands fails.
#
# A command that does not exist (a misspelt helper, a library not sourced)
# must fail the test wherever it is called: in a subshell, a pipeline, a
# background job or an `if`, its status 127 would otherwise be lost or read
# as an ordinary "no".  Bash runs command_not_found_handle for it; the
# handler, exported so that child bash scripts (the Wine wrapper) inherit
# it, notes the name in $UNKNOWN_COMMANDS, which the script's exit check
# reads through unknown_commands_check.
set -eEuo pipefail
trap 'echo "STOPPED at ${BASH_SOURCE[0]##*/} line $LINENO: \"$BASH_COMMAND\" exited with status $?" >&2' ERR

UNKNOWN_COMMANDS=$(mktemp "${TMPDIR:-/tmp}/unknown-commands.XXXXXX")
export UNKNOWN_COMMANDS
command_not_found_handle() {
  echo "FAIL: unknown command: $*" >&2
  printf '%s\n' "$1" >>"$UNKNOWN_COMMANDS"
  return 127
}
export -f command_not_found_handle

# unknown_commands_check: removes the note file; false, with the names,
# when an unknown command was called.
unknown_commands_check() {
  local names=
  [ -f "$UNKNOWN_COMMANDS" ] && names=$(sort -u "$UNKNOWN_COMMANDS" | tr '\n' ' ')
  rm -f "$UNKNOWN_COMMANDS"
  [ -z "$names" ] && return 0
  echo "FAIL: unknown commands were called: $names"
  return 1
}

# The mechanism checks itself once: a missing name in a subshell must be
# noted.
if (strict_self_test_no_such_command) 2>/dev/null ||
   ! grep -qx strict_self_test_no_such_command "$UNKNOWN_COMMANDS"; then
  echo "FAIL: this bash does not report unknown commands through command_not_found_handle" >&2
  exit 1
fi
: >"$UNKNOWN_COMMANDS"

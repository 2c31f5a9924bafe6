#!/bin/sh
# Runs a command in a scratch folder of its own, which is also $VENDAXO_LOG_DIR, and removes
# the folder afterwards; the command's exit status is kept.
d=$(mktemp -d "${TMPDIR:-/tmp}/vendaxo-run-XXXXXX") || exit 1
cd "$d" || exit 1
VENDAXO_LOG_DIR=$d
export VENDAXO_LOG_DIR
"$@"
rc=$?
cd / && rm -rf "$d"
exit $rc

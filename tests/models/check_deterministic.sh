#!/usr/bin/env bash
# Runs the model generator twice and compares every file byte for byte.
set -euo pipefail
gen="$1"
a=$(mktemp -d); b=$(mktemp -d); trap 'rm -rf "$a" "$b"' EXIT
/usr/bin/python3 "$gen" "$a" >/dev/null
/usr/bin/python3 "$gen" "$b" >/dev/null
diff -r "$a" "$b"
n=$(ls "$a" | wc -l)
[ "$n" -eq 6 ] || { echo "expected 6 files, got $n"; exit 1; }
echo "identical on rerun: $(ls "$a" | tr '\n' ' ')"

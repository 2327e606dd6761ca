#!/usr/bin/env bash
# Packs the sample game data into a compressed archive, lists it, shows its statistics,
# extracts it again and compares every extracted file with its original.
#     sample/run.sh [path to brannock]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
brannock="$(realpath "${1:-$here/../build/brannock}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

"$brannock" sample.arc -add . "$here/gamedata" 5
"$brannock" sample.arc -list
"$brannock" sample.arc -stats
"$brannock" sample.arc -extract out
diff -r "$here/gamedata" out/sample
echo "All $(find out/sample -type f | wc -l) extracted files match the originals."

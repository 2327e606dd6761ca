#!/usr/bin/env bash
# Packs the sample game data into a compressed archive, lists it, shows its statistics,
# extracts it again and compares every extracted file with its original.
#     sample/run.sh [path to brannock]
# A tool built for another system runs under the command in BRANNOCK_RUNNER, split into words at
# spaces:
#     BRANNOCK_RUNNER=wine sample/run.sh build-win/brannock.exe
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
brannock="$(realpath "${1:-$here/../build/brannock}")"
read -ra runner <<< "${BRANNOCK_RUNNER:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

run() { ${runner[@]+"${runner[@]}"} "$brannock" "$@"; }

run sample.arc -add . "$here/gamedata" 5
run sample.arc -list
run sample.arc -stats
run sample.arc -extract out
diff -r "$here/gamedata" out/sample
echo "All $(find out/sample -type f | wc -l) extracted files match the originals."

#!/bin/bash
# A short soak: krmux's long broadcast of the soak scenario, SECONDS long with everything a day
# brings compressed into it, read by krhost soak with the slow card pulled and the session
# killed. Usage: soak_test.sh KRMUX KRHOST SAMPLES_DIR SECONDS MEMORY_BOUND_KIB
set -euo pipefail
krmux=$1 krhost=$2 samples=$3 seconds=$4 bound=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
broadcast=(--scenario "$samples/soak" --duration-s "$seconds" --epg-every-s 60 --mail-every-s 45
           --card-command-every-s 100 --text-every-s 40)
"$krmux" "${broadcast[@]}" --out - |
    "$krhost" soak --input - "${broadcast[@]}" --card "$samples/card/slow_card.txt" \
        --store "$work/store" --pull-every-s 70 --pull-for-s 15 --kill-every-s 100 \
        --warmup-s 60 --memory-bound-kib "$bound" --json "$work/soak.json"
# The document names every figure the README quotes.
for key in broadcastSeconds wallMilliseconds videoFrames epgVersionsRead cardPulls kills \
           peakKib finalKib '"passed": true'; do
    grep -q "$key" "$work/soak.json" || { echo "soak.json has no $key"; cat "$work/soak.json"; exit 1; }
done

#!/usr/bin/env bash
# Median dlopen time and shared-object count of each library given, over N fresh processes each
# (default 20), taken in turns so that every library sees the same machine load.
#   bash bench/load_time.sh [-n N] LIB...
set -euo pipefail
runs=20
if [ "${1:-}" = "-n" ]; then runs=$2; shift 2; fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cc -O2 -o "$tmp/load_time" "$(dirname "$0")/load_time.c" -ldl
for ((i = 0; i < runs; i++)); do
  for ((j = 1; j <= $#; j++)); do "$tmp/load_time" "${!j}" >>"$tmp/$j"; done
done
printf '%-60s %10s %8s\n' library "median ms" objects
for ((j = 1; j <= $#; j++)); do
  median=$(sort -n "$tmp/$j" | awk '{ t[NR] = $1 } END { print (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }')
  printf '%-60s %10.2f %8s\n' "${!j}" "$median" "$(awk 'NR == 1 { print $2 }' "$tmp/$j")"
done

#!/usr/bin/env bash
# mkupdate diff and build on two releases of a game (bench/make-release-pair.py: 10,000 files,
# 2 GiB, 1% changed, made once): wall time and peak memory of diff, of build from its patch
# folder with the older release as base, of build --from/--to in one go, and of verify of the
# result, --base (its deltas applied) and --expect (the patch applied to a copy of the older
# release and compared with the new one); the patch's size
# (the UPDATE.exe less the stub) beside the sum of xdelta3 -9 on every file it carries (from the
# old file, or alone for a new one). Usage: diff-bench.sh MKUPDATE STUB WORK_DIR RESULTS_FILE
set -euo pipefail
mkupdate=$1
stub=$2
work=$3
results=$4
here=$(cd "$(dirname "$0")" && pwd)
pair=$work/pair
[ -d "$pair/new" ] || python3 "$here/make-release-pair.py" "$pair"
setup=(--company Bench --title Bench --game-dir Bench --game-class BenchWindow)
rm -rf "$work/patch" "$work/UPDATE.exe" "$work/UPDATE-one-go.exe" "$work/xd"
size() { stat -c %s "$1"; }
timed() { # label, command...: appends "label seconds peak_KiB"
  local label=$1
  shift
  /usr/bin/time -f "$label %e %M" -a -o "$work/times" "$@"
}
: >"$work/times"
timed diff "$mkupdate" diff --from "$pair/old" --to "$pair/new" -o "$work/patch" "${setup[@]}"
timed build "$mkupdate" build "$work/patch" --base "$pair/old" -o "$work/UPDATE.exe" \
  --stub "$stub" 2>/dev/null
timed build-from-to "$mkupdate" build --from "$pair/old" --to "$pair/new" "${setup[@]}" \
  -o "$work/UPDATE-one-go.exe" --stub "$stub" 2>/dev/null
# The publisher's checks of what build made: its deltas applied to the older release, and the
# whole patch applied to a copy of it and compared with the new one.
timed verify-base "$mkupdate" verify "$work/UPDATE.exe" --base "$pair/old" >/dev/null
timed verify-expect "$mkupdate" verify "$work/UPDATE.exe" --base "$pair/old" \
  --expect "$pair/new" >/dev/null

# xdelta3 -9 on each file the patch carries.
xd=0
carried=0
while IFS= read -r -d '' file; do
  rel=${file#"$work/patch/"}
  [ "$rel" = UPDATE.INI ] && continue
  carried=$((carried + 1))
  if [ -f "$pair/old/$rel" ]; then
    xdelta3 -9 -D -f -e -s "$pair/old/$rel" "$pair/new/$rel" "$work/xd"
  else
    xdelta3 -9 -D -f -e "$pair/new/$rel" "$work/xd"
  fi
  xd=$((xd + $(size "$work/xd")))
done < <(find "$work/patch" -type f -print0)

{
  echo "release: $(find "$pair/new" -type f | wc -l) files, $(du -sbL "$pair/new" | cut -f1) bytes;" \
    "the patch carries $carried files"
  printf '%-14s %10s %12s\n' step wall_s peak_MiB
  while read -r label secs kib; do
    printf '%-14s %10s %12d\n' "$label" "$secs" $((kib / 1024))
  done <"$work/times"
  patch=$(($(size "$work/UPDATE.exe") - $(size "$stub")))
  printf 'patch (UPDATE.exe less the stub): %d bytes\n' "$patch"
  printf 'xdelta3 -9 on the carried files:  %d bytes\n' "$xd"
  printf 'one go gives the same bytes:      %s\n' \
    "$(cmp -s "$work/UPDATE.exe" "$work/UPDATE-one-go.exe" && echo yes || echo no)"
} | tee "$results"

#!/usr/bin/env bash
# Large files: the delta encoder on pairs of a game archive's releases (real binaries from /usr,
# bench/make-archive-pair.py), beside xdelta3 -9 with its largest source window and, where it
# can finish in reasonable time, zstd -19 --long --patch-from; then a release of a 4.5 GiB
# archive, a 2.5 GiB file and 200 small files, built with `mkupdate build --base` and, as whole
# files in volumes, with `build --fast`; then, when bench/large-apply.sh is there, both patches
# applied. mkupdate's list, verify (with --base) and extract of each patch are measured too. Times are wall clock, memory is peak
# resident (file-backed pages included), sizes in bytes. Everything is made under WORK_DIR and
# removed at the end.
# With LARGE_PAIRS=0 the 1 GiB, 200 MB and 100 MB pairs are left out (the release alone).
# Usage: large-bench.sh DELTA_TOOL MKUPDATE STUB WORK_DIR RESULTS_FILE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tool=$1
mkupdate=$2
stub=$3
work=$4
results=$5
pair=$here/make-archive-pair.py
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
GiB=$((1 << 30))
size() { stat -c %s "$1"; }
# Runs a command under /usr/bin/time: sets $secs and $peak_mb; 0 when it failed.
timed() {
  if /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>"$work/err"; then
    read -r secs kb <"$work/time"
    peak_mb=$((kb / 1024))
    return 0
  fi
  secs=- peak_mb=-
  return 1
}

row() { printf '%-22s %-8s %9s %9s %12s\n' "$@"; }

# One pair: ours (round-tripped where the applier's whole-file tool fits in memory), xdelta3,
# and zstd on files up to 256 MiB.
measure() {
  local name=$1 old=$2 new=$3
  local big
  big=$(( $(size "$old") > $(size "$new") ? $(size "$old") : $(size "$new") ))
  if timed "$tool" encode "$old" "$new" "$work/ours"; then
    row "$name" ours "$secs" "$peak_mb" "$(size "$work/ours")"
    if [ "$big" -le $((3 * GiB / 2)) ]; then
      "$tool" apply "$old" "$work/ours" "$work/check" >/dev/null
      cmp -s "$work/check" "$new" || { echo "large-bench: $name does not round-trip" >&2; exit 1; }
      rm -f "$work/check"
    fi
  else
    row "$name" ours failed - -
  fi
  local window=$((1 << 20))
  while [ "$window" -lt "$big" ] && [ "$window" -lt $((2 * GiB)) ]; do window=$((window * 2)); done
  if timed xdelta3 -9 -B "$window" -D -f -e -s "$old" "$new" "$work/xd"; then
    row "$name" xdelta3 "$secs" "$peak_mb" "$(size "$work/xd")"
  else
    row "$name" xdelta3 failed - -
  fi
  if [ "$big" -le $((256 << 20)) ]; then
    local wlog=27
    while [ $((1 << wlog)) -lt "$big" ]; do wlog=$((wlog + 1)); done
    if timed timeout 600 zstd -q -19 -f --long=$wlog --patch-from="$old" "$new" -o "$work/zstd"; then
      row "$name" zstd "$secs" "$peak_mb" "$(size "$work/zstd")"
    else
      row "$name" zstd "failed or over 10 min" - -
    fi
  else
    row "$name" zstd "not run (over 256 MiB)" - -
  fi
  rm -f "$work/ours" "$work/xd" "$work/zstd"
}

{
  echo "large-bench on $(nproc) cores; seconds, peak resident MiB, delta bytes"
  row pair tool seconds peak_MiB delta_bytes
  if [ "${LARGE_PAIRS:-1}" != 0 ]; then
    p=$work/pairs
    mkdir -p "$p"
    python3 "$pair" "$p/old" "$p/new" --size $GiB --repeat 0.3 --seed 1
    measure archive-1G-repeats "$p/old" "$p/new"
    python3 "$pair" "$p/old" "$p/new" --size $GiB --repeat 0 --seed 2
    measure archive-1G-distinct "$p/old" "$p/new"
    python3 "$pair" "$p/old" "$p/new" --size 200000000 --seed 3 --rewrites 100 --rewrite-size 4096 \
      --inserts 50 --insert-size 4096 --removes 50 --remove-size 4096
    measure scattered-200M "$p/old" "$p/new"
    python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(4).randbytes(100000000))' \
      >"$p/old"
    python3 "$pair" "$p/new" /dev/null --size 100000000 --repeat 0 --seed 4 --rewrites 0 \
      --inserts 0 --removes 0
    measure unrelated-100M "$p/old" "$p/new"
    rm -rf "$p"
  fi

  # The release: installed as OLD, published as NEW.
  old=$work/old
  new=$work/new
  mkdir -p "$old" "$new"
  "$here/make-large-release.sh" "$old" "$new"
  {
    printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n'
    printf '[UPDATE]\r\nUpdateFile00=DATA.ARC\r\nUpdateFile01=MOVIE.BIN\r\n'
    for i in $(seq 2 15); do printf 'UpdateFile%02d=S%03d.DAT\r\n' "$i" "$((i - 2))"; done
  } >"$new/UPDATE.INI"
  measure release-DATA.ARC "$old/DATA.ARC" "$new/DATA.ARC"
  measure release-MOVIE.BIN "$old/MOVIE.BIN" "$new/MOVIE.BIN"
  # mkupdate reading what it built: its memory must not grow with the release's files.
  inspect_patch() {
    local exe=$1 base_args=()
    [ "$2" = with-base ] && base_args=(--base "$old")
    for command in list verify "verify --base" extract; do
      [ "$command" = "verify --base" ] && [ "$2" != with-base ] && continue
      case $command in
      "verify --base") args=(verify "$exe" "${base_args[@]}") ;;
      extract) args=(extract "$exe" -d "$work/extracted") ;;
      *) args=("$command" "$exe") ;;
      esac
      if timed "$mkupdate" "${args[@]}"; then
        row "  mkupdate $command" ours "$secs" "$peak_mb" -
      else
        row "  mkupdate $command" failed - - -
        tail -n 3 "$work/err" | sed 's/^/  /'
      fi
      rm -rf "$work/extracted"
    done
  }
  patch=$work/patch
  mkdir -p "$patch"
  if timed "$mkupdate" build "$new" -o "$patch/UPDATE.exe" --stub "$stub" --base "$old"; then
    row "mkupdate build --base" ours "$secs" "$peak_mb" "$(du -cb "$patch" | tail -1 | cut -f1)"
    grep -E 'DATA.ARC|MOVIE.BIN' "$work/err" | sed 's/^/  /' || true
    inspect_patch "$patch/UPDATE.exe" with-base
  else
    row "mkupdate build --base" failed - - -
    tail -n 3 "$work/err" | sed 's/^/  /'
  fi
  # The same release as whole files: past the volume limit, so the files travel in volumes.
  volumes=$work/patch-volumes
  mkdir -p "$volumes"
  if timed "$mkupdate" build "$new" -o "$volumes/UPDATE.exe" --stub "$stub" --fast; then
    row "mkupdate build --fast" ours "$secs" "$peak_mb" "$(du -cb "$volumes" | tail -1 | cut -f1)"
    echo "  $(ls "$volumes" | wc -l) files: UPDATE.exe and its volumes"
    inspect_patch "$volumes/UPDATE.exe" whole
  else
    row "mkupdate build --fast" failed - - -
    tail -n 3 "$work/err" | sed 's/^/  /'
  fi
  echo "patch size: all files of the patch folder (the EXE and any volumes)"
} | tee "$results"

if [ -x "$here/large-apply.sh" ]; then
  for exe in "$work/patch/UPDATE.exe" "$work/patch-volumes/UPDATE.exe"; do
    [ -f "$exe" ] && "$here/large-apply.sh" "$work/old" "$exe" | tee -a "$results"
  done
fi

#!/usr/bin/env bash
# Applying patches at the speed of the disk. Each case is an older and a newer release; its
# patch is made with `mkupdate build --from OLD --to NEW` (deltas where they are smaller) and
# applied by UPDATE.exe under Wine to OLD installed in a prefix of its own
# (bench/large-apply.sh), which times the run against a durable copy (write, then flush) of the
# bytes it wrote, on the same disk, after it, each timed from a settled machine (see there). The
# run's own report of its I/O gives the bytes read, written and hashed. Cases: two pairs of 1
# GiB game archives (bench/make-archive-pair.py), the large release (bench/make-large-release.sh:
# 4.5 and 2.5 GiB files and 200 small ones) and its 200 small files alone, where start-up
# dominates. A patch of one three-byte file runs first: what the program's start, the driver's
# clicks and its end cost, which the other rows' "above" column takes off their run.
#
# With BEFORE_STUB, the UPDATE.exe of another commit, every case is also built on that stub and
# run with it right before this tree's, in the same sitting: the table then says before and
# after. The payload is the same (this tree's mkupdate); an updater that knows less of it reads
# what it knows.
#
# Usage: apply-bench.sh MKUPDATE STUB WORK_DIR RESULTS_FILE [BEFORE_STUB]
# APPLY_CASES (default "pairs small release") names the cases to run.
# Everything is made under WORK_DIR and removed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkupdate=$1
stub=$2
work=$3
results=$4
before=${5:-}
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
GiB=$((1 << 30))

row() { printf '%-20s %-7s %14s %8s %8s %6s %8s %6s %14s %14s %14s %9s\n' "$@"; }
declare -A startup

# One case: its patch on each stub, applied, one line each.
measure() {
  local name=$1 old=$2 new=$3 which exe out line
  for which in ${before:+before} after; do
    exe=$work/patch-$which/UPDATE.exe
    rm -rf "$work/patch-$which"
    mkdir -p "$work/patch-$which"
    if ! "$mkupdate" build --from "$old" --to "$new" -o "$exe" \
      --stub "$([ "$which" = before ] && echo "$before" || echo "$stub")" -q >"$work/build.txt" 2>&1; then
      echo "apply-bench: $name: the patch could not be built" >&2
      cat "$work/build.txt" >&2
      exit 1
    fi
    out=$work/apply.txt
    LARGE_WORK=$work/apply LARGE_IO=1 "$here/large-apply.sh" "$old" "$exe" >"$out" 2>&1 || {
      echo "apply-bench: $name: the run failed" >&2
      cat "$out" >&2
      exit 1
    }
    value() { sed -n "s/^  $1: *//p" "$out" | head -1; }
    local bytes run copy private io read written hashed
    bytes=$(value 'files written' | sed 's/.*(\([0-9]*\) bytes)/\1/')
    run=$(value 'run (driver included)' | cut -d' ' -f1)
    copy=$(value 'copying those bytes' | cut -d' ' -f1)
    private=$(value 'peak private (RssAnon)')
    # The updater's own total; an updater that does not report its I/O leaves it blank.
    io=$(grep -a 'I/O run: read' "$out" | tail -1 || true)
    read=$(echo "$io" | sed -n 's/.*read \([0-9]*\),.*/\1/p')
    written=$(echo "$io" | sed -n 's/.*written \([0-9]*\),.*/\1/p')
    hashed=$(echo "$io" | sed -n 's/.*hashed \([0-9]*\) for.*/\1/p')
    # What the run costs above starting the program and clicking through: the start-up case's
    # run on the same updater, which writes next to nothing.
    [ "$name" = start-up ] && startup[$which]=$run
    local above=-
    [ -z "${startup[$which]:-}" ] || above=$(echo "$run - ${startup[$which]}" | bc)
    # A copy of a few bytes takes no measurable time: no ratio then.
    ratio() { if [ "$2" = - ] || [ "$(echo "$1 == 0" | bc)" = 1 ]; then echo -; else echo "scale=2; $2 / $1" | bc; fi; }
    row "$name" "$which" "$bytes" "$run" "$copy" "$(ratio "$copy" "$run")" "$above" \
      "$(ratio "$copy" "$above")" \
      "${read:--}" "${written:--}" "${hashed:--}" "$private"
    if [ "$which" = after ] && [ -n "$io" ]; then
      grep -a 'I/O ' "$out" | grep -v 'I/O run' | sed 's/^.*\(I\/O .*\)$/    \1/' |
        awk '{ for (i = 1; i < NF; ++i) if ($i == "read") { n = $(i + 1); sub(",", "", n); print n, $0; break } }' |
        sort -k1,1nr | head -4 | cut -d' ' -f2-
    fi
  done
  rm -rf "$work/patch-before" "$work/patch-after"
}

{
  echo "apply-bench on $(nproc) cores, $(date -u +%F): UPDATE.exe under Wine against a durable copy of the bytes it wrote"
  echo "seconds; bytes; ratio = run / copy; above = run - the start-up case's run (the same"
  echo "updater's start, clicks and end around a one-file patch), and its ratio to the copy;"
  echo "peak private memory of UPDATE.exe"
  row case updater result_bytes run_s copy_s ratio above_s ratio read written hashed private
  cases=${APPLY_CASES:-pairs small release}
  p=$work/pair
  # Always first: the other rows' "above" column needs it.
  rm -rf "$p"
  mkdir -p "$p/old" "$p/new"
  "$here/make-setup-ini.sh" "$p/old" "$p/new"
  printf 'old' >"$p/old/ONE.DAT"
  printf 'new' >"$p/new/ONE.DAT"
  measure start-up "$p/old" "$p/new"
  for seed in 1 2; do
    [[ " $cases " == *" pairs "* ]] || break
    rm -rf "$p"
    mkdir -p "$p/old" "$p/new"
    repeat=$([ $seed = 1 ] && echo 0.3 || echo 0)
    python3 "$here/make-archive-pair.py" "$p/old/DATA.ARC" "$p/new/DATA.ARC" --size $GiB \
      --repeat "$repeat" --seed $seed
    "$here/make-setup-ini.sh" "$p/old" "$p/new"
    measure "archive-1G-$([ $seed = 1 ] && echo repeats || echo distinct)" "$p/old" "$p/new"
  done
  rm -rf "$p"
  mkdir -p "$p"
  if [[ " $cases " == *" small "* ]]; then
    "$here/make-large-release.sh" "$p/old" "$p/new" small
    measure small-files "$p/old" "$p/new"
    rm -rf "$p"
  fi
  if [[ " $cases " == *" release "* ]]; then
    "$here/make-large-release.sh" "$p/old" "$p/new"
    measure release "$p/old" "$p/new"
  fi
  echo "indented: the four costliest files of the run after the change, by bytes read"
} | tee "$results"

#!/usr/bin/env bash
# Delta sizes and speeds on pairs of consecutive releases (bench/make-delta-corpus.sh), ours
# beside the peers, all in one run: per pair the new file's size, the whole file as a
# best-level payload entry, our delta, xdelta3 -9, zstd -19 --patch-from and bsdiff; then the
# totals, our encode time, apply speed (MB/s of output, best of 3) and the apply's peak memory
# beside base + result. Every delta of ours is applied and compared with the new file.
# Usage: delta-bench.sh CORPUS_DIR DELTA_TOOL WORK_DIR RESULTS_FILE
set -euo pipefail
corpus=$1
tool=$2
work=$3
results=$4
mkdir -p "$work"
kb() { echo $(( ($1 + 512) / 1024 )); }
size() { stat -c %s "$1"; }

{
  printf '%-44s %9s %9s %8s %8s %8s %8s %7s %8s %8s %8s\n' pair new_KB whole_KB ours_KB \
    xdelta3 zstd bsdiff enc_s apply_MB/s peak_MB base+res
  t_new=0 t_whole=0 t_ours=0 t_xd=0 t_zstd=0 t_bsdiff=0 worst_xd="" losses=0
  for dir in "$corpus"/*/; do
    pair=$(basename "$dir")
    old=$dir/old
    new=$dir/new
    n=$(size "$new")
    o=$(size "$old")
    whole=$("$tool" whole "$new")
    enc=$("$tool" encode "$old" "$new" "$work/ours")
    ours=$(size "$work/ours")
    # Peak memory of applying: the process holds base, delta, result and the scratch buffer.
    applied=$({ /usr/bin/time -f '%M' "$tool" apply "$old" "$work/ours" "$work/out" 3; } 2>&1)
    speed=$(echo "$applied" | sed -n 1p)
    peak=$(echo "$applied" | sed -n 2p)
    cmp -s "$work/out" "$new" || { echo "delta-bench: $pair does not round-trip" >&2; exit 1; }
    # -D: compare raw bytes, as ours does, rather than what a gzip file holds.
    xdelta3 -9 -D -f -e -s "$old" "$new" "$work/xd"
    xd=$(size "$work/xd")
    big=$(( o > n ? o : n ))
    long=""
    if [ "$big" -gt $((1 << 27)) ]; then
      wlog=27
      while [ $((1 << wlog)) -lt "$big" ]; do wlog=$((wlog + 1)); done
      long="--long=$wlog"
    fi
    zstd -q -19 -f $long --patch-from="$old" "$new" -o "$work/zstd" 2>/dev/null
    zs=$(size "$work/zstd")
    bsdiff "$old" "$new" "$work/bsdiff"
    bs=$(size "$work/bsdiff")
    printf '%-44s %9d %9d %8d %8d %8d %8d %7.1f %8.0f %8d %8d\n' "$pair" "$(kb "$n")" \
      "$(kb "$whole")" "$(kb "$ours")" "$(kb "$xd")" "$(kb "$zs")" "$(kb "$bs")" "$enc" "$speed" \
      "$((peak / 1024))" "$(( (o + n) >> 20 ))"
    [ "$ours" -le "$xd" ] || { losses=$((losses + 1)); worst_xd="$worst_xd $pair"; }
    t_new=$((t_new + n)) t_whole=$((t_whole + whole)) t_ours=$((t_ours + ours))
    t_xd=$((t_xd + xd)) t_zstd=$((t_zstd + zs)) t_bsdiff=$((t_bsdiff + bs))
  done
  printf '%-44s %9d %9d %8d %8d %8d %8d\n' TOTAL "$(kb $t_new)" "$(kb $t_whole)" "$(kb $t_ours)" \
    "$(kb $t_xd)" "$(kb $t_zstd)" "$(kb $t_bsdiff)"
  echo "sizes in KiB; ours larger than xdelta3 -9 on $losses pair(s):${worst_xd:- none}"
  echo "ours / zstd -19 --patch-from over all pairs: $(awk "BEGIN{printf \"%.3f\", $t_ours/$t_zstd}")"
} | tee "$results"

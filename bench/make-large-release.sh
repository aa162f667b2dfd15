#!/usr/bin/env bash
# The large benchmarks' release, installed as OLD and published as NEW: a 4.5 GiB game archive
# and a 2.5 GiB film file, each with scattered edits (bench/make-archive-pair.py), and 200 small
# files of which every third changes. Both sides carry the installer's SETUP.INI and the game's
# program, the same in both. With `small`, only the small files and those two.
# Usage: make-large-release.sh OLD NEW [small]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
old=$1
new=$2
mkdir -p "$old" "$new"
GiB=$((1 << 30))
if [ "${3:-}" != small ]; then
  python3 "$here/make-archive-pair.py" "$old/DATA.ARC" "$new/DATA.ARC" --size $((9 * GiB / 2)) \
    --repeat 0.3 --seed 5 --rewrites 300 --rewrite-size 16384 --inserts 30 --insert-size 65536 \
    --removes 30 --remove-size 65536
  python3 "$here/make-archive-pair.py" "$old/MOVIE.BIN" "$new/MOVIE.BIN" --size $((5 * GiB / 2)) \
    --repeat 0.1 --seed 6 --rewrites 4 --rewrite-size 65536 --inserts 1 --insert-size 4096 \
    --removes 1 --remove-size 4096
fi
python3 - "$old" "$new" <<'PY'
import os, random, sys
old, new = sys.argv[1], sys.argv[2]
rng = random.Random(7)
for i in range(200):
    data = bytearray(rng.randbytes(rng.randrange(1024, 65536)))
    with open(os.path.join(old, "S%03d.DAT" % i), "wb") as f:
        f.write(data)
    if i % 3 == 0:
        at = rng.randrange(len(data))
        data[at:at + 64] = rng.randbytes(64)
    with open(os.path.join(new, "S%03d.DAT" % i), "wb") as f:
        f.write(data)
PY
"$here/make-setup-ini.sh" "$old" "$new"

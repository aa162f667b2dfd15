#!/usr/bin/env python3
"""Writes two releases of a game for the release-diff benchmark: OUT/old with FILES files of
TOTAL bytes in all (half of them incompressible, like sound and pictures, half structured, like
scripts and tables), and OUT/new in which CHANGED of every hundred files changed: most edited in
a few places, some replaced whole, a few new and a few removed. Unchanged files of new are hard
links to old's, so the pair takes little more room than one release.
Usage: make-release-pair.py OUT [FILES [TOTAL_MIB [CHANGED_PER_100]]]"""
import os
import random
import shutil
import sys

out = sys.argv[1]
files = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
total = (int(sys.argv[3]) if len(sys.argv) > 3 else 2048) << 20
changed_per_100 = float(sys.argv[4]) if len(sys.argv) > 4 else 1.0
rng = random.Random(2026)
shutil.rmtree(out, ignore_errors=True)
old, new = os.path.join(out, "old"), os.path.join(out, "new")
folders = ["bgm", "voice", "se", "image/cg", "image/bg", "script", "data", "movie"]

# Sizes vary widely, as in a game: many small files, a few large ones.
weights = [rng.paretovariate(1.2) for _ in range(files)]
scale = total / sum(weights)
sizes = [max(64, int(w * scale)) for w in weights]


def structured(n, seed):
    r = random.Random(seed)
    words = [b"scene", b"bgm", b"voice", b"wait", b"text", b"choice", b"flag", b"jump"]
    parts, length = [], 0
    while length < n:
        line = b"%s %d %s\r\n" % (r.choice(words), r.randrange(100000), r.choice(words))
        parts.append(line)
        length += len(line)
    return b"".join(parts)[:n]


def content(i, n):
    return os.urandom(n) if i % 2 == 0 else structured(n, i)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


names = []
for i, n in enumerate(sizes):
    folder = folders[i % len(folders)]
    # Names repeat across folders, as 01.ogg does in bgm and voice.
    name = "%s/%04d.%s" % (folder, i // len(folders), "dat" if i % 2 else "bin")
    names.append(name)
    write(os.path.join(old, name), content(i, n))
    sys.stdout.write("\rold: %d/%d" % (i + 1, files))
print()

changed = set(rng.sample(range(files), int(files * changed_per_100 / 100)))
for i, name in enumerate(names):
    src, dst = os.path.join(old, name), os.path.join(new, name)
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    if i not in changed:
        os.link(src, dst)
        continue
    kind = rng.random()
    if kind < 0.1:
        continue  # removed
    with open(src, "rb") as f:
        data = bytearray(f.read())
    if kind < 0.2:
        data = bytearray(content(i + files, len(data)))  # replaced whole
    else:
        for _ in range(rng.randrange(1, 6)):  # edited in a few places
            at = rng.randrange(len(data))
            data[at:at + rng.randrange(1, 200)] = os.urandom(rng.randrange(1, 300))
    write(dst, bytes(data))
for j in range(max(1, len(changed) // 10)):  # new files
    write(os.path.join(new, "data/new%03d.dat" % j), structured(rng.randrange(1000, 200000), j))
print("changed or removed: %d files" % len(changed))

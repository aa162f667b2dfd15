#!/usr/bin/env python3
"""Makes an old and a new release of one game-archive-like file for the delta benchmarks.

The old archive is a concatenation of entries (a small header with the name and size, then the
bytes) of real files found under /usr: programs, libraries and data. With --repeat R, about that
share of the entries repeat a file already in the archive, as real archives hold the same
textures and sounds many times; with R = 0 every entry is a different file. The new archive is
the old one with scattered edits: regions rewritten with other bytes, new entries inserted and
stretches removed. Everything follows from --seed.

Usage: make-archive-pair.py OLD NEW --size BYTES [--repeat R] [--rewrites N --rewrite-size B]
       [--inserts N --insert-size B] [--removes N --remove-size B] [--seed S]
"""
import argparse
import os
import random

p = argparse.ArgumentParser()
p.add_argument("old")
p.add_argument("new")
p.add_argument("--size", type=int, required=True)
p.add_argument("--repeat", type=float, default=0.3)
p.add_argument("--rewrites", type=int, default=40)
p.add_argument("--rewrite-size", type=int, default=64 << 10)
p.add_argument("--inserts", type=int, default=1)
p.add_argument("--insert-size", type=int, default=1 << 20)
p.add_argument("--removes", type=int, default=1)
p.add_argument("--remove-size", type=int, default=512 << 10)
p.add_argument("--seed", type=int, default=1)
a = p.parse_args()
rng = random.Random(a.seed)

files = []
for root in ("/usr/lib", "/usr/bin", "/usr/share", "/usr/libexec"):
    for d, _, names in os.walk(root):
        for n in names:
            f = os.path.join(d, n)
            try:
                if os.path.isfile(f) and not os.path.islink(f) and 4096 <= os.path.getsize(f) <= 64 << 20:
                    files.append(f)
            except OSError:
                pass
files.sort()
rng.shuffle(files)
spare = files[len(files) * 3 // 4:]  # new content for insertions and rewrites
files = files[:len(files) * 3 // 4]


def read(f):
    try:
        with open(f, "rb") as h:
            return h.read()
    except OSError:
        return b""


def entry(f, data):
    name = f.encode("utf-8", "replace")[-200:]
    return len(name).to_bytes(2, "little") + name + len(data).to_bytes(8, "little") + data


# The old archive, written as it grows; the entries' offsets are kept for the edits.
used = []
written = 0
nextfile = 0
with open(a.old, "wb") as out:
    while written < a.size:
        if used and rng.random() < a.repeat:
            f = rng.choice(used)
        else:
            if nextfile == len(files):
                if a.repeat == 0:
                    raise SystemExit("make-archive-pair: not enough distinct files under /usr")
                nextfile = 0
            f = files[nextfile]
            nextfile += 1
            used.append(f)
        e = entry(f, read(f))[: a.size - written]
        out.write(e)
        written += len(e)


def new_bytes(n):
    b = bytearray()
    while len(b) < n:
        b += entry(rng.choice(spare), read(rng.choice(spare)))
    return bytes(b[:n])


# Edits in increasing order of position, none overlapping, applied while copying.
edits = []
for kind, count, size in (("rewrite", a.rewrites, a.rewrite_size), ("insert", a.inserts, a.insert_size),
                          ("remove", a.removes, a.remove_size)):
    for _ in range(count):
        edits.append((rng.randrange(0, max(1, a.size - size)), kind, size))
edits.sort()
with open(a.old, "rb") as src, open(a.new, "wb") as out:
    at = 0
    for pos, kind, size in edits:
        if pos < at:
            continue
        while at < pos:
            chunk = src.read(min(pos - at, 16 << 20))
            out.write(chunk)
            at += len(chunk)
        if kind == "insert":
            out.write(new_bytes(size))
        elif kind == "rewrite":
            out.write(new_bytes(size))
            src.seek(size, 1)
            at += size
        else:
            src.seek(size, 1)
            at += size
    while True:
        chunk = src.read(16 << 20)
        if not chunk:
            break
        out.write(chunk)

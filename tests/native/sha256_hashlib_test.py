#!/usr/bin/python3
"""SHA-256 of both paths against Python's hashlib, on random data of random lengths up to about
200 KB, the lengths around the block and padding boundaries among them."""
import hashlib
import os
import random
import subprocess
import sys
import tempfile

tool = sys.argv[1]
rng = random.Random(2026)
data = rng.randbytes(200 * 1024 + 77)
lengths = list(range(0, 130)) + [len(data)]
lengths += [rng.randrange(len(data) + 1) for _ in range(300)]
with tempfile.NamedTemporaryFile(delete=False) as f:
    f.write(data)
try:
    out = subprocess.run([tool, f.name] + [str(n) for n in lengths], check=True,
                         capture_output=True, text=True).stdout.split("\n")
finally:
    os.unlink(f.name)
failures = 0
accelerated = 0
for n, line in zip(lengths, out):
    want = hashlib.sha256(data[:n]).hexdigest()
    portable, fast = line.split()
    if portable != want:
        print(f"length {n}: portable {portable}, hashlib {want}")
        failures += 1
    if fast != "-":
        accelerated += 1
        if fast != want:
            print(f"length {n}: accelerated {fast}, hashlib {want}")
            failures += 1
print(f"{len(lengths)} lengths compared with hashlib ({accelerated} on the accelerated path), "
      f"{failures} failures")
sys.exit(1 if failures or len(out) < len(lengths) else 0)

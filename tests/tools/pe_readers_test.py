#!/usr/bin/env python3
"""Reads what `mkupdate build` writes with readers that are not ours: python3-pefile must
find the same resources as in the stub with the payload in place of the old one and a right
checksum, and windres must decompile the resource section.
Usage: pe_readers_test.py MKUPDATE STUB WINDRES"""
import os
import subprocess
import sys
import tempfile

import pefile


def resources(path):
    pe = pefile.PE(path)
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                data = pe.get_data(d.OffsetToData, d.Size)
                found[(str(t.name) if t.name else t.id, str(n.name) if n.name else n.id,
                       lang.id)] = data
    return pe, found


def main():
    mkupdate, stub, windres = sys.argv[1:4]
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        patch = os.path.join(tmp, "patch")
        os.mkdir(patch)
        with open(os.path.join(patch, "UPDATE.INI"), "wb") as f:
            f.write(b"[SETUP]\r\nCompanyName=C\r\nGameTitle=T\r\nGameClass=K\r\nGameDir=D\r\n"
                    b"[UPDATE]\r\nUpdateFile00=GAME.DAT\r\n")
        with open(os.path.join(patch, "GAME.DAT"), "wb") as f:
            f.write(bytes(range(256)) * 300)
        exe = os.path.join(tmp, "UPDATE.exe")
        payload = os.path.join(tmp, "payload.qv2")
        subprocess.run([mkupdate, "build", patch, "-o", exe, "--stub", stub], check=True)
        subprocess.run([mkupdate, "pack", patch, "-o", payload], check=True)

        _, before = resources(stub)
        pe, after = resources(exe)
        with open(payload, "rb") as f:
            expected = f.read()
        key = ("UPDATE", 102, 0x411)
        if after.get(key) != expected:
            failures.append("UPDATE/102 does not hold the packed payload")
        for k, data in before.items():
            if k != key and after.get(k) != data:
                failures.append("resource %r changed" % (k,))
        if set(after) != set(before) | {key}:
            failures.append("resources differ: %r" % (set(after) ^ set(before),))
        if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
            failures.append("checksum %#x, expected %#x" %
                            (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
        rsrc = pe.sections[-1]
        if rsrc.Name.rstrip(b"\0") != b".rsrc":
            failures.append("the resource section is no longer last")
        last = max(s.VirtualAddress + s.Misc_VirtualSize for s in pe.sections)
        align = pe.OPTIONAL_HEADER.SectionAlignment
        if pe.OPTIONAL_HEADER.SizeOfImage != (last + align - 1) // align * align:
            failures.append("SizeOfImage %#x does not end the last section" %
                            pe.OPTIONAL_HEADER.SizeOfImage)

        rc = os.path.join(tmp, "out.rc")
        done = subprocess.run([windres, "-i", exe, "-O", "rc", "-o", rc],
                              capture_output=True, text=True)
        if done.returncode != 0:
            failures.append("windres -i failed: " + done.stderr.strip())
        else:
            with open(rc, "rb") as f:
                text = f.read()
            for needle in (b"UPDATE", b"CUSTOMTYPE", b"NAMEDDATA", b"second string"):
                if needle not in text:
                    failures.append("windres output lacks %r" % needle)
    for f in failures:
        print("FAIL: " + f)
    print("%d passed, %d failed" % (0 if failures else 1, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

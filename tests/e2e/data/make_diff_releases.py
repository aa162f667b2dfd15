#!/usr/bin/env python3
"""Writes three small releases of a game, laid out as installed, for the release-diff end-to-end
test: 0.9 and 1.0, and 1.1 that the patch brings both to. Files of one name in several folders
change, files come and go (some in new folders), a file becomes a folder and a folder a file, and
one of the player's files differs but is kept."""
import os
import random
import shutil
import sys

SETUP = ("[SETUP]\r\nCompanyName=E2ESoft\r\nGameTitle=始動テスト\r\nGameDir=StartGame\r\n"
         "GameExe=game.exe\r\nUninstExe=uninst.exe\r\nSetupBmp=setup.bmp\r\nInstallSelects=1\r\n"
         "InstallTitle0=標準\r\nInstallFiles0=game.dat\r\nShortcuts=0\r\n"
         "GameClass=StartGameWindow\r\n").encode("cp932")


def program(version):
    # Large enough for deltas to pay; each release changes a few places.
    rng = random.Random(7)
    body = bytearray(rng.getrandbits(8) for _ in range(96 * 1024))
    for n in range(version):
        body[1000 + 9000 * n:1010 + 9000 * n] = bytes([0x40 + version]) * 10
    return bytes(body)


def sound(tag):
    return (tag * 300).encode()


RELEASES = {
    "0.9": {
        "SETUP.INI": SETUP, "game.exe": program(1),
        "bgm/01.ogg": sound("bgm one 0.9 "), "bgm/02.ogg": sound("bgm two "),
        "voice/01.ogg": sound("voice one 0.9 "), "se/01.ogg": sound("se one "),
        "data/keep.dat": b"unchanged data\r\n", "data/old.dat": b"gone in 1.1\r\n",
        "readme.txt": b"only in 0.9\r\n", "save/config.dat": b"player 0.9\r\n",
        "extras/a/one.txt": b"gone in 1.1 with its folders\r\n",
        "manual": b"a file in 0.9, a folder in 1.1\r\n",
        "bonus/a.txt": b"a folder in 0.9, a file in 1.1\r\n", "bonus/sub/b.txt": b"deeper\r\n",
    },
    "1.0": {
        "SETUP.INI": SETUP, "game.exe": program(2),
        "bgm/01.ogg": sound("bgm one 1.0 "), "bgm/02.ogg": sound("bgm two "),
        "voice/01.ogg": sound("voice one 1.1 "), "se/01.ogg": sound("se one "),
        "data/keep.dat": b"unchanged data\r\n", "data/old.dat": b"gone in 1.1\r\n",
        "data/only10.dat": b"only in 1.0\r\n", "save/config.dat": b"player 1.0\r\n",
        "extras/a/one.txt": b"gone in 1.1 with its folders\r\n", "extras/two.txt": b"two\r\n",
        "manual": b"a file in 1.0, a folder in 1.1\r\n",
        "bonus/a.txt": b"a folder in 1.0, a file in 1.1\r\n",
    },
    "1.1": {
        "SETUP.INI": SETUP, "game.exe": program(3),
        "bgm/01.ogg": sound("bgm one 1.1 "), "bgm/02.ogg": sound("bgm two "),
        "bgm/03.ogg": sound("bgm three "),
        "voice/01.ogg": sound("voice one 1.1 "), "voice/02.ogg": sound("voice two "),
        "se/01.ogg": sound("se one "),
        "data/keep.dat": b"unchanged data\r\n", "data/added.dat": b"new in 1.1\r\n",
        "save/config.dat": b"player as shipped\r\n",
        # New folders, one inside the other; 表 ends in the byte 0x5C in CP932.
        "movie/op/intro.mpg": sound("intro "), "曲/表.ogg": sound("song "),
        # Traded: a file of the older releases is a folder here, and a folder is a file.
        "manual/index.txt": b"manual\r\n", "manual/img/a.png": sound("picture "),
        "bonus": b"now a file\r\n",
    },
}

out = sys.argv[1]
shutil.rmtree(out, ignore_errors=True)
for release, files in RELEASES.items():
    for path, data in files.items():
        full = os.path.join(out, release, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)

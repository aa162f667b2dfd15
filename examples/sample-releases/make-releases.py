#!/usr/bin/env python3
"""Writes the sample game's older releases and the patch that brings them to 1.01 into examples/
(or into the folder given), from examples/sample-game and examples/sample-patch:

  sample-releases/0.90/  the first release, laid out as installed (SETUP.INI and
                         SAVE\\CONFIG.DAT included)
  sample-releases/1.00/  the 1.00 release, laid out as installed: the files of
                         examples/sample-game
  sample-delta-patch/    the patch folder of 1.01: the files of examples/sample-patch, and
                         data\\EVENT.DAT (an Update item of its own)

data\\EVENT.DAT is the large file: an event script of some 250 KB that each release changes in
a few places, so that its deltas are a small part of the whole entry. The small files differ
from release to release in their version line only. Every byte comes from a fixed generator,
so running the script again rewrites the same files.

    examples/sample-releases/make-releases.py
    mkupdate pack examples/sample-delta-patch -o p.qv2 \\
        --base examples/sample-releases/0.90 --base examples/sample-releases/1.00
"""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.dirname(HERE)


class Xorshift:
    """xorshift32: the same numbers on every Python."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n


SYLLABLES = ["ka", "ki", "ku", "ke", "ko", "sa", "shi", "su", "se", "so", "ta", "chi", "tsu",
             "te", "to", "na", "ni", "nu", "ne", "no", "ha", "hi", "fu", "he", "ho", "ma", "mi",
             "mu", "me", "mo", "ya", "yu", "yo", "ra", "ri", "ru", "re", "ro", "wa", "n"]
SPEAKERS = ["AKARI", "HARUTO", "MIO", "SENSEI", "NARRATOR", "KAITO", "YUI"]
COMMANDS = ["TEXT", "TEXT", "TEXT", "TEXT", "BG", "BGM", "SE", "WAIT", "FACE"]


def vocabulary(rng):
    return ["".join(SYLLABLES[rng.below(len(SYLLABLES))] for _ in range(1 + rng.below(3)))
            for _ in range(400)]


def event_line(rng, words, number):
    command = COMMANDS[rng.below(len(COMMANDS))]
    if command == "TEXT":
        text = " ".join(words[rng.below(len(words))] for _ in range(4 + rng.below(10)))
        body = "%s,%s" % (SPEAKERS[rng.below(len(SPEAKERS))], text)
    elif command in ("BG", "BGM", "SE"):
        body = "%s_%03d" % (command.lower(), rng.below(120))
    elif command == "WAIT":
        body = "%d" % (10 * (1 + rng.below(30)))
    else:
        body = "%s,%d" % (SPEAKERS[rng.below(len(SPEAKERS))], rng.below(12))
    return "%05d,%s,%s" % (number, command, body)


def event_script(version):
    """The lines of data\\EVENT.DAT in a release: one script, edited by each release."""
    rng = Xorshift(0x51564431)
    words = vocabulary(rng)
    lines = [event_line(rng, words, n) for n in range(6800)]
    edits = Xorshift({"0.90": 9, "1.00": 100, "1.01": 101}[version])
    if version == "0.90":
        # The first release: the last scenes not written yet, other wording here and there.
        lines = lines[:6200]
        for n in range(0, len(lines), 37):
            lines[n] = event_line(edits, words, n)
    if version in ("1.00", "1.01"):
        for n in range(5, len(lines), 211):
            lines[n] = event_line(edits, words, n) + " ;fixed"
    if version == "1.01":
        # 1.01: a scene rewritten, lines added in two places, typos fixed.
        for n in range(1200, 1260):
            lines[n] = event_line(edits, words, n)
        lines[3000:3000] = [event_line(edits, words, 9000 + n) for n in range(40)]
        lines[400:400] = [event_line(edits, words, 9500 + n) for n in range(12)]
        for n in range(11, len(lines), 173):
            lines[n] = lines[n].replace("ka", "ga", 1)
    header = "; SampleGame event script, version %s\r\n" % version
    return (header + "\r\n".join(lines) + "\r\n").encode("ascii")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def copy_tree(source, target):
    for folder, _, names in os.walk(source):
        for name in sorted(names):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                write(os.path.join(target, os.path.relpath(path, source)), f.read())


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else EXAMPLES
    game = os.path.join(EXAMPLES, "sample-game")
    patch = os.path.join(EXAMPLES, "sample-patch")
    releases = os.path.join(out, "sample-releases")
    for name in (os.path.join(releases, "0.90"), os.path.join(releases, "1.00"),
                 os.path.join(out, "sample-delta-patch")):
        shutil.rmtree(name, ignore_errors=True)

    release = os.path.join(releases, "1.00")
    copy_tree(game, release)
    write(os.path.join(release, "data", "EVENT.DAT"), event_script("1.00"))

    first = os.path.join(releases, "0.90")
    copy_tree(game, first)
    for path in ("GAME.EXE", "OPTION.DAT", os.path.join("data", "SCENARIO.DAT")):
        with open(os.path.join(game, path), "rb") as f:
            write(os.path.join(first, path), f.read().replace(b"1.00", b"0.90"))
    write(os.path.join(first, "data", "EVENT.DAT"), event_script("0.90"))

    update = os.path.join(out, "sample-delta-patch")
    copy_tree(patch, update)
    write(os.path.join(update, "data", "EVENT.DAT"), event_script("1.01"))
    with open(os.path.join(update, "UPDATE.INI"), "rb") as f:
        ini = f.read()
    marker = b"UpdateFile05=o,EXTRA.DAT\r\n"
    assert marker in ini, "examples/sample-patch/UPDATE.INI changed: adjust this script"
    ini = ini.replace(marker, marker + b"; The event script: large, so it travels as deltas.\r\n"
                      b"UpdateFile06=u,data\\EVENT.DAT\r\n")
    write(os.path.join(update, "UPDATE.INI"), ini)


if __name__ == "__main__":
    main()

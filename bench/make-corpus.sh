#!/usr/bin/env bash
# Builds a benchmark corpus from files that Debian packages install. One flat folder, as a
# publisher's patch folder is, with an UPDATE.INI.
#   mixed:  text (cmake-data's reStructuredText help), game-like pictures (adwaita-icon-theme's
#           512x512 icons flattened onto a background and written as 24-bit BMPs by
#           imagemagick) and a binary (cmake's executable).
#   binary: program files only, as a patch of a game's executables and DLLs is: the mingw-w64
#           runtime DLLs and Wine's PE programs and DLLs (the wine64 package), about 40 MB.
# Usage: make-corpus.sh OUT_DIR [mixed|binary]
set -euo pipefail
out=$1
kind=${2:-mixed}
rm -rf "$out.tmp"
mkdir -p "$out.tmp"
case $kind in
mixed)
  help=$(ls -d /usr/share/cmake-*/Help | sort | tail -n 1)
  icons=/usr/share/icons/Adwaita/512x512
  [ -d "$help" ] && [ -d "$icons" ] && [ -x /usr/bin/convert ] || {
    echo "make-corpus: needs cmake-data, adwaita-icon-theme and imagemagick" >&2
    exit 1
  }
  find "$help" -type f -name '*.rst' | LC_ALL=C sort | while read -r f; do
    rel=${f#"$help"/}
    cp "$f" "$out.tmp/help-${rel//\//-}"
  done
  find "$icons" -name '*.png' | LC_ALL=C sort | head -n 24 | while read -r f; do
    name=$(basename "$(dirname "$f")")-$(basename "${f%.png}").bmp
    /usr/bin/convert "$f" -background '#1e3c5a' -alpha remove -alpha off -type TrueColor \
      "BMP3:$out.tmp/$name"
  done
  cp /usr/bin/cmake "$out.tmp/cmake.bin"
  first=cmake.bin
  ;;
binary)
  wine=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
  mingw=$(ls -d /usr/lib/gcc/x86_64-w64-mingw32/*-posix | sort | tail -n 1)
  [ -d "$wine" ] && [ -d "$mingw" ] || {
    echo "make-corpus: needs wine64 and gcc-mingw-w64-x86-64-posix-runtime" >&2
    exit 1
  }
  # Every mingw-w64 runtime DLL, then Wine's programs and DLLs in name order, each under 4 MB,
  # until the corpus holds 40 MB.
  total=0
  for f in $(find "$mingw" /usr/x86_64-w64-mingw32/lib -maxdepth 1 -name '*.dll' | LC_ALL=C sort) \
    $(find "$wine" -maxdepth 1 -type f \( -name '*.exe' -o -name '*.dll' \) | LC_ALL=C sort); do
    [ -f "$f" ] && [ "$(stat -c %s "$f")" -lt 4000000 ] || continue
    [ "$total" -lt 40000000 ] || break
    cp "$f" "$out.tmp/$(basename "$f")"
    total=$((total + $(stat -c %s "$f")))
  done
  first=$(ls "$out.tmp" | LC_ALL=C sort | head -n 1)
  ;;
*)
  echo "make-corpus: unknown kind $kind (mixed or binary)" >&2
  exit 2
  ;;
esac
printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n[UPDATE]\r\nUpdateFile00=%s\r\n' \
  "$first" >"$out.tmp/UPDATE.INI"
rm -rf "$out"
mv "$out.tmp" "$out"

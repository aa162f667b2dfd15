#!/usr/bin/env bash
# Builds the benchmark corpus from files that Debian packages install: text (cmake-data's
# reStructuredText help), game-like pictures (adwaita-icon-theme's 512x512 icons flattened
# onto a background and written as 24-bit BMPs by imagemagick) and a binary (cmake's
# executable). One flat folder, as a publisher's patch folder is, with an UPDATE.INI.
# Usage: make-corpus.sh OUT_DIR
set -euo pipefail
out=$1
help=$(ls -d /usr/share/cmake-*/Help | sort | tail -n 1)
icons=/usr/share/icons/Adwaita/512x512
[ -d "$help" ] && [ -d "$icons" ] && [ -x /usr/bin/convert ] || {
  echo "make-corpus: needs cmake-data, adwaita-icon-theme and imagemagick" >&2
  exit 1
}
rm -rf "$out.tmp"
mkdir -p "$out.tmp"
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
printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\n[UPDATE]\r\nUpdateFile00=cmake.bin\r\n' \
  >"$out.tmp/UPDATE.INI"
rm -rf "$out"
mv "$out.tmp" "$out"

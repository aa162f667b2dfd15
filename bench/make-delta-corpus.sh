#!/usr/bin/env bash
# Builds the delta benchmark corpus: pairs of consecutive releases of the same files, taken from
# Debian packages that offer two versions (the release and its security or point update). Each
# package's two newest versions are fetched with apt-get download and unpacked; every file that
# both versions hold, that differs and is at least MIN_SIZE bytes becomes a pair (the largest few
# per package). Layout: OUT_DIR/NN-package-file/{old,new}.
# Usage: make-delta-corpus.sh OUT_DIR
set -euo pipefail
out=$1
min_size=65536
per_package=3
# Binaries (executables and shared libraries) and data files (time zones, a Java module image).
packages=(
  libssl3 libc6 git libcurl4 python3.11-minimal postgresql-15 libxml2 libtiff6
  libmagickcore-6.q16-6 libnode108 tzdata openjdk-17-jre-headless
)
work=$out.tmp
rm -rf "$work"
mkdir -p "$work/debs" "$work/pairs"
(apt-cache policy >/dev/null 2>&1 && apt-cache madison libc6 | grep -q .) || apt-get update -q >/dev/null
n=0
for pkg in "${packages[@]}"; do
  mapfile -t versions < <(apt-cache madison "$pkg" | awk '{print $3}' | awk '!seen[$0]++' | head -n 2)
  if [ ${#versions[@]} -lt 2 ]; then
    echo "make-delta-corpus: $pkg has only one version on offer, skipped" >&2
    continue
  fi
  new=${versions[0]}
  old=${versions[1]}
  for side in old new; do
    version=${!side}
    dir=$work/debs/$pkg/$side
    mkdir -p "$dir"
    (cd "$dir" && apt-get download -q "$pkg=$version" >/dev/null)
    dpkg-deb -x "$dir"/*.deb "$dir/root"
  done
  # The files both versions hold (by relative path), that differ, largest first.
  (cd "$work/debs/$pkg/new/root" && find . -type f -size +$((min_size / 1024))k -printf '%s %P\n') |
    sort -rn | while read -r size rel; do
      a=$work/debs/$pkg/old/root/$rel
      b=$work/debs/$pkg/new/root/$rel
      if [ -f "$a" ] && ! cmp -s "$a" "$b"; then echo "$rel"; fi
    done | head -n "$per_package" >"$work/debs/$pkg/list" || true
  while read -r rel; do
    n=$((n + 1))
    name=$(printf '%02d-%s-%s' "$n" "$pkg" "$(basename "$rel")")
    mkdir -p "$work/pairs/$name"
    cp "$work/debs/$pkg/old/root/$rel" "$work/pairs/$name/old"
    cp "$work/debs/$pkg/new/root/$rel" "$work/pairs/$name/new"
    printf '%s %s -> %s\n' "$rel" "$old" "$new" >"$work/pairs/$name/source"
  done <"$work/debs/$pkg/list"
done
rm -rf "$out"
mv "$work/pairs" "$out"
rm -rf "$work"

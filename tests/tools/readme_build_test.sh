#!/usr/bin/env bash
# Configures and builds mkupdate exactly as the README's Linux build lines do, in a tree of its
# own, and fails when the result links a sanitizer library: a publisher's plain build is the fast
# one. Usage: readme_build_test.sh SOURCE BUILD
set -euo pipefail
source=$1 build=$2
lines=$(sed -n '/^<!-- linux-build -->$/,/^<!-- \/linux-build -->$/p' "$source/README.md" |
  grep '^    cmake ' | sed 's/^    //')
[ "$(printf '%s\n' "$lines" | grep -c .)" -ge 2 ] || {
  echo "FAIL: the README's Linux build lines are not found"
  exit 1
}
rm -rf "$build"
cd "$source"
while IFS= read -r line; do
  line=${line//build\/release/$build}
  echo "+ $line"
  CMAKE_BUILD_PARALLEL_LEVEL=2 eval "$line" >/dev/null 2>"$build.log" || {
    cat "$build.log"
    exit 1
  }
done <<<"$lines"
[ -x "$build/tools/mkupdate" ] || {
  echo "FAIL: no mkupdate built"
  exit 1
}
if ldd "$build/tools/mkupdate" | grep -E 'lib(a|ub|t|l)san'; then
  echo "FAIL: the README's build links a sanitizer library"
  exit 1
fi
echo "1 passed, 0 failed"

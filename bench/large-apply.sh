#!/usr/bin/env bash
# The updater's side of the large benchmark: installs OLD_RELEASE_DIR into a Wine prefix of its
# own as the game of the patch, runs PATCH_EXE there with the test driver clicking through (as
# the end-to-end tests do), and reports the run's wall time against copying the bytes of the
# files it wrote, and UPDATE.exe's peak memory read from its process while it runs.
#
# Usage: bench/large-apply.sh OLD_RELEASE_DIR PATCH_EXE [RESULTS_FILE]
# Environment: LARGE_WORK (default /work/scratch/large-apply) holds the prefix and the copies
# and is removed at the end unless LARGE_KEEP=1; LARGE_STEPS overrides the driver's steps;
# with LARGE_IO=1 the updater's report of the bytes it read, wrote and hashed (its debug
# output, which only a debugger or Wine's debug channel sees) is printed too.
#
# Memory: the process's peak resident set (VmHWM) and the peak of its private (anonymous)
# resident memory, sampled every 100 ms. The private figure is the one that matters: the payload
# lies in the program's image, whose pages are backed by the file and are counted in the
# resident set as the run reads them, yet cost no memory the system cannot take back.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
old=$(cd "$1" && pwd)
patch=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
results=${3:-}
work=${LARGE_WORK:-/work/scratch/large-apply}
win=$root/build/win
bench=$root/build/bench

cmake -S "$root" -B "$win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$win" -j2 --target updriver >/dev/null
# The benchmarks' own release tree, brought up to date every time: a mkupdate left from an
# older checkout would not read what this one's build wrote.
cmake -S "$root/bench" -B "$bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$bench" -j2 --target mkupdate >/dev/null
mkupdate=$bench/patcher/tools/mkupdate

prefix=$work/wineprefix
rm -rf "$work"
mkdir -p "$work"
wine_run() { "$root/scripts/wine-run" "$prefix" "$@"; }
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  "$root/scripts/end-wine" "$prefix"
  kill "$xvfb" 2>/dev/null || true
  # The Wine wrapper mounts a tiny disk beside the prefix where it may.
  ! mountpoint -q "$prefix-smalldisk" || umount "$prefix-smalldisk" || true
  [ "${LARGE_KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display

# What the patch says about the game: its registry key and the pages it shows.
"$mkupdate" extract "$patch" -d "$work/ini" UPDATE.INI >/dev/null
ini=$work/ini/UPDATE.INI
value() { tr -d '\r' <"$ini" | sed -n "s/^$1=//p" | head -1; }
company=$(value CompanyName | iconv -f CP932 -t UTF-8)
gamedir=$(value GameDir | iconv -f CP932 -t UTF-8)
steps=()
[ -n "$(value UpdateMessage)" ] && steps+=(OK)
[ -n "$(value AgreementText)" ] && steps+=(click:1002)
# Greeting, confirm, completion, and between them the running page as often as the driver sees
# it change (a click on its disabled button does nothing); steps left over are never used.
steps+=(click:1 click:1 click:1 click:1 click:1 click:1 click:1 click:1)
[ -n "${LARGE_STEPS:-}" ] && read -r -a steps <<<"$LARGE_STEPS"

echo "== installing $old as C:\\Game"
wine_run cmd /c exit >/dev/null 2>&1 || true # creates the prefix
game=$prefix/drive_c/Game
cp -r --reflink=auto "$old" "$game"
# A release without the installer's SETUP.INI gets the least one the updater accepts.
[ -f "$game/SETUP.INI" ] || printf '[SETUP]\r\nCompanyName=%s\r\nGameTitle=%s\r\nGameDir=%s\r\nGameExe=GAME.EXE\r\nUninstExe=UNINST.EXE\r\nSetupBmp=SETUP.BMP\r\nInstallSelects=1\r\nInstallTitle0=Standard\r\nInstallFiles0=GAME.EXE\r\nShortcuts=0\r\n' \
  "$(value CompanyName)" "$(value GameTitle)" "$(value GameDir)" >"$game/SETUP.INI"
find "$game" -exec touch -d 2020-01-01T00:00:00 {} +
key="HKCU\\Software\\$company\\$gamedir"
wine_run reg add "$key" /v InstPath /d 'C:\Game' /f >/dev/null 2>&1
wine_run reg add "$key" /v DataPath /d 'C:\Game\SAVE' /f >/dev/null 2>&1
wine_run reg add "$key" /v InstMode /t REG_DWORD /d 1 /f >/dev/null 2>&1
wine_run reg add "$key" /v InstAdd /t REG_DWORD /d 0 /f >/dev/null 2>&1
cp "$patch" "$work/UPDATE.exe"
# Its volumes keep their names: the updater finds them by the names its payload records.
for volume in "${patch%.*}".[0-9][0-9][0-9]; do
  [ -f "$volume" ] && cp --reflink=auto "$volume" "$work/"
done
sync
(cd "$game" && find . -type f -printf '%p %s %T@\n' | sort) >"$work/before.txt"

# Samples the updater's process (not the driver's) until it ends.
sample_memory() {
  local watched=$1 pid="" hwm=0 anon=0 field amount rest p
  while kill -0 "$watched" 2>/dev/null; do
    if [ -z "$pid" ]; then
      # Wine runs it as a process of its own whose arguments name its Windows path; other
      # programs of the same name (other runs, other users of the machine) are not it.
      for p in /proc/[0-9]*; do
        [ -O "$p" ] || continue
        if { tr '\0' '\n' <"$p/cmdline"; } 2>/dev/null | grep -qxF "$windows_exe"; then
          pid=${p#/proc/}
          break
        fi
      done
    fi
    if [ -n "$pid" ] && [ -r "/proc/$pid/status" ]; then
      while read -r field amount rest; do
        case $field in
        VmHWM:) [ "$amount" -gt "$hwm" ] && hwm=$amount ;;
        RssAnon:) [ "$amount" -gt "$anon" ] && anon=$amount ;;
        esac
      done <"/proc/$pid/status" || true
    else
      pid="" # not found yet, or a process that has ended: look again
    fi
    sleep 0.1
  done
  echo "$hwm $anon"
}

# This machine is a virtual one: memory freed lately is handed back to its host after a few
# seconds, and taking it again costs its host's work on first touch (some 2.5 s per GiB of page
# cache here, ten times the copying itself). A copy made right after the run, which freed the
# old files' pages, got them for nothing; the run did not. Both are therefore timed from the
# same settled state. LARGE_SETTLE=0 turns this off.
settle() {
  sync
  sleep "${LARGE_SETTLE:-20}"
}

windows_exe="Z:${work//\//\\}\\UPDATE.exe"
settle
# Wine's server and its system processes, started before the clock and kept until the end:
# booting them (half a second here) is Wine's cost, which a Windows machine does not pay.
# Under the same folder as every other call on the prefix (scripts/wine-run), or this would be a
# second server, left running after the end. A server still up from the set-up (a short settle)
# refuses the request and stays up all the same while the next program runs.
WINEPREFIX=$prefix TMPDIR=/tmp wineserver -p >/dev/null 2>&1 || true
wine_run cmd /c exit >/dev/null 2>&1 || true
echo "== running UPDATE.exe (driver steps: ${steps[*]})"
start=$(date +%s.%N)
debug=-all
if [ "${LARGE_IO:-0}" = 1 ]; then debug=-all,+debugstr; fi
(cd "$work" && UPDRIVER_TIMEOUT_MS=86400000 WINEDEBUG=$debug wine_run "$win/tests/updriver.exe" \
  "$work/UPDATE.exe" "" "${steps[@]}" >"$work/transcript.txt" 2>&1) &
driver=$!
memory=$(sample_memory "$driver")
status=0
wait "$driver" || status=$?
end=$(date +%s.%N)
grep -av 'I/O ' "$work/transcript.txt" | iconv -f CP932 -t UTF-8 | tail -5 || true
if [ "${LARGE_IO:-0}" = 1 ]; then
  grep -a 'I/O ' "$work/transcript.txt" | sed 's/^[^"]*"//; s/\\n"$//' || true
fi

[ "$status" = 1 ] || { echo "UPDATE.exe did not complete (exit $status)" >&2; exit 1; }

# The same bytes copied plainly: every file the run wrote, flushed to the disk as the run does.
(cd "$game" && find . -type f -printf '%p %s %T@\n' | sort) >"$work/after.txt"
mapfile -t written < <(comm -13 "$work/before.txt" "$work/after.txt" | cut -d' ' -f1)
bytes=0
for f in "${written[@]}"; do
  bytes=$((bytes + $(stat -c %s "$game/$f")))
done
# The copy's time varies from one try to the next by half on this kind of machine, however
# settled: it is timed LARGE_COPIES times (default 3), each from a settled state, and the median
# is the one compared.
copies=()
for ((try = 0; try < ${LARGE_COPIES:-3}; try++)); do
  rm -rf "$work/copy"
  mkdir -p "$work/copy"
  settle
  copy_start=$(date +%s.%N)
  for f in "${written[@]}"; do
    cp "$game/$f" "$work/copy/$(echo "$f" | tr / _)"
  done
  sync
  copy_end=$(date +%s.%N)
  copies+=("$(echo "$copy_end - $copy_start" | bc)")
done
rm -rf "$work/copy"
copy_median=$(printf '%s\n' "${copies[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }')

read -r hwm anon <<<"$memory"
report=$(
  printf 'UPDATE.exe applying %s to %s\n' "$(basename "$patch")" "$old"
  printf '  files written:          %d (%d bytes)\n' "${#written[@]}" "$bytes"
  printf '  run (driver included):  %.1f s\n' "$(echo "$end - $start" | bc)"
  printf '  copying those bytes:    %.1f s (median of:%s)\n' "$copy_median" "$(printf ' %.1f' "${copies[@]}")"
  printf '  peak resident (VmHWM):  %d MiB\n' $((hwm / 1024))
  printf '  peak private (RssAnon): %d MiB\n' $((anon / 1024))
)
echo "$report"
[ -z "$results" ] || echo "$report" >>"$results"

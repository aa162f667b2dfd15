#!/usr/bin/env bash
# What an installer leaves beside a benchmark release, the same in each folder given: SETUP.INI
# naming the game and its program, and that program, so that `mkupdate build --from` has a
# release to read and a file to check the version by.
# Usage: make-setup-ini.sh FOLDER...
set -euo pipefail
for folder in "$@"; do
  printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\nGameExe=GAME.EXE\r\n' \
    >"$folder/SETUP.INI"
  printf 'the game' >"$folder/GAME.EXE"
done

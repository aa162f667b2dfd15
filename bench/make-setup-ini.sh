#!/usr/bin/env bash
# What an installer leaves beside a benchmark release, the same in each folder given: SETUP.INI
# naming the game and its program, and that program, so that `mkupdate build --from` has a
# release to read and a file to check the version by.
# Usage: make-setup-ini.sh FOLDER...
set -euo pipefail
for folder in "$@"; do
  printf '[SETUP]\r\nCompanyName=Bench\r\nGameTitle=Bench\r\nGameClass=Bench\r\nGameDir=Bench\r\nGameExe=GAME.EXE\r\nUninstExe=UNINST.EXE\r\nSetupBmp=SETUP.BMP\r\nInstallSelects=1\r\nInstallTitle0=Standard\r\nInstallFiles0=GAME.EXE\r\nShortcuts=0\r\n' \
    >"$folder/SETUP.INI"
  printf 'the game' >"$folder/GAME.EXE"
done

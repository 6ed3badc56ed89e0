#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's prefix and without Wine's chatter.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-vmmgr}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"

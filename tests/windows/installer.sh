#!/usr/bin/env bash
# The Windows installer as a user meets it, under Wine:
#   tests/windows/installer.sh SETUP_EXE ZIP WORK_DIR
# 1. `setup.exe /S` installs into Program Files exactly the zip's files (byte for byte)
#    and uninstall.exe, a Start-menu shortcut, and the system's Uninstall key.
# 2. The shortcut (read with lnkinfo) targets the installed program and starts in its
#    folder; started from it (start on the .lnk, from another folder), the program runs
#    in that folder, opens its window with the pad over back.bmp, and ends on the close
#    button (its exit code is windows-e2e.sh's to check: start cannot pass it on).
# 3. tests/rig/windows-e2e.sh on the installed folder: the changed voice on the rig.
#    QM_INSTALLER_E2E=0 skips it.
# 4. `uninstall.exe /S` removes every file, the shortcut and the key; the uninstaller's
#    own copy in Temp goes at the next restart (wineboot -r), as on Windows (its
#    emptied folder stays: said, not failed). After it,
#    the registry names Quillmorph nowhere it did not before the install.
# Uses WINEPREFIX as it is (prepared by the caller, nothing of ours installed) and the
# caller's DISPLAY (Xvfb). Exit code 0 when every check passed.
set -uo pipefail

[ $# -ge 3 ] || { sed -n '2,16p' "$0"; exit 2; }
setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
zip=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$3
here=$(cd "$(dirname "$0")" && pwd)
rig=$(cd "$here/../rig" && pwd)
. "$rig/rig.sh"
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd)

failures=0
fail() { failures=$((failures + 1)); echo "FAIL: $*" >&2; }
note() { printf 'installer: %s\n' "$*"; }
for tool in wine wineboot lnkinfo xdotool import unzip iconv python3 cc; do
  command -v "$tool" >/dev/null || { echo "installer: $tool missing (script/bootstrap installs it)" >&2; exit 1; }
done
[ -n "$RIG_PY" ] || { echo "installer: no python3 with numpy, scipy, aubio and Pillow (script/bootstrap installs them)" >&2; exit 1; }
: "${WINEPREFIX:?installer: set WINEPREFIX}" "${DISPLAY:?installer: needs an X display (Xvfb)}"

c=$WINEPREFIX/drive_c
dir=$c/Program\ Files/Quillmorph
win_dir='C:\Program Files\Quillmorph'
lnk=$c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Quillmorph.lnk
win_lnk='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Quillmorph.lnk'
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmorph'

# Every registry line that names Quillmorph, both hives, into FILE.
registry_mentions() {
  local hive
  for hive in HKLM HKCU; do
    wine reg export "$hive" "$work/$hive.reg" /y >/dev/null 2>&1 || { fail "reg export $hive"; continue; }
    iconv -f UTF-16LE -t UTF-8 "$work/$hive.reg" | tr -d '\r' | grep -i quillmorph | sed "s/^/$hive /"
  done | sort >"$1"
}

installed=0 pid=""
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  if [ "$installed" = 1 ] && [ -f "$dir/uninstall.exe" ]; then
    wine "$win_dir\\uninstall.exe" /S >/dev/null 2>&1
  fi
}
trap cleanup EXIT

[ ! -e "$dir" ] && ! wine reg query "$key" >/dev/null 2>&1 ||
  { echo "installer: Quillmorph is installed in $WINEPREFIX already" >&2; exit 1; }
registry_mentions "$work/registry-before"

# --- 1. silent install ----------------------------------------------------------------
mkdir -p "$work/zip" && (cd "$work/zip" && unzip -q "$zip")
t0=$(date +%s.%N)
installed=1
wine "$setup" /S >"$work/setup.log" 2>&1
rc=$?
note "setup.exe /S: exit code $rc, $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
[ "$rc" = 0 ] || { fail "setup.exe /S exit code $rc"; cat "$work/setup.log" >&2; exit 1; }
want=$( (cd "$work/zip" && ls; echo uninstall.exe) | sort | tr '\n' ' ')
got=$( (cd "$dir" 2>/dev/null && ls) | sort | tr '\n' ' ')
[ "$got" = "$want" ] || fail "installed in Program Files\\Quillmorph: '$got', expected '$want'"
for f in "$work"/zip/*; do
  cmp -s "$f" "$dir/$(basename "$f")" || fail "$(basename "$f") differs from the zip's"
done
reg=$(wine reg query "$key" 2>/dev/null | tr -d '\r')
value() { sed -n "s/^ *$1 *REG_[A-Z_]* *//p" <<<"$reg"; }
[ "$(value UninstallString)" = "\"$win_dir\\uninstall.exe\"" ] || fail "UninstallString: '$(value UninstallString)'"
[ "$(value QuietUninstallString)" = "\"$win_dir\\uninstall.exe\" /S" ] || fail "QuietUninstallString: '$(value QuietUninstallString)'"
[ "$(value DisplayName)" = Quillmorph ] || fail "DisplayName: '$(value DisplayName)'"
[ "$(value InstallLocation)" = "$win_dir" ] || fail "InstallLocation: '$(value InstallLocation)'"
[ -n "$(value DisplayVersion)" ] || fail "no DisplayVersion"
note "installed: $got; Uninstall key: $(value DisplayName) $(value DisplayVersion)"

# --- 2. the Start-menu shortcut ---------------------------------------------------------
[ -f "$lnk" ] || { fail "no Start-menu shortcut $win_lnk"; exit 1; }
lnkinfo "$lnk" >"$work/lnkinfo.txt" || fail "lnkinfo could not read the shortcut"
field() { sed -n "s/^[[:space:]]*$1[[:space:]]*: //p" "$work/lnkinfo.txt" | head -1; }
[ "$(field 'Local path')" = "$win_dir\\quillmorph.exe" ] || fail "shortcut target: '$(field 'Local path')'"
[ "$(field 'Working directory')" = "$win_dir" ] || fail "shortcut working folder: '$(field 'Working directory')'"
note "shortcut: $(field 'Local path') in $(field 'Working directory')"

cc -O2 -o "$work/wm_delete" "$rig/wm_delete.c" -lX11 || exit 1
# From another folder, so that only the shortcut can say where the program runs.
# start.exe returns once the link is opened (it cannot wait through a link here), so
# the program is followed by its process.
(cd / && wine start "$win_lnk") >"$work/start.log" 2>&1 || fail "start $win_lnk: exit code $?"
wid=""
for _ in $(seq 1 300); do
  wid=$(xdotool search --name '^Quillmorph$' 2>/dev/null | head -1)
  [ -n "$wid" ] && break
  sleep 0.1
done
# The program's process (its first argument is the program), not start.exe's.
for p in $(pgrep -f 'quillmorph\.exe'); do
  argv0=$(tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | head -1)
  [[ "$argv0" == *'Quillmorph\quillmorph.exe' ]] &&
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && { pid=$p; break; }
done
if [ -z "$wid" ] || [ -z "$pid" ]; then
  fail "no window titled Quillmorph (or no process) after starting the shortcut"; cat "$work/start.log" >&2
else
  # Wine keeps the process's folder in step with the Windows current directory.
  cwd=$(readlink "/proc/$pid/cwd")
  [ "$cwd" = "$dir" ] || fail "started from the shortcut, it runs in '$cwd', not in '$dir'"
  pad=$(rig_check_pad "$wid" "$work/window.png" --expect-size 400x400 --expect-crosshair 200,200 \
        --expect-picture "$dir/back.bmp") || fail "window from the shortcut: $pad"
  note "started from the shortcut: window $wid, running in $cwd"
  "$work/wm_delete" "$wid" || fail "could not send WM_DELETE_WINDOW"
  for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$pid" 2>/dev/null && fail "still running 15 s after the close button"
fi

# --- 3. the changed voice through the installed program ----------------------------------
if [ "${QM_INSTALLER_E2E:-1}" = 1 ]; then
  "$rig/windows-e2e.sh" "$dir" "$work/e2e" || [ $? = 77 ] || fail "the installed program on the rig (tests/rig/windows-e2e.sh)"
fi

# --- 4. silent uninstall ----------------------------------------------------------------------
wine "$win_dir\\uninstall.exe" /S >"$work/uninstall.log" 2>&1 || fail "uninstall.exe /S exit code $?"
# It returns at once: its copy in Temp does the work, so wait for that to finish.
for _ in $(seq 1 300); do
  [ ! -e "$dir" ] && ! pgrep -f 'Un\.exe' >/dev/null && ! wine reg query "$key" >/dev/null 2>&1 && break
  sleep 0.1
done
installed=0
[ ! -e "$dir" ] || fail "left behind in Program Files: $(cd "$dir" && ls | tr '\n' ' ')"
[ ! -e "$lnk" ] || fail "the Start-menu shortcut is still there"
wine reg query "$key" >/dev/null 2>&1 && fail "the Uninstall key is still there"
wineboot -r >/dev/null 2>&1
temp=$(find "$c/users" -path '*/Temp/~nsu*' -type f 2>/dev/null)
[ -z "$temp" ] || fail "after a restart, the uninstaller's copy is still in Temp: $temp"
# NSIS asks for its Temp folder to go before the file in it, so the folder itself
# outlives the restart, empty; said here, not failed.
empty=$(find "$c/users" -path '*/Temp/*' -maxdepth 4 -type d -name '~nsu*' -newer "$work/registry-before" 2>/dev/null | wc -l)
[ "$empty" = 0 ] || note "NSIS's empty Temp folder(s) left after the restart: $empty"
registry_mentions "$work/registry-after"
added=$(comm -13 "$work/registry-before" "$work/registry-after")
[ -z "$added" ] || fail "the registry names Quillmorph after the uninstall: $added"
note "uninstalled; registry lines naming Quillmorph: $(wc -l <"$work/registry-before") before the install, $(wc -l <"$work/registry-after") after"

[ $failures = 0 ] || { echo "installer: $failures check(s) failed" >&2; exit 1; }
note "all checks passed"

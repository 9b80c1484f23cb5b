#!/usr/bin/env bash
# The .deb as a user gets it: made with cpack from a built tree, installed with
# dpkg -i, the desktop entry valid, the program started with the entry's Exec from
# its Path folder on Xvfb and the PulseAudio rig (tests/rig/rig.sh): it shows the pad
# over the installed back.bmp, plays the voice resynthesised at the centre and two
# octaves up after a drag, and closes with code 0; the installed quillmorph-virtual-mic
# finds the installed program and folder. Then dpkg --purge must leave none
# of the package's files or folders behind. The package is removed even on failure.
#   tests/desktop/package.sh BUILD_DIR [WORK_DIR]
# Exit 77 (skipped) when not root, without dpkg or the rig's tools, or when a
# quillmorph package is installed already (it is not ours to remove).
set -uo pipefail

[ $# -ge 1 ] || { sed -n '2,11p' "$0"; exit 2; }
# Builds on this machine share one dpkg database: one package test at a time. The
# lock stays with flock (-o), not with the daemons this test starts.
if [ -z "${QM_PACKAGE_TEST_LOCKED:-}" ] && command -v flock >/dev/null; then
  QM_PACKAGE_TEST_LOCKED=1 flock -o -E 75 -w 120 /tmp/quillmorph-package-test.lock "$0" "$@"
  rc=$?
  [ "$rc" != 75 ] || echo "package: another package test held the lock for 120 s" >&2
  exit "$rc"
fi
build=$(cd "$1" && pwd)
work=${2:-$(mktemp -d /tmp/qm-package.XXXXXX)}
mkdir -p "$work" && rm -rf "$work/pkg"
desk_name=package
. "$(dirname "$0")/common.sh"

[ "$(id -u)" = 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
desk_need dpkg dpkg-deb cpack python3 Xvfb xdpyinfo xdotool import pulseaudio pactl parec paplay cc pgrep
[ -f "$build/CPackConfig.cmake" ] || { echo "package: $build/CPackConfig.cmake missing: not a configured tree"; exit 1; }

if dpkg-query -W -f='${Status}' quillmorph 2>/dev/null | grep -q installed; then
  echo "SKIP: a quillmorph package is installed on this machine already"; exit 77
fi

pid="" installed=0
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  if [ "$installed" = 1 ]; then
    dpkg_retry --purge quillmorph >/dev/null || echo "package: could not remove the package" >&2
  fi
  rig_stop_all
}
trap cleanup EXIT

# dpkg ARGS..., waiting while another dpkg or apt holds the database lock.
dpkg_retry() {
  local i out
  for i in $(seq 1 60); do
    out=$(dpkg "$@" 2>&1) && { printf '%s\n' "$out"; return 0; }
    grep -qi 'lock' <<<"$out" || { printf '%s\n' "$out" >&2; return 1; }
    sleep 1
  done
  printf '%s\n' "$out" >&2
  return 1
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/pkg/quillmorph_*.deb)
note "made $(basename "$deb") ($(stat -c %s "$deb") bytes)"
# Every path in the package, and which of them were there before it.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's#^\.##; s#/$##' | grep -v '^$' >"$work/contents"
while read -r p; do [ -e "$p" ] && echo "$p"; done <"$work/contents" >"$work/preexisting"

installed=1
dpkg_retry -i "$deb" >"$work/dpkg-i.log" || { fail "dpkg -i failed"; exit 1; }
entry=/usr/share/applications/org.quillmorph.Quillmorph.desktop
[ -f "$entry" ] || { fail "no $entry"; exit 1; }
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "desktop-file-validate: $entry"
fi
meta=/usr/share/metainfo/org.quillmorph.Quillmorph.metainfo.xml
[ -f "$meta" ] || fail "no $meta"
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --strict --no-net "$meta" || fail "appstreamcli validate: $meta"
fi
key() { sed -n "s/^$1=//p" "$entry" | head -1; }
exec_line=$(key Exec) path=$(key Path) icon=$(key Icon)
grep -qx 'Categories=AudioVideo;Audio;' "$entry" || fail "Categories: $(key Categories)"
[ -f "$path/back.bmp" ] || fail "Path=$path holds no back.bmp"
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not installed in hicolor"
python3 -c 'import sys, xml.etree.ElementTree as t; t.parse(sys.argv[1])' \
  "/usr/share/icons/hicolor/scalable/apps/$icon.svg" || fail "the icon is not well-formed SVG"
# Exec as a launcher splits it: quoted words, field codes (%f, %U, ...) dropped.
mapfile -t argv < <(python3 -c 'import shlex, sys; [print(w) for w in shlex.split(sys.argv[1]) if not (len(w) == 2 and w[0] == "%")]' "$exec_line")
note "Exec=$exec_line Path=$path Icon=$icon"

desk_rig_start
set -m  # a backgrounded job would otherwise inherit SIGINT as ignored
(cd "$path" && SDL_AUDIODRIVER=pulseaudio exec "${argv[@]}") >"$work/program.log" 2>&1 &
pid=$!
set +m
rig_wait_window || { fail "no window titled Quillmorph"; cat "$work/program.log" >&2; exit 1; }
wid=$RIG_WID
[ "$(readlink "/proc/$pid/exe")" = /usr/bin/quillmorph ] || fail "running $(readlink "/proc/$pid/exe"), not /usr/bin/quillmorph"
[ "$(readlink "/proc/$pid/cwd")" = "$path" ] || fail "working folder $(readlink "/proc/$pid/cwd"), not $path"
rig_wait_streams "$pid" || fail "the program's sound streams did not open"
desk_check_window "$wid" "$path/back.bmp"
desk_measure centre --expect-ratio 1 --tolerance 0.03 --expect-changed --min-level 0.1 --max-level 0.9
desk_drag_top "$wid"
desk_measure top --expect-ratio 4 --tolerance 0.02
"$work/wm_delete" "$wid" || fail "could not send WM_DELETE_WINDOW"
if desk_wait_gone "$pid" 15; then
  wait "$pid"; rc=$?; pid=""
  [ "$rc" = 0 ] || fail "the program closed with exit code $rc"
else
  fail "the program still runs 15 s after the close button"
fi

# The installed virtual microphone finds the installed program and its folder by itself.
set -m
/usr/bin/quillmorph-virtual-mic >"$work/virtual-mic.log" 2>&1 &
vm=$!
set +m
if rig_wait_window; then
  prog=$(pgrep -P "$vm" | head -1)
  [ "$(readlink "/proc/$prog/exe")" = /usr/bin/quillmorph ] && [ "$(readlink "/proc/$prog/cwd")" = "$path" ] ||
    fail "quillmorph-virtual-mic ran $(readlink "/proc/$prog/exe") in $(readlink "/proc/$prog/cwd")"
else
  fail "quillmorph-virtual-mic showed no window"; cat "$work/virtual-mic.log" >&2
fi
kill -TERM "$vm"
desk_wait_gone "$vm" 15 || { fail "quillmorph-virtual-mic still runs 15 s after SIGTERM"; kill -KILL "$vm"; }
wait "$vm"; rc=$?
[ "$rc" = 143 ] || fail "quillmorph-virtual-mic: exit code $rc after SIGTERM"
[ "$(pactl list short modules | grep -c quillmorph)" = 0 ] || fail "quillmorph-virtual-mic left modules loaded"

dpkg -L quillmorph >"$work/listed" 2>/dev/null
cmp -s <(sort "$work/listed" | grep -vx '/\.') <(sort "$work/contents") ||
  note "dpkg -L and the .deb's contents differ: $(diff <(sort "$work/listed") <(sort "$work/contents") | tr '\n' ' ')"
dpkg_retry --purge quillmorph >"$work/dpkg-purge.log" || fail "dpkg --purge failed"
installed=0
dpkg-query -W -f='${Status}' quillmorph 2>/dev/null | grep -q installed && fail "still installed after --purge"
left=0
while read -r p; do
  if grep -qxF "$p" "$work/preexisting"; then
    [ -e "$p" ] || fail "$p was there before the package and is gone"
  elif [ -e "$p" ] || [ -L "$p" ]; then
    fail "left behind: $p"; left=$((left + 1))
  fi
done < <(sort -u "$work/listed" "$work/contents")
strays=$(find /usr/bin /usr/share/applications /usr/share/metainfo /usr/share/icons /usr/share/doc /usr/share/quillmorph \
              /etc /var/lib/dpkg/info -name '*quillmorph*' 2>/dev/null)
[ -z "$strays" ] || fail "left behind: $strays"
note "$(wc -l <"$work/contents") paths in the package, $(wc -l <"$work/preexisting") shared with the system; left behind: $left"

note "artefacts in $work"
[ $failures = 0 ] || { echo "$desk_name: $failures check(s) failed" >&2; exit 1; }
rig_unjudged_exit "$desk_name"
note "all checks passed"

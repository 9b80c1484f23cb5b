#!/usr/bin/env bash
# The AppStream listing as the packages install it: the build tree installed into a
# scratch root as the .deb lays it out (prefix /usr), then appstreamcli validates the
# installed metainfo and the tree (strict: even its hints fail), and the listing must name what is installed
# beside it: its launchable is the desktop entry of the same ID, its binaries are in
# bin/, its categories are the entry's. The generator is also run with a screenshot
# address, whose listing must validate too and carry the address intact.
#   tests/desktop/metainfo.sh SOURCE_DIR BUILD_DIR [WORK_DIR]
# Exit 77 (skipped) without appstreamcli or desktop-file-validate.
set -uo pipefail

[ $# -ge 2 ] || { sed -n '2,9p' "$0"; exit 2; }
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=${3:-$(mktemp -d /tmp/qm-metainfo.XXXXXX)}
rm -rf "$work" && mkdir -p "$work"
failures=0
fail() { failures=$((failures + 1)); echo "FAIL: $*" >&2; }

for tool in appstreamcli desktop-file-validate python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (script/bootstrap installs it)"; exit 77; }
done

root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; echo "metainfo: cmake --install failed" >&2; exit 1; }
mapfile -t metas < <(find "$root/usr/share/metainfo" -name '*.xml' 2>/dev/null)
[ ${#metas[@]} = 1 ] || { fail "expected one file in usr/share/metainfo, found ${#metas[@]}"; exit 1; }
meta=${metas[0]}
echo "metainfo: installed ${meta#$root}"

appstreamcli validate --strict --no-net --explain "$meta" || fail "appstreamcli validate: ${meta#$root}"
appstreamcli validate-tree --strict --no-net --explain "$root" || fail "appstreamcli validate-tree on the installed tree"

# The listing against the installed tree.
python3 - "$root" "$meta" <<'PY' || fail "the listing does not match the installed files (above)"
import configparser, os, sys, xml.etree.ElementTree as ET
root, meta = sys.argv[1:3]
c = ET.parse(meta).getroot()
bad = []
cid = c.findtext('id')
if os.path.basename(meta) != f'{cid}.metainfo.xml':
    bad.append(f'file {os.path.basename(meta)} is not named for the ID {cid}')
launch = c.find("launchable[@type='desktop-id']")
if launch is None or launch.text != f'{cid}.desktop':
    bad.append(f'launchable {None if launch is None else launch.text} is not {cid}.desktop')
entry_path = f'{root}/usr/share/applications/{cid}.desktop'
if not os.path.isfile(entry_path):
    bad.append(f'no desktop entry {cid}.desktop installed')
else:
    p = configparser.ConfigParser(interpolation=None)
    p.optionxform = str
    p.read(entry_path)
    e = p['Desktop Entry']
    cats = [x for x in e.get('Categories', '').split(';') if x]
    listed = [x.text for x in c.findall('categories/category')]
    if cats != listed:
        bad.append(f'categories {listed} differ from the entry\'s {cats}')
    if e.get('Name') != c.findtext('name'):
        bad.append(f"name {c.findtext('name')!r} differs from the entry's {e.get('Name')!r}")
    if not e.get('Exec', '').startswith('/usr/bin/quillmorph'):
        bad.append(f"the entry starts {e.get('Exec')!r}, not the installed /usr/bin/quillmorph")
for b in c.findall('provides/binary'):
    f = f'{root}/usr/bin/{b.text}'
    if not (os.path.isfile(f) and os.access(f, os.X_OK)):
        bad.append(f'provided binary {b.text} is not installed in /usr/bin')
if not c.findall('provides/binary'):
    bad.append('no binary provided')
rating = c.find('content_rating')
if rating is None or rating.get('type') != 'oars-1.1':
    bad.append('no OARS 1.1 content rating')
for tag in ('metadata_license', 'summary', 'description'):
    if c.find(tag) is None:
        bad.append(f'no {tag}')
print(f'metainfo: {cid}: launchable, categories, name, binaries and rating match the tree')
for b in bad:
    print('  ' + b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
desktop-file-validate "$root/usr/share/applications/"*.desktop || fail "desktop-file-validate"

# With a published screenshot and a chosen licence: the address, '&' and all, and the
# licence come out as written.
url='https://example.org/quillmorph/docs/screenshot.png?size=1&v=2'
licence='MIT OR Apache-2.0'
shot=$work/with-screenshot.metainfo.xml
id=$(basename "$meta" .metainfo.xml)
cmake -DQM_APP_ID="$id" -DQM_METAINFO_IN="$src/app/$id.metainfo.xml.in" -DQM_METAINFO_OUT="$shot" \
      -DQM_SCREENSHOT_URL="$url" -DQM_PROJECT_LICENSE="$licence" -P "$src/cmake/QmMetainfo.cmake" ||
  fail "the generator failed with a screenshot address and a licence"
appstreamcli validate --strict --no-net --explain "$shot" || fail "appstreamcli validate: the listing with a screenshot and a licence"
read_tag() { python3 -c 'import sys, xml.etree.ElementTree as t; print(t.parse(sys.argv[1]).getroot().findtext(sys.argv[2]))' "$shot" "$1"; }
got=$(read_tag screenshots/screenshot/image)
[ "$got" = "$url" ] || fail "screenshot address came out as '$got'"
got=$(read_tag project_license)
[ "$got" = "$licence" ] || fail "licence came out as '$got'"
if cmake -DQM_APP_ID="$id" -DQM_METAINFO_IN="$src/app/$id.metainfo.xml.in" -DQM_METAINFO_OUT="$work/bad.xml" \
         -DQM_PROJECT_LICENSE='MIT</project_license><x>' -P "$src/cmake/QmMetainfo.cmake" >/dev/null 2>&1; then
  fail "a licence that is no SPDX expression was accepted"
fi
# What that address is to serve: the README's picture of the window.
python3 -c 'import sys; sys.exit(open(sys.argv[1], "rb").read(8) != b"\x89PNG\r\n\x1a\n")' "$src/docs/screenshot.png" ||
  fail "docs/screenshot.png is not a PNG picture"
# A file path is no address a software centre can fetch: refused when configuring.
if cmake -DQM_APP_ID="$id" -DQM_METAINFO_IN="$src/app/$id.metainfo.xml.in" -DQM_METAINFO_OUT="$work/bad.xml" \
         -DQM_SCREENSHOT_URL="$src/docs/screenshot.png" -P "$src/cmake/QmMetainfo.cmake" >/dev/null 2>&1; then
  fail "a screenshot given as a file path was accepted"
fi

[ $failures = 0 ] || { echo "metainfo: $failures check(s) failed" >&2; exit 1; }
echo "metainfo: all checks passed"

#!/bin/sh
# validate_install.sh <build dir> [<built halden executable>]
# Installs into a scratch prefix (everything when the program is built, else
# only the desktop files) and checks the installed desktop integration files.
set -u
build=$1
program=${2:-}
id=com.tallowmere.halden

prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

if [ -n "$program" ] && [ -x "$program" ]; then
  cmake --install "$build" --prefix "$prefix" || { echo "FAIL: cmake --install" >&2; exit 1; }
else
  cmake --install "$build" --prefix "$prefix" --component desktop-files ||
    { echo "FAIL: cmake --install --component desktop-files" >&2; exit 1; }
fi

share=$prefix/share
desktop=$share/applications/$id.desktop
metainfo=$share/metainfo/$id.metainfo.xml

if [ -f "$desktop" ]; then
  # Hints count too: one says the entry has no main category for the menus.
  if ! out=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$out" ]; then
    fail "desktop-file-validate: $out"
  fi
else
  fail "missing $desktop"
fi

# validate-tree also checks that the launchable names an installed desktop file.
[ -f "$metainfo" ] || fail "missing $metainfo"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
appstreamcli validate-tree --no-net "$prefix" || fail "appstreamcli validate-tree"

[ -s "$share/icons/hicolor/scalable/apps/$id.svg" ] || fail "missing scalable icon"
icon=$(sed -n 's/^Icon=//p' "$desktop" 2>/dev/null)
[ "$icon" = "$id" ] || fail "desktop entry names icon '$icon', installed icon is $id"

for n in 16 24 32 48 64 128 256; do
  png=$share/icons/hicolor/${n}x${n}/apps/$id.png
  got=$(python3 - "$png" <<'PY'
import struct, sys
try:
    with open(sys.argv[1], "rb") as f:
        head = f.read(24)
except OSError as e:
    print(e); sys.exit()
if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
    print("not a PNG"); sys.exit()
print("%dx%d" % struct.unpack(">II", head[16:24]))
PY
)
  [ "$got" = "${n}x${n}" ] || fail "$png: $got"
done

if [ -e "$prefix/bin/halden" ] || { [ -n "$program" ] && [ -x "$program" ]; }; then
  [ -x "$prefix/bin/halden" ] || fail "bin/halden not installed as an executable"
  exec_line=$(sed -n 's/^Exec=//p' "$desktop" 2>/dev/null)
  [ "${exec_line%% *}" = halden ] || fail "desktop entry runs '$exec_line', not halden"
fi

[ $status -eq 0 ] && echo "install layout and metadata valid"
exit $status

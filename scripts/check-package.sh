#!/usr/bin/env bash
# Builds Halden's Debian package from a build folder, checks it with lintian,
# installs it with apt-get into a clean Debian 12 root made by debootstrap
# (not this machine's own system) and runs the installed `halden --self-test`
# there. Run as root; needs network access to the Debian archive.
#
#   scripts/check-package.sh build/app [BASE_ROOT]
#
# BASE_ROOT, when given, is a debootstrap of bookworm made earlier: it is
# copied, never changed, so that each run starts from the same clean root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
base=${2:-}
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends debootstrap lintian dpkg-dev >/dev/null

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/halden_*_amd64.deb)
echo "== lintian $(basename "$package")"
lintian --tag-display-limit 0 "$package" || true
echo "== dependencies: $(dpkg-deb -f "$package" Depends)"

root=$(mktemp -d /tmp/halden-clean-root-XXXXXX)
cleanup() {
  for mounted in proc sys dev; do umount -l "$root/$mounted" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
if [ -n "$base" ]; then
  cp -a "$base/." "$root/"
else
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
fi
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$package" "$root/tmp/"
echo "== apt-get install ./$(basename "$package") in $root"
chroot "$root" sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends ./tmp/$(basename "$package") >/tmp/install.log 2>&1 || { tail -20 /tmp/install.log; exit 1; }"
chroot "$root" dpkg -s halden | grep -E '^(Status|Version):'
echo "== halden --self-test from the installed package"
chroot "$root" /usr/bin/halden --self-test | tail -3

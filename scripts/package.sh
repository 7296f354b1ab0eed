#!/usr/bin/env bash
# Installs what is missing and builds what a subscriber installs: the Debian package
# build/package/kelvo_<version>_<arch>.deb (a Release build from a copy of this tree), checked
# with lintian (no error, no warning) and appstreamcli; then the Windows zips
# (scripts/build-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

out=build/package
rm -rf "$out"
mkdir -p "$out/source"
# dpkg-buildpackage writes beside the source folder: a copy inside build/ keeps everything there.
tar --exclude-vcs --exclude='./build*' -cf - . | tar -xf - -C "$out/source"
(cd "$out/source" && dpkg-buildpackage -us -uc -b >../build.log 2>&1) ||
  { tail -n 40 "$out/build.log"; exit 1; }
rm -rf "$out/source"

appstreamcli validate --no-net assets/net.kelvo.kelvo.metainfo.xml
lintian --allow-root --fail-on error,warning --display-info "$out"/kelvo_*.changes
deb=$(ls "$out"/kelvo_*.deb)
echo "$deb: $(stat -c %s "$deb") bytes, installed $(dpkg-deb -f "$deb" Installed-Size) KiB"
dpkg-deb -f "$deb" Depends Recommends

scripts/build-windows.sh

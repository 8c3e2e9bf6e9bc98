#!/usr/bin/env bash
# Builds the xdg-desktop-portal-wlr that the Wayland tests run on the headless sway
# desktop: Debian's own source package with scripts/wayland/portal-wlr-0.7.0-shm.patch
# applied. Stock 0.7.0 refuses to share a screen on a compositor without a GPU (it
# waits for a DMA-BUF format that the pixman renderer never offers) and crashes when
# a session closes with frames in flight; the patch mends both.
#
# Once per machine: the binary is kept in the cache folder (default
# /var/cache/zentori/portal-wlr, or $ZENT_CACHE/portal-wlr) together with the patch's
# checksum, and the script does nothing while both match. Prints the binary's path.
# The Debian sources come through a private apt configuration (its own sources list,
# lists and cache under the work folder): the system's apt sources are left alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
patch=$here/portal-wlr-0.7.0-shm.patch
cache=${ZENT_CACHE:-/var/cache/zentori}/portal-wlr
binary=$cache/xdg-desktop-portal-wlr
stamp=$cache/patch.sha256
sum=$(sha256sum "$patch" | cut -d' ' -f1)

if [ -x "$binary" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$sum" ]; then
  echo "$binary"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/apt/parts" "$work/src"
# The suite's own Debian release, whatever mirror the system uses: the mirror is read
# from the system's sources, the sources line is private.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
  grep -oE 'https?://[^ ]+/debian/?( |$)' | tr -d ' ' | head -n1 || true)
[ -n "$mirror" ] || { echo "portal-wlr: no Debian mirror in the apt sources" >&2; exit 1; }
echo "deb-src $mirror bookworm main" >"$work/apt/sources.list"
apt_options=(
  -o Dir::Etc::SourceList="$work/apt/sources.list"
  -o Dir::Etc::SourceParts="$work/apt/parts"
  -o Dir::State::Lists="$work/apt/lists"
  -o Dir::Cache::Archives="$work/apt/archives"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Sandbox::User=root
)
echo "portal-wlr: fetching Debian's source package" >&2
apt-get "${apt_options[@]}" -qq update >&2
(cd "$work/src" && apt-get "${apt_options[@]}" -qq source xdg-desktop-portal-wlr=0.7.0-1 >&2)
source_dir=$(find "$work/src" -maxdepth 1 -type d -name 'xdg-desktop-portal-wlr-*' | head -n1)
[ -n "$source_dir" ] || { echo "portal-wlr: no source folder after apt-get source" >&2; exit 1; }
patch -d "$source_dir" -p1 <"$patch" >&2
echo "portal-wlr: building" >&2
meson setup "$work/build" "$source_dir" -Dsd-bus-provider=libsystemd >&2
ninja -C "$work/build" >&2
mkdir -p "$cache"
install -m 0755 "$work/build/xdg-desktop-portal-wlr" "$binary.new"
mv "$binary.new" "$binary"
echo "$sum" >"$stamp"
echo "$binary"

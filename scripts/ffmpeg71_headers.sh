#!/usr/bin/env bash
# Fetches the FFmpeg 7.1 development headers of Debian 13 (trixie) into
# build/ffmpeg-7.1/ without installing anything: a private apt configuration
# downloads the -dev packages and dpkg-deb unpacks them. Prints the include
# folder. Safe to repeat; a finished unpack is reused.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD/build/ffmpeg-7.1"
INCLUDE="$ROOT/root/usr/include/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)"
if [ -f "$ROOT/.unpacked" ]; then
    echo "$INCLUDE"
    exit 0
fi
mkdir -p "$ROOT"/{lists/partial,cache/archives/partial,debs,root}
# The same Debian mirror this machine's apt already uses, asked for trixie.
mirror=$( { { sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } | tr ' ' '\n'
             sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null || true; } \
         | grep -v -- '-security' | sed -n 1p)
[ -n "$mirror" ] || { echo "no Debian mirror found in this machine's apt sources" >&2; exit 1; }
cat > "$ROOT/sources.list" <<LIST
deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} trixie main
LIST
APT_OPTS=(-o "Dir::Etc::SourceList=$ROOT/sources.list" -o "Dir::Etc::SourceParts=-"
          -o "Dir::State::Lists=$ROOT/lists" -o "Dir::Cache=$ROOT/cache"
          -o "Dir::State::status=/dev/null" -o "Debug::NoLocking=1" -o "APT::Get::List-Cleanup=0" -o "APT::Sandbox::User=root")
apt-get "${APT_OPTS[@]}" -qq update >&2
packages=(libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev libswresample-dev)
(cd "$ROOT/debs" && apt-get "${APT_OPTS[@]}" -qq download "${packages[@]}" >&2)
for deb in "$ROOT"/debs/*.deb; do
    dpkg-deb -x "$deb" "$ROOT/root"
done
version=$(sed -n 's/#define LIBAVFORMAT_VERSION_MAJOR *//p' "$INCLUDE/libavformat/version_major.h")
[ "$version" -ge 61 ] || { echo "expected libavformat 61 or newer, got $version" >&2; exit 1; }
touch "$ROOT/.unpacked"
echo "$INCLUDE"

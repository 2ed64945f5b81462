#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -eu
# redis-server: the Celery broker the job package's tests start on a free port;
# chromium: the browser the preview page is tested in; GStreamer's HLS demuxer: a second
# player that a growing package is tested in.
packages=(pkg-config ffmpeg libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev
          libavutil-dev libswresample-dev redis-server chromium gstreamer1.0-tools
          gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing Debian packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Compiles every C++ source against Debian 13's FFmpeg 7.1 headers (syntax
# only, deprecated declarations as errors), so that a break shows before a
# machine with FFmpeg 7.1 does.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
INCLUDE=$(scripts/ffmpeg71_headers.sh)
read -r -a PYBIND11_FLAGS <<< "$("$PY" -m pybind11 --includes)"
version=$(sed -n 's/#define LIBAVFORMAT_VERSION_MAJOR *//p' "$INCLUDE/libavformat/version_major.h")
failed=0
for source in $(find src -name '*.cpp' | sort); do
    if ! g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror=deprecated-declarations \
        -I "$INCLUDE" -I src "${PYBIND11_FLAGS[@]}" "$source"; then
        failed=1
    fi
done
[ "$failed" -eq 0 ] && echo "every source compiles against libavformat $version (FFmpeg 7.1)"
exit "$failed"

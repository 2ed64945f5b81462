#!/usr/bin/env bash
# Prints the path of a working CPython 3.10 interpreter, or explains and fails.
# The python3.10 on PATH may be a pyenv shim that refuses to run, so each
# candidate is tried, not just looked up.
set -u
candidates=(python3.10 "$HOME"/.pyenv/versions/3.10.*/bin/python3.10 /usr/local/bin/python3.10 /usr/bin/python3.10)
for candidate in "${candidates[@]}"; do
    if out=$("$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 10); print(sys.executable)' 2>/dev/null); then
        echo "$out"
        exit 0
    fi
done
echo "kestrava needs CPython 3.10, and none was found (tried: python3.10 on PATH, ~/.pyenv/versions/3.10.*, /usr/local/bin, /usr/bin)." >&2
echo "Install one (for example 'pyenv install 3.10') and run make again." >&2
exit 1

#!/usr/bin/env bash
# Builds the module with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer into build-sanitize/ and runs the test suite against that build.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
BUILD=build-sanitize

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRAVA_SANITIZE=address,undefined \
    -DPython_EXECUTABLE="$PWD/$PY" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$BUILD"
cp src/binding/kestrava.pyi "$BUILD/"

# The interpreter is not instrumented, so the runtime must be loaded first;
# the tests drop LD_PRELOAD again before starting ffmpeg and other tools.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=86"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export KESTRAVA_SANITIZED=1

# LeakSanitizer's check at the interpreter's exit stops every thread with ptrace, and its
# tracer itself sometimes crashes there ("Tracer caught signal 11", "LeakSanitizer has
# encountered a fatal error") after every case has passed. Such a run is made once more;
# a leak it reports, a failed case or any other sanitizer error fails at once.
log="$BUILD/pytest.log"
for attempt in 1 2; do
    status=0
    PYTHONPATH="$PWD/$BUILD" "$PY" -m pytest -p no:cacheprovider "$@" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
    if [ "$status" -eq 0 ] || ! grep -q "LeakSanitizer has encountered a fatal error" "$log" \
            || grep -q "ERROR: LeakSanitizer: detected memory leaks" "$log"; then
        exit "$status"
    fi
    echo "sanitize.sh: LeakSanitizer's own tracer crashed at exit (attempt $attempt); running the suite again"
done
exit "$status"

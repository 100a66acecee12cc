#!/usr/bin/env bash
# CI: build the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option EXOKERN_SANITIZE=ON) into a fresh virtual environment and run the whole test
# suite against that build. Any sanitizer report fails the run, also one written by a
# subprocess that a test starts (the reports go to log files that are checked at the end).
#
# The sanitizer runtime must be the first library in the process, so it is preloaded into the
# interpreter. Leak detection stays off: CPython keeps much of its memory until exit on purpose,
# and the reference-count and memory tests of tests/test_lifetimes.py look for leaks instead.
#
# Usage: bash .ci/sanitize.sh [extra pytest arguments]
source "$(dirname "$0")/common.sh"

asan=$(g++ -print-file-name=libasan.so)
if [[ "$asan" != /* || ! -e "$asan" ]]; then
    echo "sanitize: g++ has no AddressSanitizer runtime (libasan.so)" >&2
    exit 1
fi

echo "=== sanitize: fresh virtual environment ==="
fresh_venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install -q "numpy>=2" "pytest>=7" "scipy>=1.9" "hypothesis>=6.30" \
    "scikit-build-core>=0.11" cmake ninja "tqdm>=4.60"

echo "=== sanitize: building with -fsanitize=address,undefined ==="
# No build isolation: the build uses the numpy 2 of this environment, and the build folder is
# ours (outside the clone, removed on exit).
(cd "$root" && "$py" -m pip install -q --no-build-isolation --no-deps . \
    -Cbuild-dir="$work/build" -Ccmake.define.EXOKERN_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo)
so=$("$py" -c "import exokern._quadra as m; print(m.__file__)" 2>/dev/null || true)
if [[ -n "$so" ]] && ! ldd "$so" | grep -q libasan; then
    echo "sanitize: $so is not linked against libasan; EXOKERN_SANITIZE had no effect" >&2
    exit 1
fi

echo "=== sanitize: test suite with $asan preloaded ==="
mkdir -p "$work/reports"
# detect_leaks=0: see above. allocator_may_return_null=1: an allocation numpy cannot satisfy
# raises MemoryError, as without the sanitizer. The Python allocator's own small-object pools
# are bypassed (PYTHONMALLOC=malloc) so that the sanitizer sees every object allocation.
# halt_on_error / -fno-sanitize-recover: the first report ends the process.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:strict_init_order=1:\
check_initialization_order=1:detect_stack_use_after_return=1:halt_on_error=1:abort_on_error=0:\
log_path=$work/reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$work/reports/ubsan"
export PYTHONMALLOC=malloc
status=0
(cd "$root" && LD_PRELOAD="$asan" "$py" -m pytest -q -p no:cacheprovider "$@") || status=$?
unset LD_PRELOAD

reports=$(find "$work/reports" -type f | sort)
if [[ -n "$reports" ]]; then
    for f in $reports; do
        echo "=== sanitizer report $(basename "$f") ==="
        cat "$f"
    done
    status=1
fi
echo "=== sanitize: $((SECONDS - start)) s, exit status $status ==="
exit "$status"

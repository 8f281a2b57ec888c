#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (option
# VESTRIM_SANITIZE) into its own build directory and runs the whole test suite against it, with the
# ASan runtime preloaded into the Python process.
#
#   tools/sanitize.sh [BUILD_DIR] [pytest args...]      (BUILD_DIR defaults to build/sanitize)
#
# - PYTHONMALLOC=malloc routes every Python object through malloc, so ASan also sees overruns of
#   objects the extension creates or reads (pymalloc's arenas would hide them).
# - libstdc++ is preloaded beside libasan so ASan's C++ exception interceptors resolve at start-up
#   (the interpreter itself is not linked against libstdc++).
# - allocator_may_return_null=1 keeps the release behaviour for absurd sizes (bad_alloc, raised as
#   MemoryError) instead of an ASan abort; the hostile-input tests rely on it.
# - The interpreter never frees everything at exit, so ASan's own leak report is noise by default.
#   Leaks are checked instead by tests/test_leaks.py (reference counts, tracemalloc, resident size).
#   With VESTRIM_LSAN=1 the leak checker runs too, and only leaks whose allocation stack passes
#   through the extension are reported (tools/lsan_filter.py); this run is slower.
# - Hypothesis runs with the "sanitize" profile of tests/conftest.py (no deadlines, fewer examples
#   where a test does not fix its own count).
# Exits non-zero on any test failure or sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/sanitize}
shift || true
cd "$root"

CXX=${CXX:-g++}
# Configured here on every run (cheap when nothing changed), so an existing directory gets the
# sanitizer flags too. float-cast-overflow is not part of GCC's -fsanitize=undefined.
mkdir -p "$build"
build=$(cd "$build" && pwd)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTRIM_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
"$root/tools/devbuild.sh" "$build" >/dev/null

asan=$("$CXX" -print-file-name=libasan.so)
stdcxx=$("$CXX" -print-file-name=libstdc++.so)
for lib in "$asan" "$stdcxx"; do
  [ -e "$lib" ] || { echo "sanitize: runtime library not found: $lib" >&2; exit 2; }
done

logs=$(mktemp -d)
leaks=${VESTRIM_LSAN:-0}
asan_options="detect_leaks=$leaks:allocator_may_return_null=1:abort_on_error=1:detect_stack_use_after_return=0"
asan_options+=":strict_init_order=1:check_initialization_order=1"
if [ "$leaks" = 1 ]; then
  asan_options+=":log_path=$logs/asan:exitcode=0"
fi

run_suite() {
  env LD_PRELOAD="$asan $stdcxx" \
      PYTHONMALLOC=malloc \
      ASAN_OPTIONS="$asan_options" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      PYTHONPATH="$build/pkg" \
      PYTHONDONTWRITEBYTECODE=1 \
      python3 -m pytest -q -p no:cacheprovider --hypothesis-profile=sanitize "$@"
}

start=$(date +%s)
status=0
run_suite "$@" || status=$?
# The leak checker's own tracer occasionally crashes while it suspends the threads of the exiting
# interpreter ("Tracer caught signal 11", "LeakSanitizer has encountered a fatal error"); that
# reports nothing about the extension, so the run is repeated once rather than reported.
if [ "$leaks" = 1 ] && [ "$status" != 0 ] && grep -qs "LeakSanitizer has encountered a fatal error" "$logs"/asan*; then
  echo "sanitize: the leak checker's tracer failed at exit; running the suite once more" >&2
  rm -f "$logs"/asan*
  status=0
  run_suite "$@" || status=$?
fi

if [ "$leaks" = 1 ]; then
  shopt -s nullglob
  reports=("$logs"/asan*)
  python3 "$root/tools/lsan_filter.py" "${reports[@]}" || status=1
fi
echo "sanitize: pytest exit status $status, $(( $(date +%s) - start )) s under ASan+UBSan"
exit "$status"

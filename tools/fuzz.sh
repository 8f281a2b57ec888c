#!/usr/bin/env bash
# Bounded coverage-guided fuzzing of the untrusted-input paths (atheris), then a replay of every
# input found under AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60 s; targets: see fuzz/targets.py)
#
# Phase 1 fuzzes each target against a release build (build/fuzz/release): atheris gets its
# coverage from the Python harness and oracle, which mirror the native code paths (the native code
# is built with g++, which has no libFuzzer instrumentation). Phase 2 replays the whole corpus of
# each target against the ASan+UBSan build (build/sanitize, shared with tools/sanitize.sh), so
# every input that reached a new path is also checked for memory errors and undefined behaviour.
# Corpora grow in build/fuzz/corpus/TARGET (seeded from fuzz/seeds/TARGET); crashing inputs are
# written to build/fuzz/artifacts/. Turn every crash into a regression test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(counts masks boxes similarity mot_text kitti_text mots_text)
cd "$root"

python3 -c "import atheris" 2>/dev/null || python3 -m pip install --quiet atheris
python3 -c "import numpy" 2>/dev/null || python3 -m pip install --quiet numpy

"$root/tools/devbuild.sh" "$root/build/fuzz/release" >/dev/null
# The sanitizer build exactly as tools/sanitize.sh configures it.
cmake -S "$root" -B "$root/build/sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESTRIM_SANITIZE=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=float-cast-overflow" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
"$root/tools/devbuild.sh" "$root/build/sanitize" >/dev/null
asan_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"

status=0
summary=()
for target in "${targets[@]}"; do
  corpus="$root/build/fuzz/corpus/$target"
  artifacts="$root/build/fuzz/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  cp -n "$root/fuzz/seeds/$target"/* "$corpus"/ 2>/dev/null || true
  log="$root/build/fuzz/$target.log"

  set +e
  PYTHONPATH="$root/build/fuzz/release/pkg" python3 "$root/fuzz/targets.py" "$target" \
      -max_total_time="$seconds" -max_len=512 -artifact_prefix="$artifacts" -print_final_stats=1 \
      "$corpus" >"$log" 2>&1
  fuzz_status=$?
  env LD_PRELOAD="$asan_preload" PYTHONMALLOC=malloc \
      ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
      PYTHONPATH="$root/build/sanitize/pkg" python3 "$root/fuzz/targets.py" "$target" \
      -runs=0 -artifact_prefix="$artifacts" "$corpus" >"$log.replay" 2>&1
  replay_status=$?
  set -e

  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  replayed=$(ls "$corpus" | wc -l)
  summary+=("$(printf '%-11s %9s runs in %ss, corpus %s inputs, fuzz exit %s, ASan replay exit %s' \
    "$target" "${runs:-?}" "$seconds" "$replayed" "$fuzz_status" "$replay_status")")
  if [ "$fuzz_status" -ne 0 ] || [ "$replay_status" -ne 0 ]; then
    status=1
    echo "fuzz: $target failed; see $log and $log.replay" >&2
  fi
done
printf '%s\n' "${summary[@]}"
exit "$status"

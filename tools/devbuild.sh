#!/usr/bin/env bash
# Fast development build without pip: configures and builds into a build directory and lays out an
# importable package there.  Usage: tools/devbuild.sh [BUILD_DIR] [extra cmake args...]
# Then: PYTHONPATH=BUILD_DIR/pkg python -m pytest tests/...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
shift || true
mkdir -p "$build"
build=$(cd "$build" && pwd)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
fi
cmake --build "$build" -j2
pkg="$build/pkg/vestrim"
mkdir -p "$pkg"
# Every file and subpackage of the Python package, linked so that edits show without a rebuild.
for f in "$root"/src/vestrim/*; do
  case "$(basename "$f")" in __pycache__) continue ;; esac
  ln -sfn "$f" "$pkg/"
done
for so in "$build"/_vestrim*.so "$build"/_core_testing*.so "$build"/_native*.so; do
  [ -e "$so" ] && ln -sf "$so" "$pkg/"
done
echo "built: PYTHONPATH=$build/pkg"

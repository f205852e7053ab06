#!/usr/bin/env bash
# Cross-compiles the core library and its GoogleTest suite with zig (PyPI's
# ziglang, run by the Python in $PY) for one target, and runs the suite where
# this machine can: a Windows build under wine.
#
#   scripts/cross-build.sh TARGET       TARGET: x86_64-macos, aarch64-macos, x86_64-windows-gnu
set -euo pipefail
target=$1
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PY:-python3}
build=$root/build/cross/$target
mkdir -p "$build/bin"
case $target in
  *-macos) system=Darwin ;;
  *-windows-*) system=Windows ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
# zig takes the target as its own flag: one wrapper per tool.
for tool in cc c++ ar ranlib; do
  flags=
  [ "$tool" = cc ] || [ "$tool" = c++ ] && flags="-target $target"
  printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$py" "$tool" "$flags" > "$build/bin/$tool"
  chmod +x "$build/bin/$tool"
done
"$root/.venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DCMAKE_SYSTEM_NAME=$system -DCMAKE_SYSTEM_PROCESSOR="${target%%-*}" \
  -DCMAKE_C_COMPILER="$build/bin/cc" -DCMAKE_CXX_COMPILER="$build/bin/c++" \
  -DCMAKE_AR="$build/bin/ar" -DCMAKE_RANLIB="$build/bin/ranlib" \
  -DMURVEX_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" >/dev/null
"$root/.venv/bin/cmake" --build "$build" --target murvex_core_tests
if [ $system = Windows ]; then
  # wine's first start makes its prefix; its chatter on stderr is not ours.
  WINEDEBUG=-all WINEPREFIX="$root/build/cross/wine" wine "$build/core/murvex_core_tests.exe" --gtest_brief=1
else
  echo "$target: built $(file -b "$build/core/murvex_core_tests" | cut -d, -f1); it runs on that system only"
fi

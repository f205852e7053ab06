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
flags=()
case $target in
  # zig's headers for macOS give float.h once: whichever part of it is asked
  # for first (math.h asks for INFINITY alone) is all there is. Both parts
  # first, then.
  # The extension modules are built against this machine's CPython headers
  # and left to find the interpreter's symbols when loaded: a check that they
  # compile and link for macOS.
  *-macos)
    system=Darwin
    flags=(-DCMAKE_CXX_FLAGS="-include float.h -include __float_infinity_nan.h"
           -DCMAKE_USER_MAKE_RULES_OVERRIDE="$root/cmake/zig-macos-rules.cmake"
           -DMURVEX_BUILD_PYTHON=ON -DPython_INCLUDE_DIR="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')")
    targets=(murvex_core_tests murvex _native) ;;
  *-windows-*) system=Windows; targets=(murvex_core_tests) ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
# zig takes the target as its own flag: one wrapper per tool.
for tool in cc c++ ar ranlib; do
  own=
  [ "$tool" = cc ] || [ "$tool" = c++ ] && own="-target $target"
  printf '#!/bin/sh\nexec "%s" -m ziglang %s %s "$@"\n' "$py" "$tool" "$own" > "$build/bin/$tool"
  chmod +x "$build/bin/$tool"
done
"$root/.venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
  -DCMAKE_SYSTEM_NAME=$system -DCMAKE_SYSTEM_PROCESSOR="${target%%-*}" \
  -DCMAKE_C_COMPILER="$build/bin/cc" -DCMAKE_CXX_COMPILER="$build/bin/c++" \
  -DCMAKE_AR="$build/bin/ar" -DCMAKE_RANLIB="$build/bin/ranlib" \
  -DCMAKE_INSTALL_NAME_TOOL="$(command -v true)" \
  -DMURVEX_BUILD_TESTS=ON -DPython_EXECUTABLE="$py" "${flags[@]}" >/dev/null
"$root/.venv/bin/cmake" --build "$build" --target "${targets[@]}"
if [ $system = Windows ]; then
  # wine's first start makes its prefix; its chatter on stderr is not ours.
  # The prefix lies outside the tree: its drive z: links to /, which a walk
  # of the tree (making the sdist, say) would follow.
  prefix=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/murvex/wine}
  mkdir -p "$(dirname "$prefix")"
  WINEDEBUG=-all WINEPREFIX="$prefix" wine "$build/core/murvex_core_tests.exe" --gtest_brief=1
else
  for built in "$build"/core/murvex_core_tests "$build"/src/murvex*.so "$build"/companion/_native*.so; do
    echo "$target: built ${built#"$build"/}, $(file -b "$built" | cut -d, -f1); it runs on that system only"
  done
fi

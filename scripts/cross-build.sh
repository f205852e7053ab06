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
include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')  # this CPython's headers
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
           -DMURVEX_BUILD_PYTHON=ON -DPython_INCLUDE_DIR="$include")
    targets=(murvex_core_tests murvex _native) ;;
  # For Windows the headers get a pyconfig.h of that system's, and the
  # interpreter's DLL an import library naming what this machine's libpython
  # exports: a check that the modules compile and link for Windows.
  *-windows-*)
    system=Windows
    python_dir=$build/python
    read -r libdir library version < <("$py" -c 'import sysconfig as s; print(*(s.get_config_var(n) for n in ("LIBDIR", "LDLIBRARY", "py_version_nodot")))')
    rm -rf "$python_dir" && mkdir -p "$python_dir"
    cp -r "$include" "$python_dir/include"
    cp "$root/scripts/cross/windows-pyconfig.h" "$python_dir/include/pyconfig.h"
    { echo "LIBRARY python$version.dll"; echo EXPORTS
      nm -D --defined-only "$libdir/$library" | awk '$3 ~ /^_?Py/ {print $3}'; } > "$python_dir/python$version.def"
    "$py" -m ziglang dlltool -m i386:x86-64 -d "$python_dir/python$version.def" -l "$python_dir/python$version.lib"
    flags=(-DMURVEX_BUILD_PYTHON=ON -DPython_INCLUDE_DIR="$python_dir/include"
           -DPython_LIBRARY="$python_dir/python$version.lib" -DPython_SOABI="cp$version-win_amd64")
    targets=(murvex_core_tests murvex _native) ;;
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
fi
shopt -s nullglob
for built in "$build"/core/murvex_core_tests "$build"/core/murvex_core_tests.exe "$build"/src/murvex*.{so,pyd} "$build"/companion/_native*.{so,pyd}; do
  if [ -f "$built" ]; then echo "$target: built ${built#"$build"/}, $(file -b "$built" | cut -d, -f1)"; fi
done

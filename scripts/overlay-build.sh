#!/usr/bin/env bash
# Prints a PYTHONPATH under which `import murvex` and `import murvex_tools`
# load the extension modules of the CMake build BUILD (a sanitized one)
# beside this clone's murvex_tools Python files.
#   overlay-build.sh BUILD
set -eu
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
overlay=$build/python
rm -rf "$overlay"
mkdir -p "$overlay/murvex_tools"
for file in "$top"/python/murvex_tools/*; do ln -s "$file" "$overlay/murvex_tools/"; done
ln -s "$build"/companion/_native.*.so "$overlay/murvex_tools/"
echo "$overlay:$build/src"

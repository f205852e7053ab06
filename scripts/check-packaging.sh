#!/usr/bin/env bash
# Builds a wheel and an sdist the way users and packagers do, installs each
# into a fresh venv and runs a smoke test there.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(scripts/find-python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

smoke() {
    "$1/bin/python" - <<'PY'
import importlib.metadata, pathlib, sysconfig
import murvex
engine = murvex.Murvex()
assert engine.add([{"id": 7, "t": "packaged fuzzy search"}]) == 1
assert [r.id for r in engine.search("fuzy search")] == [7]
version = importlib.metadata.version("murvex")
stubs = pathlib.Path(sysconfig.get_paths()["purelib"], "murvex-stubs", "__init__.pyi")
assert stubs.is_file(), stubs
print(f"murvex {version} works; stubs at {stubs}")
PY
}

echo "== wheel"
"$python" -m venv "$work/build-env"
"$work/build-env/bin/pip" install -q --disable-pip-version-check build
"$work/build-env/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/dist" .
"$python" -m venv "$work/wheel-env"
"$work/wheel-env/bin/pip" install -q --disable-pip-version-check "$work"/dist/murvex-*.whl
smoke "$work/wheel-env"

echo "== sdist"
"$work/build-env/bin/python" -m build -q --sdist -o "$work/dist" . >/dev/null
"$python" -m venv "$work/sdist-env"
"$work/sdist-env/bin/pip" install -q --disable-pip-version-check "$work"/dist/murvex-*.tar.gz
smoke "$work/sdist-env"

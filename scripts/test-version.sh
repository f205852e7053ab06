#!/usr/bin/env bash
# The Python tests on another CPython (3.10, 3.11, 3.12): both extension
# modules built for it under build/py$VERSION, and pytest run in
# .venv-$VERSION over all but the tests marked `installed` (those need the
# package installed with its type checkers; they run in make test).
#   test-version.sh VERSION
set -euo pipefail
version=$1
top=$(cd "$(dirname "$0")/.." && pwd)
python=
if command -v pyenv >/dev/null; then
    for dir in "$(pyenv root)"/versions/"$version".*; do
        if [ -x "$dir/bin/python$version" ]; then python=$dir/bin/python$version; fi
    done
fi
# else one on the PATH that runs (a pyenv shim may not)
if [ -z "$python" ] && candidate=$(command -v "python$version") && "$candidate" -c "" 2>/dev/null; then
    python=$candidate
fi
if [ -z "$python" ]; then
    echo "CPython $version is not here (pyenv install $version)" >&2
    exit 1
fi
venv=$top/.venv-$version
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# The test extra, but for the type checkers (they check what make test installs).
mapfile -t needs < <("$top/.venv/bin/python" - "$top/pyproject.toml" <<'PY'
import sys, tomllib
extra = tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]["test"]
print("\n".join(n for n in extra if not n.startswith(("mypy", "pyright"))))
PY
)
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${needs[@]}"
build=$top/build/py$version
"$top/.venv/bin/cmake" -S "$top" -B "$build" -G Ninja -DMURVEX_BUILD_PYTHON=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python" -DCMAKE_MAKE_PROGRAM="$top/.venv/bin/ninja" >/dev/null
"$top/.venv/bin/cmake" --build "$build"
cd "$top"
PYTHONPATH=$("$top/scripts/overlay-build.sh" "$build") "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    -m "not installed" tests

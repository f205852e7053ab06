#!/usr/bin/env bash
# Prints the path of a working CPython 3.13 (one that can create a venv).
# PYTHON=... overrides the search; it must then be a working 3.13 itself.
set -u

works() {
    "$1" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

if [ -n "${PYTHON:-}" ]; then
    if works "$PYTHON"; then echo "$PYTHON"; exit 0; fi
    echo "PYTHON=$PYTHON is not a working Python 3.13 with venv" >&2
    exit 1
fi

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
# The pyenv shim named python3.13 fails while pyenv's global version is
# another one, so the versions' own binaries come first.
candidates=$(ls -d "$pyenv_root"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV)
for candidate in $candidates /usr/local/bin/python3.13 /usr/bin/python3.13 python3.13 python3; do
    path=$(command -v "$candidate" 2>/dev/null) || continue
    if works "$path"; then echo "$path"; exit 0; fi
done

echo "no working Python 3.13 found; install one or set PYTHON=/path/to/python3.13" >&2
exit 1

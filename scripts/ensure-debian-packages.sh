#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
#   ensure-debian-packages.sh PYTHON [PACKAGE...]
# The headers of PYTHON when it is a system interpreter without them (PYTHON
# may be empty), then every PACKAGE not yet installed.
set -eu

python=${1:-}
shift || true
missing=()
if [ -n "$python" ] && ! "$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    missing+=(python3.13-dev)
fi
for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
fi
echo "installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Builds the repaired wheel and the sdist the way a release does, installs
# each into a fresh venv and runs a smoke test there; checks that the wheel
# needs nothing outside its manylinux policy, and prints its tag.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(scripts/find-python.sh)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

smoke() {
    "$1/bin/python" - <<'PY'
import importlib.metadata, pathlib, sysconfig
import murvex, murvex_tools
engine = murvex.Murvex()
assert engine.add([{"id": 7, "t": "packaged fuzzy search"}]) == 1
assert [r.id for r in engine.search("fuzy search")] == [7]
index = murvex_tools.ShardedMurvex()
index.add({"t": "sharded"})
assert [r.id for r in index.search("sharded")] == [0]
version = importlib.metadata.version("murvex")
purelib = pathlib.Path(sysconfig.get_paths()["purelib"])
assert (purelib / "murvex-stubs" / "__init__.pyi").is_file()
assert (purelib / "murvex_tools" / "py.typed").is_file()
assert all((purelib / "murvex_tools" / "page" / name).is_file() for name in ("index.html", "page.js", "page.css"))
print(f"murvex {version} works; stubs and typed tools in {purelib}")
PY
    test "$("$1/bin/murvex" --version)" = "murvex $("$1/bin/python" -c 'import importlib.metadata as m; print(m.version("murvex"))')"
    printf 'Ada Lovelace\nAlan Turing\n' | "$1/bin/murvex" search --json - "alan turnig" > "$work/hits.json"
    grep -q '"Alan Turing"' "$work/hits.json"
}

echo "== wheel"
scripts/build-wheel.sh "$work/wheelhouse" > "$work/show.txt"
wheel=$(ls "$work"/wheelhouse/murvex-*.whl)
tag=$(basename "$wheel" .whl | cut -d- -f5)
# auditwheel show must find the wheel consistent with a tag it carries
# (nothing it links to lies outside that manylinux policy), and one of its
# tags must be glibc 2.28's.
consistent=$(tr -s ' \n' ' ' < "$work/show.txt" | grep -o 'consistent with the following platform tag: "[^"]*"' | cut -d'"' -f2)
case ".$tag." in *".$consistent."*) ;; *)
  cat "$work/show.txt"; echo "the wheel is not consistent with its tags $tag" >&2; exit 1 ;; esac
case ".$tag." in *.manylinux_2_28_*) ;; *) echo "the wheel is tagged $tag, without manylinux_2_28" >&2; exit 1 ;; esac
"$python" -m venv "$work/wheel-env"
"$work/wheel-env/bin/pip" install -q --disable-pip-version-check "$wheel"
smoke "$work/wheel-env"
echo "wheel: $(basename "$wheel") (platform tag $tag)"

echo "== sdist"
"$python" -m venv "$work/build-env"
"$work/build-env/bin/pip" install -q --disable-pip-version-check build
"$work/build-env/bin/python" -m build -q --sdist -o "$work/dist" . >/dev/null
tar -tzf "$work"/dist/murvex-*.tar.gz > "$work/sdist.txt"
grep -q 'docs/benchmarks.png' "$work/sdist.txt" || { echo "the sdist lacks docs/benchmarks.png" >&2; exit 1; }
"$python" -m venv "$work/sdist-env"
"$work/sdist-env/bin/pip" install -q --disable-pip-version-check "$work"/dist/murvex-*.tar.gz
smoke "$work/sdist-env"

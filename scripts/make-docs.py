"""Writes the man page and the bash and zsh completions of the murvex command, made from its parser.

    python scripts/make-docs.py [--check]

They are committed (docs/murvex.1, completions/) and installed with the wheel;
--check fails when they differ from what the parser makes now.
"""

from __future__ import annotations

import argparse
import sys
from datetime import date
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def groff(text: str) -> str:
    return text.replace("\\", "\\e").replace("-", "\\-").replace("\n.", "\n\\&.").replace("'", "\\(aq")


def options_of(parser: argparse.ArgumentParser) -> list[str]:
    lines = []
    for action in parser._actions:  # the parser's own record of its options
        if isinstance(action, argparse._SubParsersAction) or action.help == argparse.SUPPRESS:
            continue
        if action.option_strings:
            metavar = "" if action.nargs == 0 else " " + (action.metavar or action.dest.upper())
            name = ", ".join(f"\\fB{groff(o)}\\fR" for o in action.option_strings) + groff(metavar)
        else:
            name = f"\\fI{groff(action.metavar or action.dest)}\\fR"
        lines += [".TP", name, groff(action.help or "")]
    return lines


def man_page(version: str) -> str:
    from murvex_tools.cli import EXAMPLES, build_parser

    top, commands = build_parser()
    lines = [
        f'.TH MURVEX 1 "{date.today():%B %Y}" "murvex {version}" "User Commands"',
        ".SH NAME",
        "murvex \\- typo\\-tolerant search over your own files",
        ".SH SYNOPSIS",
        *[
            f".B murvex {name}\n{groff(' '.join(sub.format_usage().split()[3:]))}\n.br"
            for name, sub in commands.items()
        ],
        ".SH DESCRIPTION",
        groff(top.description or ""),
    ]
    for name, sub in commands.items():
        lines += [f".SH {name.upper()}", groff(sub.description or ""), *options_of(sub)]
    lines += [".SH EXAMPLES", ".nf", groff(EXAMPLES.split("exit status:")[0].replace("examples:\n", "")), ".fi"]
    lines += [".SH EXIT STATUS", groff("exit status:" + EXAMPLES.split("exit status:")[1])]
    lines += [".SH SEE ALSO", "grep(1), ugrep(1)"]
    return "\n".join(lines) + "\n"


def completions() -> dict[str, str]:
    import shtab

    from murvex_tools.cli import parser

    return {shell: shtab.complete(parser(), shell=shell) for shell in ("bash", "zsh")}


def main() -> int:
    from importlib.metadata import version

    check = "--check" in sys.argv
    wanted = {ROOT / "docs" / "murvex.1": man_page(version("murvex"))}
    made = completions()
    wanted[ROOT / "completions" / "murvex.bash"] = made["bash"]
    wanted[ROOT / "completions" / "_murvex"] = made["zsh"]
    stale = []
    for path, text in wanted.items():
        old = path.read_text(encoding="utf-8") if path.exists() else None
        if path.suffix == ".1" and old is not None:  # the date line may differ
            old, text = old.split("\n", 1)[1], text.split("\n", 1)[1]
        if old != text:
            stale.append(path)
            if not check:
                path.parent.mkdir(exist_ok=True)
                path.write_text(wanted[path], encoding="utf-8")
    if check and stale:
        print("made from an older parser:", *map(str, stale), "(run python scripts/make-docs.py)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks that a manual page mentions every switch and every exit status its program has.

What the program has is read from the program, not from a list kept here, so a switch or a
status added later without a word in the page fails this check: the command-line options
from the string literals of its argument parser, the environment variables from the names in
the executable itself, and the exit statuses from its kExit... constants (a kExit...Base
constant adds itself to each signal whose handler the given file installs).

Usage: page-covers-program.py --page <roff page> --program <executable> --options <source>
                              --statuses <source> [--signals <source>]
"""

import argparse
import re
import signal
import sys
from pathlib import Path


def page_text(page):
    """The page's words without roff's font changes and escapes."""
    text = Path(page).read_text(encoding="utf-8")
    text = re.sub(r"\\f[BIRP]", "", text)
    return text.replace("\\(aq", "'").replace("\\-", "-").replace("\\\\", "\\")


def section(text, title):
    match = re.search(r'^\.SH "?' + title + r'"?\n(.*?)(?=^\.SH |\Z)', text, re.M | re.S)
    return match.group(1) if match else ""


def program_switches(args):
    options = set(re.findall(r'L?"(--?[a-z][a-z-]*|--)"', Path(args.options).read_text()))
    binary = Path(args.program).read_bytes()
    variables = {name.decode() for name in re.findall(rb"(?:VELTRANE|XDG)_[A-Z0-9_]*[A-Z0-9]",
                                                      binary)}
    return options, variables


def program_statuses(args):
    statuses = set()
    for name, value in re.findall(r"constexpr int (kExit\w*) = (\d+);",
                                  Path(args.statuses).read_text()):
        if not name.endswith("Base"):
            statuses.add(int(value))
            continue
        handled = re.findall(r"sigaction\((SIG[A-Z]+)", Path(args.signals).read_text())
        statuses.update(int(value) + signal.Signals[s] for s in handled)
    return statuses


def main():
    parser = argparse.ArgumentParser()
    for name in ("--page", "--program", "--options", "--statuses"):
        parser.add_argument(name, required=True)
    parser.add_argument("--signals")
    args = parser.parse_args()

    options, variables = program_switches(args)
    statuses = program_statuses(args)
    if not options or not variables or not statuses:
        sys.exit(f"nothing read from the program: options {options}, environment "
                 f"{variables}, statuses {statuses}")
    text = page_text(args.page)
    exit_section = section(text, "EXIT STATUS")
    missing = [f"option {o}" for o in sorted(options)
               if not re.search(r"(?<![\w-])" + re.escape(o) + r"(?![\w-])", text)]
    missing += [f"environment variable {v}" for v in sorted(variables)
                if not re.search(r"(?<!\w)" + v + r"(?!\w)", text)]
    # Each status is a term of the section's list: a line of its own, alone or among others.
    missing += [f"exit status {s}" for s in sorted(statuses)
                if not re.search(r"^[\d, ]*(?<!\d)" + str(s) + r"(?!\d)[\d, ]*$", exit_section,
                                 re.M)]
    for what in missing:
        print(f"{args.page} does not mention the {what}")
    print(f"{args.page}: {len(options)} options, {len(variables)} environment variables, "
          f"{len(statuses)} exit statuses checked")
    sys.exit(1 if missing else 0)


if __name__ == "__main__":
    main()

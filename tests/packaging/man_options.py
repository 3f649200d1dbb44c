#!/usr/bin/env python3
"""The options a program's --help lists and those its man page describes are the same.

usage: man_options.py PROGRAM MAN_PAGE

Every option entry of the help (an indented line starting with '-', up to the two
spaces before its description, such as "--listen ADDR:PORT,proxy") must be a tag of the
man page's OPTIONS section as groff renders it ("--help, -h" holds two), and every
option the man page's tags name must appear in the help. Exits 77 without groff.
"""
import re
import shutil
import subprocess
import sys


def help_entries(program):
    text = subprocess.run([program, "--help"], check=True, capture_output=True,
                          text=True).stdout
    entries = set()
    for line in text.splitlines():
        match = re.match(r"^ +(-\S+(?: \S+)*?)(?: {2,}|$)", line)
        if match:
            entries.update(part.strip() for part in match.group(1).split(", "))
    return text, entries


def man_tags(page):
    # ASCII, so that \- is a plain hyphen; wide, so that no tag is broken.
    text = subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=250n", page],
                          check=True, capture_output=True, text=True).stdout
    tags = set()
    inside = False
    for line in text.splitlines():
        if re.match(r"^[A-Z]", line):
            inside = line.strip() == "OPTIONS"
            continue
        # A tag is indented as the section's paragraphs are; its description further.
        match = re.match(r"^ {7}(-\S.*)$", line)
        if inside and match:
            tags.update(part.strip() for part in match.group(1).split(", "))
    return tags


def main():
    if shutil.which("groff") is None:
        print("SKIP: groff is not installed (Debian package groff-base)")
        return 77
    program, page = sys.argv[1], sys.argv[2]
    help_text, entries = help_entries(program)
    tags = man_tags(page)
    problems = []
    if not entries or not tags:
        problems.append(f"nothing found: help {sorted(entries)}, man page {sorted(tags)}")
    for entry in sorted(entries - tags):
        problems.append(f"--help lists '{entry}', which {page} does not describe")
    for tag in sorted(tags):
        name = re.match(r"-[-a-z0-9]+:?", tag).group(0)
        if not re.search(r"(?<![\w-])" + re.escape(name), help_text):
            problems.append(f"{page} describes '{tag}', which --help does not list")
    for problem in problems:
        print("FAIL: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

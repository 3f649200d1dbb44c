#!/usr/bin/env python3
"""Checks that the rooms of the source tree depend on each other one way only.

Each room has a floor; a room's code may include its own headers and those of rooms on
lower floors, never those of a room on its own floor or above. The console engine's
headers are the console room's own: the rooms above reach the console through
console/WinCon.h and console/ConsoleFlow.h alone. The build's libraries must link in the same direction.

Usage: check_layers.py [SOURCE_DIR]; prints every violation and exits 1 when there is one.
"""

import pathlib
import re
import sys

# Lowest first. brisel.cpp is the session program's entry; service/ is zavd.
FLOORS = [
    ["base"],
    ["win32"],
    ["infra", "console", "monitor"],
    ["platform"],
    ["screen", "input", "transport"],
    ["session"],
    ["entry", "service"],
]
FLOOR = {room: level for level, rooms in enumerate(FLOORS) for room in rooms}
LIBRARY = {f"zav_{room}": room for room in FLOOR if room != "entry"}
# Rooms with a second library: the transport's layer that needs no console (zavd's).
LIBRARY["zav_transport_core"] = "transport"
CONSOLE_FACE = ("console/WinCon.h", "console/ConsoleFlow.h")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
LINK = re.compile(r"target_link_libraries\(\s*(\S+)([^)]*)\)", re.DOTALL)


def room_of(relative: str) -> str | None:
    if relative == "brisel.cpp":
        return "entry"
    top = relative.split("/", 1)[0]
    return top if top in FLOOR and "/" in relative else None


def check_includes(root: pathlib.Path) -> list[str]:
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        room = room_of(relative)
        if room is None:
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            other = room_of(target)
            if other is None or other == room:
                continue
            if FLOOR[other] >= FLOOR[room]:
                problems.append(f"{relative} includes {target}: {room} may not use {other}")
            elif other == "console" and target not in CONSOLE_FACE:
                problems.append(f"{relative} includes {target}: the console engine is "
                                f"reached through {' and '.join(CONSOLE_FACE)} only")
    return problems


def check_libraries(root: pathlib.Path) -> list[str]:
    problems = []
    for lists in sorted(root.glob("*/CMakeLists.txt")):
        room = lists.parent.name
        if room not in FLOOR:
            continue
        for target, rest in LINK.findall(lists.read_text(encoding="utf-8")):
            owner = LIBRARY.get(target)
            if owner is None:
                continue
            for word in re.findall(r"zav_\w+", rest):
                other = LIBRARY.get(word)
                if other is not None and other != owner and FLOOR[other] >= FLOOR[owner]:
                    problems.append(f"{lists.relative_to(root)}: {target} links {word}: "
                                    f"{owner} may not use {other}")
    return problems


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = check_includes(root) + check_libraries(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} dependencies point the wrong way")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

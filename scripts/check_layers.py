#!/usr/bin/env python3
"""Checks that the rooms of the source tree depend on each other one way only, and that
the code above the seam speaks its dialect.

Dependencies: each room has a floor; a room's code may include its own headers and those
of rooms on lower floors, never those of a room on its own floor or above. The console
engine's headers are the console room's own: the rooms above reach the console through
console/WinCon.h and console/ConsoleFlow.h alone. The build's libraries must link in the
same direction, and none is linked whole: the seam's hooks for rooms above it (the console's terminal, the
privilege broker) are set by explicit calls from the rooms named in HOOKS, never by a
static initializer, which only a whole-archive link would keep.

Dialect: the rooms above the seam use the seam's Windows-shaped names and include no
POSIX system header (POSIX_HEADER), except the files named in POSIX_ABOVE_THE_SEAM.

Usage: check_layers.py [--dependencies | --dialect] [SOURCE_DIR]; prints every violation
and exits 1 when there is one. Without an option both checks run.
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
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s+<([^>]+)>", re.MULTILINE)

# The seam's hooks for the rooms above it, and the one room that may set each.
HOOKS = {
    "ConsoleTerminal::SetProvider": "console",
    "PrivilegeBroker::Select": "monitor",
}

# The rooms above the seam, whose dialect is the seam's Windows-shaped names.
ABOVE_THE_SEAM = {"entry", "session", "screen", "input", "transport", "platform", "console",
                  "infra"}
# Files above the seam that are plain POSIX C++ (docs/design.md, "House rules").
POSIX_ABOVE_THE_SEAM = {
    # the console engine below its faces (console/WinCon.*, console/ConsoleFlow.*)
    "console/ConsoleBuffer.cpp", "console/ConsoleBuffer.h", "console/ConsoleEmulator.cpp",
    "console/ConsoleEmulator.h", "console/ConsoleHost.cpp", "console/ConsoleHost.h",
    "console/ConsolePen.cpp", "console/ConsolePen.h", "console/ConsolePty.cpp",
    "console/ConsolePty.h", "console/KeyEncoder.cpp", "console/KeyEncoder.h",
    "console/OutputGuard.cpp", "console/OutputGuard.h", "console/OutputScanner.cpp",
    "console/OutputScanner.h", "console/ScrollBound.cpp", "console/ScrollBound.h",
    "console/ScrollGuard.cpp", "console/ScrollGuard.h",
    # transport: the libssh layer, the hand-off's socket I/O (shared with the service),
    # the client's socket, the relay between two sessions' workers
    "transport/SshServer.cpp", "transport/SshServer.h", "transport/HandOffIo.cpp",
    "transport/HandOffIo.h", "transport/ZSocket.cpp", "transport/RelayWire.cpp",
    "transport/RelayWire.h", "transport/RelayLink.cpp", "transport/RelayLink.h",
    # session: the settings check, run alone as `brisel --check-config`, which reads the
    # files as the session would open them (through ZSafePath) and says what is wrong
    "session/ZConfigCheck.cpp",
    # infra: opening files others must not see or forge
    "infra/ZSafePath.cpp", "infra/ZSafePath.h",
}
POSIX_HEADER = re.compile(
    r"^(?:(?:sys|arpa|netinet|net|linux|security)/.+"
    r"|(?:unistd|fcntl|poll|signal|termios|pthread|dirent|pwd|grp|spawn|dlfcn|sched"
    r"|semaphore|syslog|utmp|utmpx|netdb|strings|libgen|mqueue|glob|wordexp|fnmatch"
    r"|ifaddrs|pty|utime|aio)\.h|csignal)$")
LINK = re.compile(r"target_link_libraries\(\s*(\S+)([^)]*)\)", re.DOTALL)


def room_of(relative: str) -> str | None:
    if relative == "brisel.cpp":
        return "entry"
    top = relative.split("/", 1)[0]
    return top if top in FLOOR and "/" in relative else None


def check_includes(root: pathlib.Path) -> list[str]:
    problems = []
    for path, relative, room in source_files(root):
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


def source_files(root: pathlib.Path):
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        room = room_of(relative)
        if room is not None:
            yield path, relative, room


def code_only(text: str) -> str:
    """The text without comments, string and character literals (kept as blanks)."""
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
                  lambda m: " " * len(m.group(0)) if "\n" not in m.group(0) else "\n",
                  text, flags=re.DOTALL)


def at_namespace_scope(code: str, position: int) -> bool:
    """Whether every brace open at position opened a namespace (or none is open)."""
    kinds = []
    for match in re.finditer(r"[{}]", code[:position]):
        if match.group(0) == "{":
            before = code[max(0, match.start() - 200):match.start()]
            kinds.append(re.search(r"\bnamespace(\s+\w+(::\w+)*)?\s*$", before) is not None)
        elif kinds:
            kinds.pop()
    return all(kinds)


def check_hooks(root: pathlib.Path) -> list[str]:
    problems = []
    for path, relative, room in source_files(root):
        code = code_only(path.read_text(encoding="utf-8"))
        for hook, owner in HOOKS.items():
            for match in re.finditer(re.escape(hook) + r"\s*\(", code):
                if relative.startswith("win32/"):
                    continue  # the hook's own definition
                if room != owner:
                    problems.append(f"{relative} calls {hook}: only {owner} sets it")
                elif at_namespace_scope(code, match.start()):
                    problems.append(f"{relative} calls {hook} in a static initializer: "
                                    "register by an explicit call at start")
    return problems


def check_dialect(root: pathlib.Path) -> list[str]:
    problems = []
    for path, relative, room in source_files(root):
        if room not in ABOVE_THE_SEAM or relative in POSIX_ABOVE_THE_SEAM:
            continue
        for header in SYSTEM_INCLUDE.findall(path.read_text(encoding="utf-8")):
            if POSIX_HEADER.match(header):
                problems.append(f"{relative} includes <{header}>: above the seam the "
                                "Windows-shaped names are used (win32/)")
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
            relative = lists.relative_to(root).as_posix()
            if "WHOLE_ARCHIVE" in rest:
                problems.append(f"{relative}: {target} links a library whole: the seam's "
                                "hooks are set by explicit calls")
    return problems


def main() -> int:
    arguments = sys.argv[1:]
    modes = {"--dependencies", "--dialect"} & set(arguments)
    arguments = [a for a in arguments if a not in modes]
    modes = modes or {"--dependencies", "--dialect"}
    root = pathlib.Path(arguments[0] if arguments else ".").resolve()
    problems = []
    if "--dependencies" in modes:
        problems += check_includes(root) + check_libraries(root) + check_hooks(root)
    if "--dialect" in modes:
        problems += check_dialect(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} violations of the house rules")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

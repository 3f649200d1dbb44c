#!/usr/bin/env python3
"""Writes the shipped key table (config/zav_keys.ini): what a VT100/xterm-compatible
client sends for each key, and the keyboard messages the session posts to the console
for it.

Keys whose bytes depend on the console's modes (arrows, Home, End, Enter, Backspace, the
editing and function keys) are posted as key-down/key-up of their virtual key, so the
console sends what an xterm sends in its current mode (ESC [ A or ESC O A for Up, say).
Characters are posted as WM_CHAR, Alt+character as WM_SYSCHAR. Sequences with modifiers
(Ctrl+Left is ESC [ 1 ; 5 D) are the same in every mode and pass through as characters.

The mapper takes the first entry that begins the input and never waits for more bytes,
so longer sequences are listed before their prefixes (ESC [ A before ESC).

Usage: gen_keytable.py [OUTPUT]   (default: config/zav_keys.ini beside this script)
"""

import os
import sys

WM_KEYDOWN, WM_KEYUP, WM_CHAR = 0x100, 0x101, 0x102
WM_SYSKEYDOWN, WM_SYSKEYUP, WM_SYSCHAR = 0x104, 0x105, 0x106

VK = {
    "Backspace": 0x08, "Tab": 0x09, "Enter": 0x0D, "Escape": 0x1B,
    "PgUp": 0x21, "PgDn": 0x22, "End": 0x23, "Home": 0x24,
    "Left": 0x25, "Up": 0x26, "Right": 0x27, "Down": 0x28,
    "Insert": 0x2D, "Delete": 0x2E,
}
VK.update({f"F{n}": 0x70 + n - 1 for n in range(1, 13)})

# The navigation keys are "extended" keys on the platform's keyboard (lParam bit 24).
EXTENDED = {"PgUp", "PgDn", "End", "Home", "Left", "Up", "Right", "Down", "Insert", "Delete"}

ESC = 0x1B


def key_messages(name, alt=False):
    """Key-down and key-up of a virtual key; lParam: repeat count 1, the extended-key
    flag, the Alt context flag, and for the key-up the previous-state and transition
    flags."""
    flags = 0x01000000 if name in EXTENDED else 0
    if alt:
        flags |= 0x20000000
        down, up = WM_SYSKEYDOWN, WM_SYSKEYUP
    else:
        down, up = WM_KEYDOWN, WM_KEYUP
    return [down, VK[name], flags | 1, up, VK[name], flags | 0xC0000001]


def char_messages(text, alt=False):
    """One WM_CHAR (WM_SYSCHAR with Alt) per UTF-16 unit of text."""
    messages = []
    data = text.encode("utf-16-le")
    for i in range(0, len(data), 2):
        unit = data[i] | data[i + 1] << 8
        messages += [WM_SYSCHAR, unit, 0x20000001] if alt else [WM_CHAR, unit, 1]
    return messages


def csi(text):
    return bytes([ESC]) + b"[" + text.encode()


def ss3(text):
    return bytes([ESC]) + b"O" + text.encode()


def entries():
    """(client bytes, messages, comment) for every key, in no particular order."""
    out = []

    def key(seq, name, comment=None, alt=False):
        out.append((seq, key_messages(name, alt), comment or ("Alt+" if alt else "") + name))

    def chars(seq, text, comment):
        out.append((seq, char_messages(text), comment))

    # Cursor keys in both the normal (CSI) and the application (SS3) form.
    for final, name in zip("ABCD", ("Up", "Down", "Right", "Left")):
        key(csi(final), name)
        key(ss3(final), name)
    # Home and End: xterm (CSI H/F, SS3 H/F), VT220 (1~ 4~), rxvt (7~ 8~).
    for seq, name in ((csi("H"), "Home"), (ss3("H"), "Home"), (csi("1~"), "Home"),
                      (csi("7~"), "Home"), (csi("F"), "End"), (ss3("F"), "End"),
                      (csi("4~"), "End"), (csi("8~"), "End")):
        key(seq, name)
    for code, name in ((2, "Insert"), (3, "Delete"), (5, "PgUp"), (6, "PgDn")):
        key(csi(f"{code}~"), name)
    # F1-F4: xterm (SS3 P-S), VT220 (11~-14~), Linux console ([A-[E, the last one F5).
    for n, final in enumerate("PQRS", start=1):
        key(ss3(final), f"F{n}")
        key(csi(f"{10 + n}~"), f"F{n}")
    for n, final in enumerate("ABCDE", start=1):
        key(csi("[" + final), f"F{n}")
    for n, code in zip(range(5, 13), (15, 17, 18, 19, 20, 21, 23, 24)):
        key(csi(f"{code}~"), f"F{n}")

    # The same keys with Shift, Alt or Ctrl (xterm's modifier parameter 2 to 8); a
    # terminal sends these unchanged in every mode, so they pass through.
    for m in range(2, 9):
        for final, name in zip("ABCDHF", ("Up", "Down", "Right", "Left", "Home", "End")):
            chars(csi(f"1;{m}{final}"), f"\x1b[1;{m}{final}", f"{name}, modifier {m}")
        for final, n in zip("PQRS", range(1, 5)):
            chars(csi(f"1;{m}{final}"), f"\x1b[1;{m}{final}", f"F{n}, modifier {m}")
        for code, name in ((2, "Insert"), (3, "Delete"), (5, "PgUp"), (6, "PgDn"),
                           (15, "F5"), (17, "F6"), (18, "F7"), (19, "F8"), (20, "F9"),
                           (21, "F10"), (23, "F11"), (24, "F12")):
            chars(csi(f"{code};{m}~"), f"\x1b[{code};{m}~", f"{name}, modifier {m}")
    chars(csi("Z"), "\x1b[Z", "Shift+Tab")

    # Enter (CR, or CR LF from clients that send both), Backspace (DEL or BS), Tab, Escape.
    key(b"\r\n", "Enter", "Enter (CR LF)")
    key(b"\r", "Enter")
    key(b"\x7f", "Backspace")
    key(b"\x08", "Backspace", "Backspace (Ctrl+H)")
    key(b"\t", "Tab")
    key(bytes([ESC]), "Escape")

    # The other control characters, Ctrl+@ (NUL, also Ctrl+Space) to Ctrl+_.
    for c in list(range(0x00, 0x20)):
        if c in (0x08, 0x09, 0x0D, ESC):
            continue
        chars(bytes([c]), chr(c), "Ctrl+@ (Ctrl+Space)" if c == 0 else f"Ctrl+{chr(c + 0x40)}")

    # Printable ASCII and the Latin-1 supplement (as UTF-8).
    for c in range(0x20, 0x7F):
        chars(bytes([c]), chr(c), "Space" if c == 0x20 else f"'{chr(c)}'")
    for c in range(0xA0, 0x100):
        chars(chr(c).encode("utf-8"), chr(c), f"U+{c:04X}")

    # Alt+key: ESC followed by the key. Alt+[ and Alt+O are left out: ESC [ and ESC O
    # begin the cursor and function key sequences, and an unlisted one (from a key this
    # table does not know) should not turn into Alt+[ followed by text.
    for c in range(0x20, 0x7F):
        if chr(c) in "[O":
            continue
        out.append((bytes([ESC, c]), char_messages(chr(c), alt=True), f"Alt+'{chr(c)}'"))
    key(b"\x1b\x7f", "Backspace", alt=True)
    key(b"\x1b\x08", "Backspace", "Alt+Backspace (Ctrl+H)", alt=True)
    key(b"\x1b\r", "Enter", alt=True)
    key(b"\x1b\t", "Tab", alt=True)
    for c in range(0x00, 0x20):
        if c in (0x08, 0x09, 0x0D, ESC):
            continue
        out.append((bytes([ESC, c]), char_messages(chr(c), alt=True), f"Alt+Ctrl+{chr(c + 0x40)}"))
    return out


def table():
    items = entries()
    seen = set()
    for seq, _, comment in items:
        if seq in seen:
            raise SystemExit(f"duplicate sequence {seq!r} ({comment})")
        seen.add(seq)
    # Longer sequences first, so no entry is hidden behind one of its prefixes.
    items.sort(key=lambda item: -len(item[0]))
    if len(items) > 1024:
        raise SystemExit(f"{len(items)} entries: the table holds 1024")
    lines = [
        "; The key table: for each sequence a client's terminal sends (inputN, bytes in",
        "; hexadecimal), the keyboard messages posted to the console (keyN: message, wParam,",
        "; lParam, message, ...). Messages: 100 key-down, 101 key-up, 102 character,",
        "; 104/105 key-down/up with Alt, 106 character with Alt. The first entry that begins",
        "; the input is taken, so longer sequences come first.",
        ";",
        "; Generated by scripts/gen_keytable.py; change the script and run it again.",
        "[ZKey]",
    ]
    for i, (seq, messages, comment) in enumerate(items):
        lines.append(f"; {comment}")
        lines.append(f"input{i}=" + " ".join(f"{b:02x}" for b in seq))
        lines.append(f"key{i}=" + " ".join(f"{v:x}" for v in messages))
    lines.append(f"input{len(items)}=eof")
    return "\n".join(lines) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "config",
                                                              "zav_keys.ini")
    text = table()
    if path == "-":
        sys.stdout.write(text)
    else:
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(text)


if __name__ == "__main__":
    main()

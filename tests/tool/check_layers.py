#!/usr/bin/env python3
"""Fails when an include in tool/ runs back up the layers, names a tool header
without its folder, or keyloom reaches into the dialog or the program.

    check_layers.py TOOL_DIR

The rooms, lowest first; a room may include its own headers and those of the
rooms it lists (docs/architecture.md draws them)."""
import os
import re
import sys

FEATURES = ("provisioning", "accesskey", "import", "actions")
MAY_INCLUDE = {
    "formats": {"formats"},
    "watch": {"watch"},
    "session": {"formats", "watch", "session"},
    "provisioning": {"formats", "watch", "session", "provisioning"},
    "accesskey": {"formats", "watch", "session", "provisioning", "accesskey"},
    "import": {"formats", "watch", "session", "provisioning", "import"},
    "actions": {"formats", "watch", "session", "provisioning", "actions"},
    "dialog": {"formats", "watch", "session", *FEATURES, "dialog"},
    "provisor": {"formats", "watch", "session", *FEATURES, "dialog", "provisor"},
    "cli": {"formats", "watch", "session", *FEATURES, "cli"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def main(tool):
    headers = {}
    for room in MAY_INCLUDE:
        for _, _, files in os.walk(os.path.join(tool, room)):
            for f in files:
                headers.setdefault(f, room)
    problems = []
    for room, allowed in MAY_INCLUDE.items():
        base = os.path.join(tool, room)
        if not os.path.isdir(base):
            problems.append(f"{room}: the room is missing")
            continue
        for folder, _, files in os.walk(base):
            for f in files:
                if not f.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.join(folder, f)
                with open(path, encoding="utf-8", errors="replace") as source:
                    text = source.read()
                for name in INCLUDE.findall(text):
                    where = os.path.relpath(path, tool)
                    if "/" not in name:
                        if name in headers:
                            problems.append(f"{where}: \"{name}\" without its folder ({headers[name]}/)")
                        continue
                    target = name.split("/", 1)[0]
                    if target not in MAY_INCLUDE:
                        continue
                    if not os.path.exists(os.path.join(tool, name)):
                        problems.append(f"{where}: \"{name}\" does not exist")
                    elif target not in allowed:
                        problems.append(f"{where}: {room} may not include \"{name}\" ({target} is not below it)")
    for folder in sorted(os.listdir(tool)):
        if os.path.isdir(os.path.join(tool, folder)) and folder not in MAY_INCLUDE:
            problems.append(f"{folder}/: a room the layers do not know")
    for p in problems:
        print("tool layers:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../tool")))

#!/usr/bin/env python3
"""Checks a built plug-in from outside, with objdump -p: its format, that it
exports exactly the given names (undecorated), and that it imports nothing
but system DLLs.

usage: check_pe.py DLL FORMAT NAME...   (FORMAT e.g. pei-i386)
"""
import os
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}


def main():
    dll, expected_format, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    objdump = os.environ.get("OBJDUMP", "i686-w64-mingw32-objdump")
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    failures = []

    fmt = re.search(r"file format (\S+)", text)
    if not fmt or fmt.group(1) != expected_format:
        failures.append(f"format {fmt.group(1) if fmt else '?'} != {expected_format}")

    # Export table: lines "\t[   0] +base[   1]  0000 GetPluginInfo" after "[Ordinal/Name Pointer] Table".
    exports = []
    section = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(section) == 2:
        for line in section[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(?:\+base\[\s*\d+\]\s+[0-9a-f]+\s+)?(\S+)\s*$", line)
            if not m:
                break
            exports.append(m.group(1))
    if sorted(exports) != sorted(names):
        failures.append(f"exports {sorted(exports)} != {sorted(names)}")

    # The module is named after its file: MORQUENT.SPI, MORQUENT.SPH.
    module = os.path.basename(dll).upper()
    name_line = re.search(r"^Name\s+\S+\s+(\S+)\s*$", text, re.M)
    if not name_line or name_line.group(1) != module:
        failures.append(f"module name {name_line.group(1) if name_line else '?'} != {module}")

    imports = {m.lower() for m in re.findall(r"^\s*DLL Name: (\S+)", text, re.M)}
    extra = imports - SYSTEM_DLLS
    if extra:
        failures.append(f"non-system imports {sorted(extra)}")

    print(f"format: {fmt.group(1) if fmt else '?'}")
    print(f"exports: {', '.join(exports)}")
    print(f"imports: {', '.join(sorted(imports))}")
    if failures:
        print("FAIL: " + "; ".join(failures))
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())

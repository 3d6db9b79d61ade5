"""Checks the built Windows executable with tools written elsewhere: objdump
for its imports and subsystem, exiftool for the version resource, wrestool
and icotool for the manifest and icon, strings for the identification lines.

usage: static_checks.py EXE
"""

import json
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

# Statically linked: the system's own DLLs and nothing to ship beside it.
IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
VERSION_RESOURCE = {
    "FileVersionNumber": "7.0.1.0",
    "ProductVersionNumber": "7.0.1.0",
    "FileOS": "Windows NT 32-bit",
    "ObjectFileType": "Executable application",
    "LanguageCode": "English (U.S.)",
    "CharacterSet": "Unicode",
    "FileDescription": "TALVEN Client Update Executable",
    "FileVersion": "7.0.001",
    "InternalName": "TALVEN",
    "OriginalFileName": "TalvenClient_SET.exe",
    "ProductName": "TALVEN",
    "ProductVersion": "TALVEN 7.0",
}
TALVEN_LINE = re.compile(r"^@\(#\) TALVEN version  (\S+)$", re.M)
PROGRAM_LINE = re.compile(r"^@\(#\) Program version    (\S+)$", re.M)
ASM = "{urn:schemas-microsoft-com:asm.v1}"
ASM3 = "{urn:schemas-microsoft-com:asm.v3}"


def output(*command, given=None) -> bytes:
    return subprocess.run(command, input=given, check=True, capture_output=True,
                          timeout=60).stdout


def manifest_checks(exe: Path, architecture: str):
    manifest = ElementTree.fromstring(output("wrestool", "-x", "--raw", "--type=24", str(exe)))
    own = manifest.find(f"{ASM}assemblyIdentity").attrib
    controls = manifest.find(f"{ASM}dependency/{ASM}dependentAssembly/{ASM}assemblyIdentity").attrib
    level = manifest.find(f".//{ASM3}requestedExecutionLevel").attrib
    return [
        ("manifest identity", {k: own.get(k) for k in ("name", "version", "processorArchitecture", "type")},
         {"name": "TALVENClient_SET.EXE", "version": "1.0.0.0",
          "processorArchitecture": architecture, "type": "win32"}),
        ("manifest description", manifest.findtext(f"{ASM}description"), "TALVEN 7"),
        ("manifest common controls", controls,
         {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
          "processorArchitecture": architecture, "publicKeyToken": "6595b64144ccf1df",
          "language": "*"}),
        ("manifest execution level", level, {"level": "asInvoker", "uiAccess": "false"}),
    ]


def main() -> int:
    exe = Path(sys.argv[1])
    dump = output("objdump", "-p", str(exe)).decode()
    architecture = "amd64" if "(PE32+)" in dump else "x86"
    resource = json.loads(output("exiftool", "-j", str(exe)))[0]
    icons = output("icotool", "-l", "-", given=output("wrestool", "-x", "--type=14", str(exe)))
    icon_sizes = sorted(int(size) for size in re.findall(r"--width=(\d+)", icons.decode()))
    text = output("strings", "-a", str(exe)).decode(errors="replace")
    talven, program = TALVEN_LINE.search(text), PROGRAM_LINE.search(text)

    checks = [
        ("imported DLLs", {n.lower() for n in re.findall(r"DLL Name: (\S+)", dump)}, IMPORTS),
        ("subsystem", re.search(r"Subsystem\s+\S+\s+\((.*)\)", dump).group(1), "Windows GUI"),
        *[(f"version resource {key}", resource.get(key), value) for key, value in VERSION_RESOURCE.items()],
        *manifest_checks(exe, architecture),
        ("icon sizes", icon_sizes, [16, 32, 48]),
        ("identification lines", (bool(talven), bool(program)), (True, True)),
    ]
    if talven and program:
        # The resource's versions and the identification lines tell one story.
        checks += [("FileVersion agrees with the identification lines",
                    resource.get("FileVersion"), talven.group(1) + program.group(1)),
                   ("ProductVersion agrees with the identification lines",
                    resource.get("ProductVersion"), f"TALVEN {talven.group(1)}")]

    failed = 0
    for what, actual, expected in checks:
        if actual != expected:
            failed += 1
            print(f"FAIL {what}: {actual!r}, expected {expected!r}")
    print(f"static checks of {exe.name} ({architecture}): {len(checks)} checks, "
          f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

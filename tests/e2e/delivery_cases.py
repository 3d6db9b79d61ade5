"""The delivery program's end-to-end rows: a source folder and a client
folder before TalvenClient_DELIVER runs, its exit status and what it says,
the client folder after it and, where a row asks, after an update run that
follows. Run by linux_e2e.py and the Wine runner with a `deliver` callable of
their own: deliver(args) -> (status, stdout, stderr), where args are strings
that may hold {source} and {client} for the two folders' paths.
"""

import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path

from cases import DONE, INSTALLED, without
from harness import NOTICE, Dir, Fifo, Link, folder_differences, lay_out, read_folder

SOURCE_NEW = {"TALVENClient.exe": "exe 2", "TALVENClientVersion.txt": "7.0.001",
              "TALVENNetBridge40.dll": "nb 2"}
CLIENT_OLD = {**INSTALLED, "TALVENClientVersion.txt": "7.0.000"}
DELIVERED = {**CLIENT_OLD, "TALVENClient_NEW.exe": "exe 2", "TALVENClient_VER.txt": "7.0.001",
             "TALVENNetBridge40_new.dll": "nb 2"}
UPDATED = {**CLIENT_OLD, **SOURCE_NEW, "TALVENNetBridge40.old.dll": "nb 1"}
WHOLE = ["{source}", "{client}"]
USAGE = "usage: TalvenClient_DELIVER"


@dataclass
class DeliveryCase:
    name: str
    source: dict
    client: dict
    args: list
    status: int
    after: dict | None = None  # None: the client folder must not change
    says: tuple = ()  # each must stand in standard output or error
    updated: dict | None = None  # the client folder after an update run that follows
    platforms: tuple = ("linux", "wine")
    writing: str = ""  # a source file another process holds open for writing meanwhile


DELIVERY_CASES = [
    DeliveryCase("delivery, then an update run", {**SOURCE_NEW, "notes.txt": "x"}, CLIENT_OLD,
                 WHOLE, 0, DELIVERED,
                 ("notes.txt", "ignored", "delivered as TALVENClient_NEW.exe"), UPDATED),
    DeliveryCase("delivery replaces a waiting one and a killed one's temporary", SOURCE_NEW,
                 {**CLIENT_OLD, "TALVENClient_NEW.exe": "exe 1.5",
                  "TALVENClient_NEW.exe.part": "ex", "TALVENViewHostPanel_new.dll.part": "v"},
                 WHOLE, 0, DELIVERED, ("replacing the delivery waiting there",), UPDATED),
    DeliveryCase("a waiting library of an earlier delivery is named",
                 {"TALVENClient.exe": "exe 2"}, {**CLIENT_OLD, "TALVENViewHostPanel_new.dll": "v 2"},
                 WHOLE, 0, {**CLIENT_OLD, "TALVENViewHostPanel_new.dll": "v 2",
                            "TALVENClient_NEW.exe": "exe 2"},
                 ("TALVENViewHostPanel_new.dll waits from an earlier delivery",)),
    DeliveryCase("--dry-run changes nothing", SOURCE_NEW, CLIENT_OLD, ["--dry-run", *WHOLE], 0,
                 None, ("would be delivered as TALVENClient_VER.txt", "nothing was changed")),
    DeliveryCase("--check before: different and missing", SOURCE_NEW, INSTALLED,
                 ["--check", *WHOLE], 1, None, ("different", "missing")),
    DeliveryCase("--check after the update: current", SOURCE_NEW, UPDATED,
                 ["--check", *WHOLE], 0, None, ("current",)),
    # What the next run would install is checked too.
    DeliveryCase("--check names a waiting delivery that is not the source's", SOURCE_NEW,
                 {**UPDATED, "TALVENClient_NEW.exe": "exe 1.5"}, ["--check", *WHOLE], 1, None,
                 ("waiting: not the source's TALVENClient.exe",)),
    # Names compare as the client folder's file system compares them.
    *[DeliveryCase(f"--check with a working name in other case ({platform})", SOURCE_NEW,
                   {**without(UPDATED, "TALVENClient.exe"), "TalvenClient.exe": "exe 2"},
                   ["--check", *WHOLE], status, None, (says,), platforms=(platform,))
      for platform, status, says in (("wine", 0, "current"), ("linux", 1, "missing"))],
    # Each bad input: refused with its status, the client folder unchanged.
    DeliveryCase("no arguments", SOURCE_NEW, CLIENT_OLD, [], 2, None, (USAGE,)),
    DeliveryCase("one folder only", SOURCE_NEW, CLIENT_OLD, ["{source}"], 2, None, (USAGE,)),
    DeliveryCase("three folders", SOURCE_NEW, CLIENT_OLD, [*WHOLE, "{client}"], 2, None, (USAGE,)),
    DeliveryCase("unknown option", SOURCE_NEW, CLIENT_OLD, ["--force", *WHOLE], 2, None, (USAGE,)),
    DeliveryCase("--check and --dry-run together", SOURCE_NEW, CLIENT_OLD,
                 ["--check", "--dry-run", *WHOLE], 2, None, (USAGE,)),
    DeliveryCase("source folder is the client folder", {}, {**CLIENT_OLD, **SOURCE_NEW},
                 ["{client}", "{client}"], 2, None, ("client folder itself",)),
    DeliveryCase("source folder missing", SOURCE_NEW, CLIENT_OLD, ["{source}/none", "{client}"], 3,
                 None, ("cannot open the source folder",)),
    DeliveryCase("source without the executable", {"TALVENNetBridge40.dll": "nb 2"}, CLIENT_OLD,
                 WHOLE, 3, None, ("has no TALVENClient.exe",)),
    DeliveryCase("source name differs in case only",
                 {"TALVENClient.exe": "exe 2", "TALVENNetbridge40.dll": "nb 2"}, CLIENT_OLD,
                 WHOLE, 3, None, ("only in case",)),
    DeliveryCase("source library is a folder", {"TALVENClient.exe": "exe 2",
                                                "TALVENNetBridge40.dll": Dir()},
                 CLIENT_OLD, WHOLE, 3, None, ("not a plain file",)),
    DeliveryCase("source executable is a link", {"elsewhere.exe": "exe 2",
                                                 "TALVENClient.exe": Link("elsewhere.exe")},
                 CLIENT_OLD, WHOLE, 3, None, ("not a plain file",), platforms=("linux",)),
    DeliveryCase("source version file is a FIFO", {**SOURCE_NEW, "TALVENClientVersion.txt": Fifo()},
                 CLIENT_OLD, WHOLE, 3, None, ("not a plain file",), platforms=("linux",)),
    DeliveryCase("client folder missing", SOURCE_NEW, CLIENT_OLD, ["{source}", "{client}/none"], 4,
                 None, ("cannot open the client folder",)),
    # chattr +i on the client folder: nobody may create files in it.
    DeliveryCase("client folder unwritable", SOURCE_NEW, CLIENT_OLD, WHOLE, 4,
                 None, ("may not create files",), platforms=("linux",)),
    # Windows shuts the reader out while a writer is at work: not delivered.
    DeliveryCase("source still being written", SOURCE_NEW, CLIENT_OLD, WHOLE, 6, None,
                 ("still being written",), platforms=("wine",), writing="TALVENClient.exe"),
]

UNWRITABLE = "client folder unwritable"


def check_delivery(case: DeliveryCase, deliver, runner, root: Path) -> list:
    """Runs one row in fresh folders under root; returns what went wrong.
    `runner` runs the update program (harness.check's runner)."""
    base = Path(tempfile.mkdtemp(prefix=f"{case.name} ", dir=root))
    source, client = base / "new files", base / "client"
    source.mkdir()
    client.mkdir()
    lay_out(source, case.source)
    lay_out(client, case.client)
    args = [a.format(source=source, client=client) for a in case.args]
    status, out, err = deliver(args, unwritable=client if case.name == UNWRITABLE else None,
                               writing=source / case.writing if case.writing else None)
    problems = [] if status == case.status else [f"exit status {status}, expected {case.status}"]
    problems += [f"does not say {s!r}" for s in case.says if s not in out + err]
    problems += folder_differences(case.client if case.after is None else case.after,
                                   read_folder(client))
    if case.updated is not None and not problems:
        result = runner.run(client, ())
        if (result.status, result.boxes) != (0, [NOTICE, DONE]):
            problems.append(f"update run: status {result.status}, boxes {result.boxes!r}")
        problems += folder_differences(case.updated, read_folder(client))
    if problems:
        problems.append(f"said:\n{out}{err}")
    shutil.rmtree(base, ignore_errors=True)
    return problems


def run_deliveries(deliver, runner, platform: str, folder_name: str) -> int:
    """Runs every row of `platform` under a folder whose name holds spaces
    and non-ASCII letters; prints each failure and the counts."""
    root = Path(tempfile.mkdtemp(prefix="talven delivery ")) / folder_name
    root.mkdir()
    chosen = [c for c in DELIVERY_CASES if platform in c.platforms]
    failed = 0
    for case in chosen:
        problems = check_delivery(case, deliver, runner, root)
        failed += bool(problems)
        print(f"FAIL delivery: {case.name}:\n  " + "\n  ".join(problems) if problems
              else f"ok   delivery: {case.name}")
    shutil.rmtree(root.parent, ignore_errors=True)
    print(f"{platform} delivery end-to-end: {len(chosen)} cases, {len(chosen) - failed} passed, "
          f"{failed} failed")
    return 1 if failed else 0

"""End-to-end harness: lays out a client folder, runs the updater in it and
compares the folder, the boxes and the exit status with what is expected.

Each case is one row of data (see cases.py). A runner knows how to start the
program on one platform and how to hold a file so that it cannot be deleted
or renamed, as another user's client would hold it.
"""

import os
import re
import shutil
import stat
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

# The eight characters a stamped backup name holds; stands for them in the
# expected folder.
STAMP = "{STAMP}"
STAMP_PATTERN = "[0-9A-F]{8}"


@dataclass(frozen=True)
class Dir:
    """A directory standing under a component's name."""


@dataclass(frozen=True)
class Fifo:
    """A named pipe standing under a component's name."""


@dataclass(frozen=True)
class Socket:
    """A Unix socket standing under a component's name."""


@dataclass(frozen=True)
class Link:
    """A symbolic link standing under a component's name."""
    target: str


# --- What a Wine row may ask besides plain held names ------------------------
# A plain name in Case.held is held as another user's running client holds
# its files: readable, but not to be written, renamed or deleted.

@dataclass(frozen=True)
class Hold:
    """`name` held (tests/wine/holder.cpp) with `access` r, w, rw or attr
    (attributes only) and `share` none, r, rw, rd (read and delete) or all;
    let go `let_go_ms` after the notice, else when the run ends. With
    `scan_ms`: a virus scanner that opens the name each time it appears
    (read, all sharing) and holds it that long; the row fails when it never
    caught the file, as it then proved nothing."""
    name: str
    access: str = "r"
    share: str = "r"
    let_go_ms: int | None = None
    scan_ms: int | None = None


@dataclass(frozen=True)
class ReadOnly:
    name: str  # bears the read-only attribute while the program runs


@dataclass(frozen=True)
class Running:
    """A client runs from the folder as `name`: the holder program, copied
    over that name for the run, is started from it and holds nothing, so
    only its mapped image stands in the way. The file gets its content back
    after the run, where the run left it alone."""
    name: str


@dataclass(frozen=True)
class DismissNotice:
    how: str  # "Return", "Escape" or "close" (the caption's close button)


@dataclass(frozen=True)
class Patience:
    box_timeout_s: float  # the longest wait for each box of this case


@dataclass(frozen=True)
class LongFolder:
    """The run's folder lies so deep that its Windows path (Z:\\...) is this
    many characters long: its files are moved down there for the run and
    back up after it."""
    length: int


@dataclass(frozen=True)
class ReadOnlyFolder:
    """The folder is a read-only bind mount of itself while the program
    runs: nobody can create, delete or rename a file in it. Needs root."""


@dataclass
class Case:
    name: str
    before: dict
    after: dict | None  # None: the folder must not change
    boxes: list  # (kind, text) after the notice, which every run shows first
    status: int
    held: tuple = ()  # names another process holds while the program runs, or the
    # conditions below (Wine rows)
    platforms: tuple = ("linux", "wine")


@dataclass
class Result:
    status: int
    boxes: list  # (kind, text) in the order shown
    log: str = ""


def lay_out(folder: Path, files: dict) -> None:
    for name, content in files.items():
        path = folder / name
        if isinstance(content, Dir):
            path.mkdir()
        elif isinstance(content, Fifo):
            os.mkfifo(path)
        elif isinstance(content, Socket):
            os.mknod(path, stat.S_IFSOCK | 0o644)
        elif isinstance(content, Link):
            path.symlink_to(content.target)
        else:
            path.write_bytes(content.encode() if isinstance(content, str) else content)


def read_folder(folder: Path, read_large=None) -> dict:
    """Name -> content; read_large(path, size), when given, stands in for
    reading a file over 1 MiB."""
    seen = {}
    for entry in sorted(os.listdir(folder)):
        path = folder / entry
        mode = os.lstat(path).st_mode
        if stat.S_ISLNK(mode):
            seen[entry] = Link(os.readlink(path))
        elif stat.S_ISDIR(mode):
            seen[entry] = Dir()
        elif stat.S_ISFIFO(mode):
            seen[entry] = Fifo()
        elif stat.S_ISSOCK(mode):
            seen[entry] = Socket()
        elif read_large and os.lstat(path).st_size > 1 << 20:
            seen[entry] = read_large(path, os.lstat(path).st_size)
        else:
            seen[entry] = path.read_bytes().decode(errors="replace")
    return seen


def folder_differences(expected: dict, actual: dict) -> list:
    """Compares folders; an expected name may hold STAMP for any stamp."""
    problems = []
    unmatched = dict(actual)
    for name, content in expected.items():
        pattern = re.escape(name).replace(re.escape(STAMP), STAMP_PATTERN)
        found = [n for n in unmatched if re.fullmatch(pattern, n)]
        if not found:
            problems.append(f"missing {name!r}")
            continue
        if unmatched[found[0]] != content:
            problems.append(f"{found[0]!r} holds {unmatched[found[0]]!r}, expected {content!r}")
        del unmatched[found[0]]
    problems += [f"unexpected {n!r}" for n in unmatched]
    return problems


NOTICE = ("information",
          "TALVEN needs to update a client side component.\n\nClick OK to continue")


def check(case: Case, runner, root: Path, lay=lay_out, read=read_folder) -> list:
    """Runs one case in a fresh folder under root; returns what went wrong.
    `lay` and `read` stand in for lay_out and read_folder (for large files)."""
    folder = Path(tempfile.mkdtemp(prefix=f"{case.name} ", dir=root))
    lay(folder, case.before)
    result = runner.run(folder, case.held)
    problems = []
    if result.status != case.status:
        problems.append(f"exit status {result.status}, expected {case.status}")
    expected_boxes = [NOTICE] + list(case.boxes)
    if result.boxes != expected_boxes:
        problems.append(f"boxes {result.boxes!r}, expected {expected_boxes!r}")
    expected_after = case.before if case.after is None else case.after
    problems += folder_differences(expected_after, read(folder))
    if problems and result.log:
        problems.append("log:\n" + result.log)
    shutil.rmtree(folder, ignore_errors=True)
    return problems


def run_all(cases, runner, platform: str, folder_name: str) -> int:
    """Runs every case of `platform` in folders under one whose name holds
    spaces and non-ASCII letters; prints each failure and the counts."""
    root = Path(tempfile.mkdtemp(prefix="talven e2e ")) / folder_name
    root.mkdir()
    chosen = [c for c in cases if platform in c.platforms]
    failed = 0
    for case in chosen:
        problems = check(case, runner, root)
        if problems:
            failed += 1
            print(f"FAIL {case.name}:\n  " + "\n  ".join(problems))
        else:
            print(f"ok   {case.name}")
    shutil.rmtree(root.parent, ignore_errors=True)
    print(f"{platform} end-to-end: {len(chosen)} cases, {len(chosen) - failed} passed, {failed} failed")
    return 1 if failed else 0


def parse_stderr_boxes(text: str) -> list:
    """The POSIX stand-in writes each box as "[caption] kind", the text and
    "[OK]", each on its own line."""
    boxes = []
    for match in re.finditer(r"\[TALVEN Client\] (\w+)\n(.*?)\n\[OK\]\n", text, re.S):
        boxes.append((match.group(1), match.group(2)))
    return boxes


if __name__ == "__main__":
    sys.exit("run linux_e2e.py or the Wine runner instead")

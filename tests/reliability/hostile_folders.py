"""Hostile folders and input: links out of the folder, a lock held for a
second or never let go, users who may not write or read,
a delivery over 4 GiB, a disk that fills during a copy. (Names in use that
are directories, FIFOs, sockets or dangling links are rows of the end-to-end
cases.) Each row ends with its box and exit status within a time limit, the
folder as the row expects, nothing lost, and nothing beside the folder
changed. Rows that switch users or mount a file system need root and are
skipped without it.
"""

import fcntl
import os
import pwd
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import common as c
from common import EXE, LOCK, NEW_EXE, NEW_VER, VER, Sparse
from harness import Link

T, U = c.TYPICAL, c.UPDATED
NB_NEW, NB, NB_OLD = c.LIBRARIES[0]
OUT = Link("../outside.txt")  # the sentinel beside the folder: another user's file


@dataclass(frozen=True)
class Fill:
    """A file that takes `share` of the space left once the others are laid out."""
    share: float


@dataclass(frozen=True)
class Was:
    """Whatever `name` held before the run."""
    name: str


@dataclass
class Row:
    name: str
    before: dict
    after: dict | None  # None: unchanged
    status: int
    note: str = ""  # the outcome, in the record
    user: str = ""  # run as this user instead of root
    owners: dict = field(default_factory=dict)  # name ("." the folder) -> user
    modes: dict = field(default_factory=dict)  # name -> permission bits
    fs: str = ""  # "tmpfs SIZE" or "ext4 SIZE": the folder is on a fresh small file system
    hold: float = 0  # another process holds the folder lock this long
    timeout: float = 30


def but(files, *names, **more):
    return {**{k: v for k, v in files.items() if k not in names}, **more}


HELD_FOR_EVER = float("inf")
RAN = but(T, NEW_EXE, NEW_VER, **{EXE: "exe 2", VER: "version 2"})  # no library swapped
KEPT = but(T, **{EXE: "exe 2", VER: "version 2"})  # ended in the first library
BIG = Sparse((1 << 32) + 40_961)
ROWS = [
    Row("typical update in a folder named with spaces and non-ASCII letters", T, U, 0),
    Row("delivered version file links outside", but(T, **{NEW_VER: OUT}),
        but(U, VER, **{NEW_VER: OUT}), 0,
        "the link is not followed and nothing is copied in; the version file in use is removed"),
    Row("delivered libraries link outside", but(T, **{n: OUT for n, _, _ in c.LIBRARIES}),
        but(RAN, **{n: OUT for n, _, _ in c.LIBRARIES}), 0, "passed over as undelivered"),
    Row("executable in use links outside", but(T, **{EXE: OUT}), U, 0,
        "the link is removed, not what it points to"),
    Row("working library links outside", but(T, **{NB: OUT}), but(KEPT, **{NB: OUT}), 5,
        "looks absent; the rename onto the link is refused"),
    Row("library backup links outside", but(T, **{NB_OLD: OUT}), U, 0,
        "the link is removed, not what it points to, and the library set aside there"),
    Row("links outside at both temporary names", but(T, **{EXE + ".tmp": OUT, VER + ".tmp": OUT}),
        U, 0, "the links are removed and the copies made afresh, never through them"),
    Row("folder lock held by another process for a second", T, U, 0,
        "the run waits without touching a file, then updates", hold=1.0),
    # The one run of the whole 60 s wait; what stands at the lock's name
    # (a link, a FIFO, another user's unreadable file) is tried with a short
    # limit in the platform tests.
    Row("folder lock never let go", T, None, 2,
        "the run gives up after its 60 s wait with the executable's locked message, "
        "having touched nothing", hold=HELD_FOR_EVER, timeout=90),
    Row("folder the user may not write to", T, None, 2,
        "no lock file can be made, so no wait, and without the lock nothing is changed",
        user="nobody"),
    Row("read-only files in the user's own folder", T, U, 0,
        "on Linux the folder's permissions decide, not the files'", user="nobody",
        owners={".": "nobody", **{n: "nobody" for n in T}}, modes={n: 0o444 for n in T}),
    Row("delivered executable the user may not read", T, None, 3,
        "found out before anything is touched: nothing changes, and a user "
        "who can read the delivery completes the update",
        user="nobody", owners={".": "nobody"}, modes={NEW_EXE: 0}),
    # On a file system far smaller than the delivery: its holes stay holes.
    Row("delivered executable over 4 GiB (sparse)", {EXE: "exe 1", NEW_EXE: BIG}, {EXE: BIG}, 0,
        "copied as sparse as it is, on a 64 MiB file system (size and marks either side of "
        "4 GiB checked)", fs="tmpfs 64m", timeout=240),
    *[Row(f"disk fills during the executable's copy ({fs.split()[0]})",
          {EXE: "exe 1", NEW_EXE: Fill(0.6)}, {EXE: "exe 1", NEW_EXE: Was(NEW_EXE)}, 3,
          "no temporary is left; the executable in use and the delivery are kept, and a run "
          "with room completes the update", fs=fs) for fs in ("tmpfs 256k", "ext4 4m")],
    Row("disk fills during the version file's copy", but(T, **{NEW_VER: Fill(0.6)}),
        but(U, VER, **{NEW_VER: Was(NEW_VER), NEW_EXE: T[NEW_EXE]}), 6,
        "the final box is shown, the status tells: the version file in use is gone, both "
        "deliveries are kept, and the next run completes the update", fs="tmpfs 256k"),
]


def lay_out(folder: Path, files: dict) -> None:
    c.lay_out_all(folder, {n: v for n, v in files.items() if not isinstance(v, Fill)})
    for name, fill in files.items():
        if isinstance(fill, Fill):
            st = os.statvfs(folder)
            size = int(st.f_bavail * st.f_frsize * fill.share)
            data = bytearray(b"\xa5" * size)
            if size > 1 << 20:  # read back as a Sparse: give it its marks
                for offset in Sparse(size).offsets():
                    data[offset:offset + 8] = c.mark(offset)
            (folder / name).write_bytes(data)


def mount(row: Row, place: Path):
    kind, size = row.fs.split()
    place.mkdir()
    if kind == "tmpfs":
        command = ["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", place]
    else:
        image = place.with_suffix(".img")
        subprocess.run(["truncate", "-s", size, image], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True, capture_output=True)
        command = ["mount", "-o", "loop", image, place]
    done = subprocess.run(command, capture_output=True, text=True)
    return done.stderr.strip() if done.returncode else None


row_took = {}  # row name -> seconds from the run's start to its end


def check(program, row: Row, parent: Path) -> list:
    folder = parent / "client"
    folder.mkdir()
    lay_out(folder, row.before)
    for name, user in row.owners.items():
        os.lchown(folder / name, pwd.getpwnam(user).pw_uid, pwd.getpwnam(user).pw_gid)
    for name, mode in row.modes.items():
        os.chmod(folder / name, mode)
    before = c.snapshot(folder)
    outside = c.Outside(parent)
    waited = []
    if row.hold:
        gate = os.open(folder / LOCK, os.O_RDONLY | os.O_CREAT, 0o644)
        fcntl.flock(gate, fcntl.LOCK_EX)

        def let_go():
            # Looked at while the lock is still held: once its file is gone,
            # the run may take the lock at its next poll and start changing.
            held = c.snapshot(folder)
            held.pop(LOCK, None)
            waited.append(held == before)
            os.unlink(folder / LOCK)
            os.close(gate)
        if row.hold != HELD_FOR_EVER:
            threading.Timer(row.hold, let_go).start()
    started = time.monotonic()
    result = c.run(program, folder, user=row.user or None, timeout=row.timeout)
    row_took[row.name] = time.monotonic() - started
    if row.hold == HELD_FOR_EVER:
        let_go()
    if result.status is None:
        return [f"no end within {row.timeout} s"]
    now = c.snapshot(folder)
    expected = before if row.after is None else {
        n: before[v.name] if isinstance(v, Was) else v for n, v in row.after.items()}
    problems = c.box_problems(result, row.status)
    problems += [f"{n}: {now.get(n)!r}, expected {expected.get(n)!r}"
                 for n in sorted(expected.keys() | now.keys()) if now.get(n) != expected.get(n)]
    problems += c.nothing_lost(before, now) + outside.problems()
    if row.hold and waited != [True]:
        problems.append("the folder changed while another process held the lock")
    return problems


def main(program: Path, exhaustive=False):
    del exhaustive  # every row is in the default set too
    report = c.Report("hostile folders", header=("case", "exit", "outcome", "run took", "held"))
    root = c.new_root()
    program = c.for_other_users(program, root)
    skipped = []
    try:
        for n, row in enumerate(ROWS):
            if (row.user or row.fs) and os.geteuid() != 0:
                skipped.append(f"{row.name} (needs root)")
                continue
            parent = root / f"{n:02d}"
            if row.fs:
                failed = mount(row, parent)
                if failed:
                    skipped.append(f"{row.name} (cannot mount: {failed})")
                    continue
            else:
                parent.mkdir()
            try:
                problems = check(program, row, parent)
            finally:
                if row.fs:
                    subprocess.run(["umount", parent], check=True)
            report.outcome(row.name, problems)
            report.rows.append((row.name, row.status, row.note or "as expected",
                                f"{row_took.get(row.name, 0):.1f} s",
                                "held" if not problems else "FAILED"))
    finally:
        c.remove_root(root)
    report.lines += ["names in use that are a directory, FIFO, socket or dangling link: "
                     "rows of the end-to-end cases (tests/e2e/cases.py)"]
    report.lines += [f"skipped: {s}" for s in skipped]
    if not report.tried:
        report.skipped = "; ".join(skipped)
    return report

"""What the reliability suites share: the typical update, the "nothing lost"
and "fully updated" checks over a folder, starting the program (under strace,
as another user, with a time limit) and reading the system calls of a run.

A suite module has main(program, exhaustive) -> Report; sweeps.py runs it
(--suite NAME), prints what it tried and what held (show) and exits 0, 1
(something did not hold) or 77 (skip).
"""

import grp
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from harness import NOTICE, Result, lay_out, parse_stderr_boxes, read_folder  # noqa: E402
from cases import DONE, EXE_LOCKED, EXE_MISSING, EXE_UNABLE, NB_UNABLE, VHP_UNABLE, locked  # noqa: E402

SKIP = 77
NEW_EXE, EXE, OLD_EXE = "TALVENClient_NEW.exe", "TALVENClient.exe", "TALVENClient.OLD.exe"
NEW_VER, VER = "TALVENClient_VER.txt", "TALVENClientVersion.txt"
LOCK = "TalvenClient_SET.lck"
BASES = ("TALVENNetBridge40", "TALVENViewHostPanel", "TALVENViewHostPanel40")
# (new, working, backup) of each library, in the order they are replaced.
LIBRARIES = [(f"{b}_new.dll", f"{b}.dll", f"{b}.old.dll") for b in BASES]
STAMPED = re.compile(r"(%s)\.[0-9A-F]{8}\.DLL" % "|".join(BASES))
COMPONENTS = {NEW_EXE, EXE, OLD_EXE, NEW_VER, VER} | {n for row in LIBRARIES for n in row}
TEMPORARIES = {EXE + ".tmp", VER + ".tmp"}

# The typical update: a new executable, version file and all three
# libraries, each library with an old backup; and the folder after it.
TYPICAL = {EXE: "exe 1", NEW_EXE: "exe 2", VER: "version 1", NEW_VER: "version 2"}
UPDATED = {EXE: "exe 2", VER: "version 2"}
for _new, _work, _backup in LIBRARIES:
    TYPICAL |= {_new: f"{_work} 2", _work: f"{_work} 1", _backup: f"{_work} 0"}
    UPDATED |= {_work: f"{_work} 2", _backup: f"{_work} 1"}

VHP40_UNABLE = ("error", "TALVEN is unable to rename file TALVENViewHostPanel40_new.dll\n\n"
                "Please contact your network administrator.")
# The one box each exit status goes with.
BOXES_OF_STATUS = {0: [DONE], 1: [EXE_MISSING], 2: [EXE_LOCKED], 3: [EXE_UNABLE],
                   4: [locked(w) for _, w, _ in LIBRARIES],
                   5: [NB_UNABLE, VHP_UNABLE, VHP40_UNABLE], 6: [DONE]}


@dataclass(frozen=True)
class Sparse:
    """A sparse file of `size` bytes, zero but for a mark at a few offsets
    (either side of 4 GiB, the start and the end): its content is checked
    by size and marks instead of being read."""
    size: int

    def offsets(self):
        return sorted(o for o in {0, (1 << 32) - 8, 1 << 32, self.size - 8} if 0 <= o <= self.size - 8)


def mark(offset):
    return b"%08x" % (offset & 0xFFFFFFFF)


def lay_out_all(folder: Path, files: dict) -> None:
    """lay_out, with sparse files as well."""
    lay_out(folder, {n: c for n, c in files.items() if not isinstance(c, Sparse)})
    for name, big in files.items():
        if isinstance(big, Sparse):
            with open(folder / name, "wb") as f:
                f.truncate(big.size)
                for offset in big.offsets():
                    f.seek(offset)
                    f.write(mark(offset))


def snapshot(folder: Path) -> dict:
    """Name -> content of a folder; a file over 1 MiB is a Sparse when its
    marks are all in place, else a note of its size."""
    def large(path, size):
        with open(path, "rb") as f:
            whole = all(os.pread(f.fileno(), 8, o) == mark(o) for o in Sparse(size).offsets())
        return Sparse(size) if whole else f"<{size} bytes, marks missing>"
    try:
        return read_folder(folder, large)
    except FileNotFoundError:
        # Gone while the folder was read: a killed Wine run's file to delete
        # on close, removed when the wineserver closes its handles.
        return read_folder(folder, large)


def nothing_lost(before: dict, now: dict) -> list:
    """What is lost in `now`, a folder that started as `before`: the
    executable in use must stand whole (old or new), the delivered
    executable, version file and each delivered library must stand
    in full under their new or working name, each library in use under its
    working or backup name (plain or stamped); a component name holds only
    content that was in the folder before (never a partial file); besides
    them there are at most the copy's temporaries and the lock file."""
    problems = []
    known = list(before.values())

    def stands(name, names, what):
        if name in before and not any(n in now and now[n] == before[name] for n in names):
            problems.append(f"{what} {before[name]!r} ({name}) lost")

    stands(NEW_EXE, (NEW_EXE, EXE), "delivered executable")
    # The executable has no backup: it must stand whole, old or new, at all
    # times, or nobody can start the client from the folder.
    if EXE in before and now.get(EXE) not in (before[EXE], before.get(NEW_EXE)):
        problems.append(f"{EXE} holds {now.get(EXE)!r}, neither the old nor the new executable")
    stands(NEW_VER, (NEW_VER, VER), "delivered version file")
    for new, work, backup in LIBRARIES:
        stamped = [n for n in now if STAMPED.fullmatch(n) and n.startswith(work[:-3])]
        stands(new, (new, work), "delivered library")
        stands(work, (work, backup, *stamped), "library in use")
    for name, content in now.items():
        if name in COMPONENTS or STAMPED.fullmatch(name):
            if content not in known:
                problems.append(f"{name} holds {content!r}, which no file held before")
        elif name not in TEMPORARIES and name != LOCK and before.get(name) != content:
            problems.append(f"unexpected {name!r}")
    return problems


def fully_updated(before: dict, now: dict) -> list:
    """Nothing lost, every delivery in place, and nothing left over but old
    library backups (a stamped backup is where an old one would not go)."""
    problems = nothing_lost(before, now)
    problems += [f"{n} holds {now.get(n)!r}, expected {c!r}"
                 for n, c in UPDATED.items() if now.get(n) != c and not n.endswith(".old.dll")]
    left = {NEW_EXE, NEW_VER, LOCK, *TEMPORARIES, *(new for new, _, _ in LIBRARIES)} & now.keys()
    # A run stopped between the two removals leaves a version delivery equal
    # to the version file: nothing waits that is not in place.
    if now.get(NEW_VER) == now.get(VER) == UPDATED[VER]:
        left.discard(NEW_VER)
    problems += [f"{n} left over" for n in sorted(left)]
    return problems


class Outside:
    """A sentinel file beside the folder and the listing of the folder's
    parent: a run must change neither."""

    def __init__(self, parent: Path):
        self.parent, self.sentinel = parent, parent / "outside.txt"
        if not self.sentinel.exists():
            self.sentinel.write_text("another user's file\n")
        self.listing = sorted(os.listdir(parent))
        self.state = self._state()

    def _state(self):
        st = os.stat(self.sentinel)
        return self.sentinel.read_bytes(), st.st_mtime_ns, st.st_mode, st.st_uid

    def problems(self) -> list:
        problems = [] if self._state() == self.state else ["the file outside the folder changed"]
        listing = sorted(os.listdir(self.parent))
        if listing != self.listing:
            problems.append(f"beside the folder: {listing}, was {self.listing}")
        return problems


def run(program, folder: Path, strace=(), user=None, timeout=60, env=None) -> Result:
    """Runs the program once in `folder`, standard input not a terminal (so
    no box waits); under strace with `strace` options when given, as `user`
    when given, with `env` added to the environment when given. A run that
    outlives `timeout` is killed and has status None."""
    command = [str(program)]
    if strace:
        command = ["strace", "-f", "-qqq", "-o", "/dev/null", *strace, "--", *command]
    if user:
        command = ["setpriv", f"--reuid={user}", f"--regid={user_group(user)}",
                   "--clear-groups", "--", *command]
    process = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, env={**os.environ, **(env or {})})
    try:
        _, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        _, err = process.communicate()
        return Result(None, parse_stderr_boxes(err.decode(errors="replace")), "timed out")
    text = err.decode(errors="replace")
    return Result(process.returncode, parse_stderr_boxes(text), text)


def for_other_users(program: Path, root: Path) -> Path:
    """A copy of the program that other users can run: the build may lie in
    a checkout they cannot enter (a clone in a 0700 folder)."""
    os.chmod(root.parent, 0o755)  # they reach the folders and the copy through it
    copy = root.parent / program.name
    shutil.copy2(program, copy)
    os.chmod(copy, 0o755)
    return copy


def user_group(user):
    return grp.getgrgid(pwd.getpwnam(user).pw_gid).gr_name


def redeliver(folder: Path, before: dict) -> None:
    """A new run only gets past the executable step with a delivered
    executable, and without a delivered version file it removes the one in
    use: bring fresh ones, as the next delivery would, where the last run
    used them up."""
    for name in (NEW_EXE, NEW_VER):
        if name in before and not os.path.lexists(folder / name):
            (folder / name).write_text(before[name])


def box_problems(result: Result, expected_status) -> list:
    """The notice, then exactly one box: the one that goes with the status."""
    problems = []
    allowed = expected_status if isinstance(expected_status, tuple) else (expected_status,)
    if result.status not in allowed:
        problems.append(f"exit status {result.status}, expected {expected_status}")
    if (len(result.boxes) != 2 or result.boxes[0] != NOTICE
            or result.boxes[1] not in BOXES_OF_STATUS.get(result.status, [])):
        problems.append(f"boxes {result.boxes!r}")
    if problems and result.log:
        problems.append("log:\n" + result.log[-4000:])
    return problems


# --- System calls of a run ----------------------------------------------------

# A line of strace -f output; with -ttt, the time of the call follows the process.
_HEAD = r"^(\d+) +(?:(\d+\.\d+) )?"
CALL = re.compile(_HEAD + r"(\w+)\((.*)\) += (.*)$")
UNFINISHED = re.compile(_HEAD + r"(.*) <unfinished \.\.\.>$")
RESUMED = re.compile(_HEAD + r"<\.\.\. \w+ resumed>(.*)$")
DECODED_FD = re.compile(r"^(\d+)<(.*)>$")  # what strace -y shows for a descriptor


@dataclass
class Call:
    syscall: str
    occurrence: int  # how many calls of this name its process made up to this one
    args: str
    subject: str  # the file it works on ("A -> B" for a rename)
    kind: str  # the call as named here: the system call, "fstat" for a descriptor's
    process: str = ""  # whose call, where a run is traced in several processes
    result: str = ""
    time: float = 0.0  # when it was made, where strace -ttt shows it

    def __str__(self):
        return f"{self.process + ': ' if self.process else ''}{self.kind} {self.subject}".rstrip()


def flock_held(path: Path) -> bool:
    """Some process holds a flock on the file at `path` (/proc/locks names
    it by device and inode)."""
    try:
        inode = os.stat(path).st_ino
    except FileNotFoundError:
        return False
    return any(line.split()[1] == "FLOCK" and line.split()[5].endswith(f":{inode}")
               for line in Path("/proc/locks").read_text().splitlines())


def typical_folder(root: Path, index: int):
    """A client folder with the typical delivery in its own parent under
    root, and the watch on what stands beside it."""
    parent = root / f"{index:04d}"
    folder = parent / "client"
    folder.mkdir(parents=True)
    lay_out_all(folder, TYPICAL)
    return folder, Outside(parent)


def typical_calls(program, root: Path, name="baseline", strace=()) -> list:
    """The system calls of the typical update, traced in a folder of its own
    under root."""
    baseline = root / name
    baseline.mkdir()
    lay_out_all(baseline, TYPICAL)
    return trace(program, baseline, strace)


def disrupted_then_updated(program, folder: Path, outside, run=run) -> list:
    """After a run that was killed or disrupted in the typical folder: nothing
    is lost, and the folder ends fully updated with nothing beside it
    changed, if need be after one more run (run(program, folder)) with no new
    delivery. That run ends with status 0, or with 1 (nothing delivered)
    where the disrupted run had already put everything in place. A folder
    the disrupted run left fully updated gets no more run: with nothing
    delivered, the next run could only say so."""
    now = snapshot(folder)
    problems = nothing_lost(TYPICAL, now)
    if problems or fully_updated(TYPICAL, now):
        again = run(program, folder)
        problems += box_problems(again, 1 if again.status == 1 else 0)
    return problems + fully_updated(TYPICAL, snapshot(folder)) + outside.problems()


def trace(program, folder: Path, strace=()) -> list:
    """The system calls the program makes in `folder` (which the run then
    changes), after execve, which strace cannot tamper with."""
    with tempfile.NamedTemporaryFile("r", suffix=".trace") as out:
        subprocess.run(["strace", "-f", "-qqq", "-o", out.name, *strace, "--", str(program)],
                       cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return calls_of(out.read().splitlines())


def calls_of(lines, process="", basenames=False) -> list:
    """The calls of an `strace -f` output, in the order they were made,
    counted per process and system call as strace counts them for --inject.
    Each is given the name of the file it works on: its path, the path its
    descriptor was opened from, or the path strace -y shows for it (with
    `basenames`, only the last part of each); an unlink that completes a
    link-based rename reads as that rename."""
    calls, seen, fds, pending = [], {}, {}, {}
    name_of = (lambda p: p.removesuffix(" (deleted)").rsplit("/", 1)[-1]) if basenames else str

    def counted(pid, name):
        seen[pid, name] = seen.get((pid, name), 0) + 1
        return seen[pid, name]

    for line in lines:
        # A call another process's interrupted: counted and placed where it began.
        if (unfinished := UNFINISHED.match(line)) and (head := re.match(r"(\w+)\(", unfinished[3])):
            if head[1] != "execve":
                pending[unfinished[1]] = (len(calls), counted(unfinished[1], head[1]),
                                          unfinished[2], unfinished[3])
                calls.append(None)
            continue
        place = None
        if (resumed := RESUMED.match(line)) and resumed[1] in pending:
            place, occurrence, when, head = pending.pop(resumed[1])
            line = f"{resumed[1]} {when + ' ' if when else ''}{head}{resumed[3]}"
        match = CALL.match(line)
        if not match or match[3] == "execve":
            continue
        pid, when, name, args, result = match.groups()
        if place is None:
            occurrence = counted(pid, name)
        kind = name
        paths = [name_of(p) for p in re.findall(r'"((?:[^"\\]|\\.)*)"', args)]
        numbers = [a.strip() for a in args.split(",")]
        # A path first, or after the directory of an ...at call: else a descriptor's call.
        named = numbers[0].startswith('"') or (
            re.search(r"at2?$|^statx$", name) and len(numbers) > 1 and numbers[1].startswith('"')
            and paths[0])
        if name in ("renameat", "renameat2", "linkat", "rename", "link"):
            subject = f"{paths[0]} -> {paths[1]}"
        elif name in ("unlinkat", "unlink") and calls and calls[-1] \
                and calls[-1].syscall == "linkat" and calls[-1].subject.startswith(paths[0] + " -> "):
            subject = calls[-1].subject
        elif named:
            subject = paths[0]
            kind = "newfstatat" if name == "statx" else name
        else:
            fd = numbers[2] if name == "copy_file_range" else numbers[0]
            decoded = DECODED_FD.match(fd)
            subject = name_of(decoded[2]) if decoded else fds.get((pid, fd), "")
            # A look-up of a descriptor is fstat, and one by name newfstatat,
            # whichever call the C library makes it with (statx in the 32-bit
            # build under Wine), so that one oracle serves both.
            kind = "fstat" if name in ("newfstatat", "statx") else name
        if name == "openat" and result.split()[0].isdigit():
            fds[pid, result.split()[0]] = paths[0]
        call = Call(name, occurrence, args, subject, kind, process, result, float(when or 0))
        if place is None:
            calls.append(call)
        else:
            calls[place] = call
    return [call for call in calls if call]


# --- Which kill points and faults a sweep tries ------------------------------
# One rule for the Linux and the Wine sweeps. Between two calls that change
# the folder the disk does not change, so a kill anywhere there leaves one
# state: the default set kills once per stage (and per process, where a run
# is traced in several), the exhaustive set at every point given. A fault
# is tried with one errno per outcome the oracle gives for its call, the
# exhaustive set with every errno.

CHANGES = {"write", "pwrite64", "fsync", "fdatasync", "rename", "renameat", "renameat2", "link",
           "linkat", "unlink", "unlinkat", "fchmod", "utimensat", "ftruncate", "fallocate",
           "copy_file_range", "sendfile"}


def changes(call) -> bool:
    return call.syscall in CHANGES or "O_CREAT" in call.args


def kill_points(calls, exhaustive=False, alike=None) -> list:
    """The default set: the first call of each process at each stage. The
    exhaustive set: every call, or where `alike` is given, the first at each
    stage of each process that alike(call) tells apart from the others (a
    call it gives None is never a kill point)."""
    def first(calls, alike):
        kept, seen, stage = [], set(), 0
        for call in calls:
            key = alike(call)
            if key is not None and (stage, call.process, *key) not in seen:
                seen.add((stage, call.process, *key))
                kept.append(call)
            stage += changes(call)
        return kept
    calls = first(calls, alike) if alike else calls
    return calls if exhaustive else first(calls, lambda call: ())


def faults(calls, errnos, outcome, exhaustive=False) -> list:
    """(call, errno) for each call and each of errnos(call), but for one
    errno per outcome(call, errno) unless exhaustive."""
    jobs, seen = [], set()
    for index, call in enumerate(calls):
        for errno in errnos(call):
            key = (index, outcome(call, errno))
            if exhaustive or key not in seen:
                seen.add(key)
                jobs.append((call, errno))
    return jobs


# --- Reports --------------------------------------------------------------------

@dataclass
class Report:
    title: str
    tried: int = 0
    held: int = 0
    lines: list = field(default_factory=list)  # what was tried, for the record
    header: tuple = ()  # of `rows`, a table for the record
    rows: list = field(default_factory=list)
    failures: list = field(default_factory=list)
    skipped: str = ""

    def outcome(self, what, problems):
        self.tried += 1
        if problems:
            self.failures.append(f"{what}:\n    " + "\n    ".join(problems))
        else:
            self.held += 1


def strace_missing() -> str:
    """Why strace cannot tamper with a run here, or ""."""
    if not shutil.which("strace"):
        return "strace is not installed (tools/install-test-deps.sh installs it)"
    done = subprocess.run(["strace", "-qqq", "-o", "/dev/null", "true"], capture_output=True)
    return f"strace cannot trace here: {done.stderr.decode().strip()}" if done.returncode else ""


def new_root(name="Client Ördner ünd Späces") -> Path:
    """A folder to work in whose path holds spaces and non-ASCII letters."""
    root = Path(tempfile.mkdtemp(prefix="talven reliability ")) / name
    root.mkdir()
    return root


def remove_root(root: Path) -> None:
    shutil.rmtree(root.parent, ignore_errors=True)


def show(report) -> None:
    """Prints what a suite tried and what held."""
    for line in report.failures:
        print("FAIL " + line)
    if report.skipped:
        print(f"SKIP {report.title}: {report.skipped}")
        return
    for line in report.lines:
        print(line)
    for row in [report.header] + report.rows if report.rows else []:
        print("  " + " | ".join(map(str, row)))
    print(f"{report.title}: {report.tried} tried, {report.held} held, "
          f"{report.tried - report.held} failed")

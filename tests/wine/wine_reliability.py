"""Reliability of the Windows executable under Wine: runs started at once in
one folder, files held for a moment, a delivery over 4 GiB, a kill at each
stage of the typical run and each of its file-system calls failing in turn.
Prints what was tried and what held. --exhaustive tries the exhaustive sets
(every kill point, errno and round); --record DOC does too, and
rewrites the Wine block of DOC (docs/reliability.md).

usage: wine_reliability.py [--record DOC] [--exhaustive] [--suite NAME]... [--wine LOADER]
                           [--prefix-template DIR] --holder HOLDER.exe EXE [EXE...]

EXE, LOADER and the exit status as for wine_runner.py, which provides the
Wine session, the boxes and the holder.
"""

import contextlib
import copy
import datetime
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import wine_runner as w
from wine_runner import TRANSIENT_CASES, Hold
from cases import DONE, EXE_MISSING, TYPICAL_AFTER, TYPICAL_BEFORE
from harness import NOTICE, Case, check, folder_differences, lay_out, read_folder

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "reliability"))
import common as c  # noqa: E402
import record  # noqa: E402

BEGIN = "<!-- WINE RESULTS: written by tools/reliability.sh wine; edits here are overwritten -->"
END = "<!-- END OF WINE RESULTS -->"

RUNS = 3
# One row per round: what is held while the runs show their notices, let go
# once every notice is gone. Gated: the folder lock, held as a run holds it,
# so that all of them meet it the moment it goes; and the executable in use,
# held 300 ms longer as a virus scanner holds it, so that the run with the
# lock is slow and every run has found the delivery before it is gone (runs
# that did not take turns would delete each other's copy). Free: nothing.
GATED = (Hold(c.LOCK, exclusive=True, let_go_ms=0), Hold(c.EXE, let_go_ms=300))
ROUNDS = (("gated", GATED), ("free", ()), ("gated", GATED), ("free", ()))
DEFAULT_ROUNDS = 2  # one of each
LAST_BOX = {0: DONE, 1: EXE_MISSING}

BIG = c.Sparse((1 << 32) + 40_961)
BIG_CASE = Case("delivered executable over 4 GiB (sparse)", {c.EXE: "exe 1", c.NEW_EXE: BIG},
                {c.EXE: BIG}, [DONE], 0, platforms=("wine",))
# Wine's CopyFileA writes the holes out as data: room for all of it, and 1 GiB.
BIG_ROOM = BIG.size + (1 << 30)
BIG_BOX_TIMEOUT_S = 600  # the copy and its flush, from the notice to the last box


def concurrent(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report(f"{RUNS} runs of the exe at once on one delivery (rounds)")
    shown = Counter()
    rounds = ROUNDS if exhaustive else ROUNDS[:DEFAULT_ROUNDS]
    for n, (start, held) in enumerate(rounds):
        folder = root / f"round {n}"
        folder.mkdir()
        # The holder holds only files that exist: a gate's lock file is laid out.
        lay_out(folder, {**TYPICAL_BEFORE, c.LOCK: ""} if held else TYPICAL_BEFORE)
        results = runner.run_together(folder, RUNS, held)
        statuses = Counter(r.status for r in results)
        shown.update(LAST_BOX.get(r.status, "other") for r in results)
        problems = [] if statuses == {0: 1, 1: RUNS - 1} else [f"exit statuses {dict(statuses)}"]
        problems += [f"run {i}: boxes {r.boxes!r}" for i, r in enumerate(results)
                     if r.boxes != [NOTICE, LAST_BOX.get(r.status)]]
        problems += folder_differences(TYPICAL_AFTER, read_folder(folder))
        if problems:
            problems += [f"run {i} log:\n{r.log}" for i, r in enumerate(results)]
        report.outcome(f"round {n} ({start} start)", problems)
    gated = sum(bool(held) for _, held in rounds)
    report.lines.append(
        f"{gated} of {len(rounds)} rounds behind a held lock and executable; "
        f"final message {shown[DONE]}, "
        f"missing executable {shown[EXE_MISSING]}, other {shown['other']}; checked in each round: "
        "one final message, the delivered executable and library in place, no lock file left")
    return report


def transient(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("transient lock: a holder lets go 300 ms after the notice, the run succeeds")
    for case in TRANSIENT_CASES:
        report.outcome(case.name, check(case, runner, root))
    report.lines.append("; ".join(case.name for case in TRANSIENT_CASES) +
                        ": the delete and the rename wait, the run ends fully updated")
    return report


def big(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("delivered executable over 4 GiB (sparse)")
    free = shutil.disk_usage(root).free
    if free < BIG_ROOM:
        report.skipped = (f"{free / (1 << 30):.1f} GiB free beside the folder, "
                          f"{BIG_ROOM / (1 << 30):.1f} GiB needed")
        return report
    runner.box_timeout_s = BIG_BOX_TIMEOUT_S
    try:
        report.outcome(BIG_CASE.name, check(BIG_CASE, runner, root, c.lay_out_all, c.snapshot))
    finally:
        runner.box_timeout_s = w.BOX_APPEAR_TIMEOUT_S
    report.lines.append(f"{BIG.size} bytes copied in full: size and marks at "
                        f"{', '.join(map(str, BIG.offsets()))} checked, no temporary left")
    return report


# --- A kill at any point, and injected faults -----------------------------
# Under Wine a run's file-system calls are split between two processes: the
# exe's own (name lookups, the copy's reads and writes, the flush) and the
# session's wineserver, which opens, renames and deletes files for every Wine
# process. strace is attached to the exe while its notice stands and to the
# running wineserver. -P on each name of the folder, as Wine's drive Z:
# spells it and as the kernel resolves it, picks out the calls on those names
# (by descriptor too); --inject counts only those, per process and call, so a
# point is named by process, system call and occurrence.

NAMES = sorted(c.COMPONENTS | c.TEMPORARIES | {c.LOCK})
STRACE = ("strace", "-f", "-qqq", "-y", "-ttt")
ATTACH_TIMEOUT_S = 30
# The calls failed in turn. Not failed: fcntl(F_SETFD) only marks a descriptor
# close-on-exec and fails on nothing but a bad descriptor.
FAILED = {"openat", "newfstatat", "statx", "getxattr", "fgetxattr", "readlink", "read", "pread64",
          "write", "pwrite64", "fsync", "fdatasync", "rename", "renameat", "renameat2", "unlink",
          "unlinkat", "fchmod", "utimensat", "close", "ftruncate", "fallocate", "flock"}
WRITES = {"write", "pwrite64", "fsync", "fdatasync", "rename", "renameat", "renameat2",
          "ftruncate", "fallocate"}
MODELS = {
    "exe": "the exe killed; the wineserver closes its handles, as Windows closes a killed "
           "process's handles",
    "server": "the machine running the exe dies at that call: the wineserver and every "
              "process of the session end, no handle is closed for them",
}

# What the run does when one call fails: the first row whose pattern matches
# "process: call file flags outcome errno" (outcome: "ok" or the error the
# call gave in the typical run) gives the exit status, or the statuses it
# may end with where Wine passes over or makes again some failures of a
# call and not others, and why.
EXE_COPY = r"TALVENClient(_NEW\.exe|\.exe\.tmp)"
ORACLE = [
    (r"TalvenClient_SET\.lck", 0, "folder lock: the run goes on without it, or leaves it to the "
     "next run to take over"),
    (r"^server: unlink TALVENClient(_VER|Version)\.txt ", 0,
     "the version file in use need not go first (the copy replaces it); a version delivery "
     "that will not go holds what the version file holds"),
    (r"TALVENClient(Version|_VER)\.txt", (0, 6),
     "the version file is copied after all, or it is not: every other component in place, "
     "both deliveries kept"),
    (r"^server: readlink TALVENClient\.exe ", 2,
     "the check that the executable in use could go cannot open it: nothing is touched"),
    (r"^exe: read TALVENClient_NEW\.exe ", 3,
     "the copy cannot read the delivery: it fails and the delivery stays"),
    (r"^server: (newfstatat|unlink) TALVENClient_NEW\.exe ", 3,
     "the delivery will not go after its copy"),
    (r"^exe: fsync TALVENClient\.exe\.tmp |"
     r"^exe: newfstatat TALVENClient\.exe\.tmp AT_SYMLINK_NOFOLLOW ok ", 3,
     "the copy's flush cannot open or flush the temporary: the copy fails, the delivery stays"),
    (r"^server: readlink \w+_new\.dll ", 5,
     "the link check on the delivered library opened to be renamed fails, and so does the rename"),
    (r"^server: readlink \w+\.dll ", 4,
     "the link check on the library in use opened to be renamed fails, and so does the rename"),
    (r"^(server: readlink|exe: (fstat|write|utimensat)) TALVENClient(_NEW\.exe|\.exe\.tmp) ", 3,
     "the readability check or the copy cannot open its files as themselves, look at them "
     "through their handles or write the temporary: the copy fails, the delivery stays"),
    (r" EACCES$", 0, "access denied: retried as another process's brief hold, and the next try "
     "goes through"),
    (r"^exe: fstat TALVENClient\.exe ", 2,
     "the check cannot read the executable's attributes: nothing is touched"),
    (r"^server: (openat|rename) .* EBUSY$", 0,
     "reaches the exe as a brief hold, retried, and the next try goes through"),
    (r"^server: openat TALVENClient\.exe .* EIO$", 2, "the executable in use will not go"),
    (rf"^server: (openat|rename) {EXE_COPY}|^exe: (fstat|write) {EXE_COPY} ", 3,
     "the readability check or the copy fails: its temporary is removed, the delivery stays"),
    (r"^(server: (openat|rename)|exe: fstat) \w+_new\.dll ", 5,
     "the delivered library is not renamed"),
    (r"^(server: (openat|rename)|exe: fstat) \w+\.dll ", 4, "the library in use is not set aside"),
    # The wineserver's look-ups around an open or a rename are counted with
    # the rest of its calls on the name, and which of them a count reaches
    # depends on timing: a failure there is passed over, or fails the open
    # or rename it belongs to.
    (r"^server: \w+ \w+_new\.dll ", (0, 5),
     "a wineserver call around the delivered library's rename: passed over, or the rename fails"),
    (r"^server: \w+ \w+\.dll ", (0, 4),
     "a wineserver call around the library in use's rename: passed over, or the rename fails"),
    (rf"^server: \w+ {EXE_COPY} ", (0, 3),
     "a wineserver call around the copy's opens or rename: passed over, or the copy fails"),
    (r"^server: \w+ TALVENClient\.exe ", (0, 2, 3),
     "a wineserver call around the check or the replacing rename: passed over, or the "
     "executable in use stays"),
    (r".", 0, "a call whose failure Wine passes over or makes again (its own look-ups around an "
     "open, attribute reads, closes, time stamps, the old backup's delete that makes a stamped "
     "backup name instead): the run goes on"),
]


def wineserver(session) -> int:
    """The wineserver of the session: it works in a directory named after the
    prefix's device and inode."""
    prefix = os.stat(session.env["WINEPREFIX"])
    wanted = f"/server-{prefix.st_dev:x}-{prefix.st_ino:x}"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (Path(f"/proc/{pid}/comm").read_text().startswith("wineserver")
                    and os.readlink(f"/proc/{pid}/cwd").endswith(wanted)):
                return int(pid)
        except OSError:
            continue  # a process that ended while the list was read
    return 0


def traced(pid: int) -> bool:
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return True  # ended: nothing left to wait for
    return int(re.search(r"TracerPid:\s+(\d+)", status)[1]) != 0


def path_options(session, folder: Path) -> list:
    drive = Path(session.env["WINEPREFIX"]) / "dosdevices" / "z:"
    return [option for name in NAMES for path in (folder / name, Path(f"{drive}{folder}") / name)
            for option in ("-P", str(path))]


def attach(options, pid: int):
    """strace attached to process `pid` with `options`, once it traces it."""
    tracer = subprocess.Popen([*STRACE, *options, "-p", str(pid)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + ATTACH_TIMEOUT_S
    while not traced(pid) and tracer.poll() is None and time.monotonic() < deadline:
        time.sleep(w.POLL_PAUSE_S)
    return tracer


def traced_run(runner, folder: Path, work: Path, exe=None, server=None):
    """One run of the exe in `folder`, its boxes read and dismissed as always,
    with strace attached to the exe's process while its notice stands
    (options `exe`: its file-system calls on the folder all come after it,
    and Wine's start-up is not slowed by the tracer) and to the wineserver
    (options `server`); None: that process is not traced. Returns the
    result, the calls of both, and whether the wineserver still runs."""
    paths = path_options(runner.session, folder)
    view = copy.copy(runner)
    tracers = []
    if exe is not None:
        view.at_notice = lambda pid: tracers.append(
            attach(["-o", str(work / "exe.trace"), *paths, *exe], pid))
    pid = wineserver(runner.session)
    if server is not None:
        tracers.append(attach(["-o", str(work / "server.trace"), *paths, *server], pid))
    try:
        result = view.run(folder, ())
    finally:
        for tracer in tracers:
            if tracer.poll() is None:
                tracer.send_signal(signal.SIGINT)  # detaches; a process still there runs on
            try:
                tracer.wait(timeout=w.EXIT_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                w.stop(tracer)
    calls = []
    for process in ("exe", "server"):
        trace = work / f"{process}.trace"
        if trace.exists():
            calls += c.calls_of(trace.read_text(errors="replace").splitlines(), process, True)
    return result, sorted(calls, key=lambda call: call.time), wineserver(runner.session) == pid


def revive(runner) -> None:
    """After the wineserver was killed, with every process of the session: a
    new anchor brings a new server up for the runs to come."""
    runner.session.anchor.stdin.close()
    w.stop(runner.session.anchor)
    runner.session.end_strays()
    runner.session.start_anchor(runner.holder_loader, runner.holder)


def rerun(runner, folder):
    return runner.run(folder, ())


# The second and third library go through the calls of the first.
LATER_LIBRARIES = re.compile("|".join(c.BASES[1:][::-1]))


def kill_points_of(calls) -> list:
    """The exhaustive set: each call that changes the folder (so that every
    copy, flush, rename and delete is cut). Between two of them, a kill of
    the exe leaves the same folder and the same handles for the server to
    close: its first call there. A kill of the server, at each call of its
    own kind on its own file there, leaves the handles it held until then."""
    kept, seen, stage = [], set(), 0
    for call in calls:
        key = (stage, call.process) + ((call.kind, call.subject) if call.process == "server" else ())
        if c.changes(call):
            key += (call.kind, call.subject)
        if key not in seen and not LATER_LIBRARIES.search(call.subject):
            seen.add(key)
            kept.append(call)
        stage += c.changes(call)
    return kept


def faults_of(calls) -> list:
    """Each call of a kind failed once per file: a repeat of the same call on
    the same file, with the same flags, is not failed again."""
    kept, seen = [], set()
    for call in calls:
        args = re.sub(r'"(?:[^"\\]|\\.)*"|<[^>]*>|0x[0-9a-f]+', "", call.args)
        key = (call.process, call.kind, call.subject, frozenset(re.findall(r"[A-Z][A-Z_]+", args)))
        if key not in seen and call.syscall in FAILED and not LATER_LIBRARIES.search(call.subject):
            seen.add(key)
            kept.append(call)
    return kept


def inject(call, what) -> str:
    return f"--inject={call.syscall}:{what}:when={call.occurrence}"


@contextlib.contextmanager
def two_runners(runner):
    """The runner and one more in a Wine session of its own, so that two runs
    go at once and a killed wineserver takes only its own session down."""
    with w.WineSession(runner.session.wine64) as session:
        session.start_anchor(runner.holder_loader, runner.holder)
        yield [runner, w.WineRunner(session, runner.program, runner.loader, runner.holder,
                                    runner.holder_loader)]


def sweep(runners, root: Path, jobs, one) -> list:
    """one(runner, folder, outside, work, *job) for each job, in a typical
    folder of its own, on whichever runner is free; its problems."""
    free = queue.Queue()
    for runner in runners:
        free.put(runner)

    def run(numbered):
        index, job = numbered
        folder, outside = c.typical_folder(root, index)
        work = root / "work" / f"{index:04d}"
        work.mkdir(parents=True)
        runner = free.get()
        try:
            return one(runner, folder, outside, work, *job)
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            return [f"could not run: {error}"]
        finally:
            free.put(runner)

    with ThreadPoolExecutor(len(runners)) as pool:
        return list(pool.map(run, enumerate(jobs, start=1)))


def baseline(runner, root: Path, report) -> list:
    """The calls of the typical run, and whether it ended fully updated."""
    folder, outside = c.typical_folder(root, 0)
    work = root / "work" / "0000"
    work.mkdir(parents=True)
    result, calls, _ = traced_run(runner, folder, work, exe=[], server=[])
    problems = c.box_problems(result, 0) + c.fully_updated(c.TYPICAL, c.snapshot(folder))
    report.outcome("the typical run under strace", problems + outside.problems())
    return calls


def killed_then_updated(runner, folder, outside, work, call):
    result, calls, server_runs = traced_run(runner, folder, work, **{call.process: [
        inject(call, "signal=KILL")]})
    last = [str(c) for c in calls if c.process == call.process][-1:]
    problems = [] if last == [str(call)] else [f"the last call traced is {last}"]
    if call.process == "server":
        if server_runs:
            problems.append("the wineserver was not killed")
        else:
            revive(runner)
    elif result.status != -signal.SIGKILL:
        problems.append(f"not killed (status {result.status})")
    return problems + c.disrupted_then_updated(runner, folder, outside, run=rerun)


def kill_points(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("a kill at each stage of the typical run")
    report.skipped = c.strace_missing()
    if report.skipped:
        return report
    root = root / "kill points"  # typical folders of its own, numbered from 0
    root.mkdir()
    calls = baseline(runner, root, report)
    every = kill_points_of(calls)
    points = c.kill_points(every, exhaustive)
    with two_runners(runner) as runners:
        outcomes = sweep(runners, root, [(call,) for call in points], killed_then_updated)
    for call, problems in zip(points, outcomes):
        report.outcome(f"killed at {call} ({inject(call, 'signal=KILL')})", problems)
    for process, model in MODELS.items():
        mine = [(call, p) for call, p in zip(points, outcomes) if call.process == process]
        kinds = Counter(call.syscall for call, _ in mine)
        report.lines.append(
            f"{process}: {len(mine)} kill points ({', '.join(f'{k} {n}' for k, n in sorted(kinds.items()))}), "
            f"{sum(not p for _, p in mine)} survived and then updated; model: {model}")
    report.lines.append(
        f"{len(calls)} calls on the folder's names in the typical run, {len(points)} kill points "
        f"of {len(every)}: " + ("" if exhaustive else "the first call of each process at each "
                                "stage between two calls that change the folder, out of ")
        + "each call that changes the folder, and between two of them the exe's first call and "
        "the server's first of each kind on each file; the second and third library's calls, "
        "which repeat the first's, left out")
    return report


def expected(call, errno):
    args = re.sub(r'"(?:[^"\\]|\\.)*"|<[^>]*>|AT_FDCWD|S_IF[A-Z]+', "", call.args)
    flags = "|".join(sorted(set(re.findall(r"[A-Z][A-Z_]+", args)))) or "-"
    outcome = call.result.split()[1] if call.result.startswith("-1 ") else "ok"
    for pattern, status, why in ORACLE:
        if re.search(pattern, f"{call} {flags} {outcome} {errno}"):
            return status, why
    raise LookupError(f"no row of ORACLE for {call} {errno}")


def failed_one(runner, folder, outside, work, call, errno):
    """One clear box with the status the oracle gives, nothing lost, nothing
    beside the folder changed. (No rerun: the kill sweep already shows that a
    rerun completes whatever a run left, and it would double the sweep.)"""
    status, _ = expected(call, errno)
    result, _, _ = traced_run(runner, folder, work, **{call.process: [inject(call, f"error={errno}")]})
    if isinstance(status, tuple):
        status = result.status if result.status in status else status[0]
    return (c.box_problems(result, status) + c.nothing_lost(c.TYPICAL, c.snapshot(folder))
            + outside.problems())


def errnos(call):
    return ("EACCES", "EIO", "EBUSY") + (("ENOSPC",) if call.syscall in WRITES
                                          or "O_CREAT" in call.args else ())


def injected_faults(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("each file-system call of the typical run failing in turn")
    report.skipped = c.strace_missing()
    if report.skipped:
        return report
    root = root / "injected faults"  # typical folders of its own, numbered from 0
    root.mkdir()
    calls = faults_of(baseline(runner, root, report))
    jobs = c.faults(calls, errnos, expected, exhaustive)
    with two_runners(runner) as runners:
        outcomes = sweep(runners, root, jobs, failed_one)
    tally = {}
    for (call, errno), problems in zip(jobs, outcomes):
        report.outcome(f"{call} #{call.occurrence} fails with {errno}", problems)
        key = expected(call, errno)
        tally.setdefault(key, [0, 0])
        tally[key][0] += 1
        tally[key][1] += not problems
    report.lines.append(
        f"{len(calls)} calls (each kind of call once per process, file and flags; the second "
        f"and third library's, which repeat the first's, left out) x "
        f"{'every errno' if exhaustive else 'one errno per outcome'} = {len(jobs)} runs")
    report.header = ("exit", "outcome of the failing call", "tried", "held")
    report.rows = [(status, why, tried, held) for (status, why), (tried, held) in sorted(
        tally.items(), key=lambda item: str(item[0]))]
    return report


# --- A reply lost after the call was carried out ----------------------------
# A test build of the exe (tests/wine/reply_lost.cpp, built beside the tests
# under the product's name) can make any one of its Win32 calls that change
# a name and then report failure, as a file server that lost the reply does.


def reply_lost_exe(program: Path) -> Path:
    """The test build that goes with `program` (the product or its twin)."""
    build = "windows64" if w.pe_is_64bit(program) else "windows"
    return Path(__file__).resolve().parents[2] / "build" / build / "tests" / "reply_lost" / program.name


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def lost_then_updated(runner, folder, outside, work, call):
    view = copy.copy(runner)
    view.env = {"TALVEN_REPLY_LOST": call}
    return (c.box_problems(view.run(folder, ()), 0)
            + c.disrupted_then_updated(view, folder, outside, run=rerun))


def reply_lost(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("each rename and delete of the typical run done, then reported failed")
    exe = reply_lost_exe(runner.program)
    if not exe.exists():
        report.skipped = f"{exe} is not built"
        return report
    view = copy.copy(runner)
    view.program = exe
    root = root / "reply lost"
    root.mkdir()
    folder, outside = c.typical_folder(root, 0)
    log = root / "calls.log"
    view.env = {"TALVEN_CALL_LOG": windows_path(log)}
    problems = c.box_problems(view.run(folder, ()), 0) + c.fully_updated(c.TYPICAL, c.snapshot(folder))
    report.outcome("the typical run of the test build", problems + outside.problems())
    done = [line.split() for line in (log.read_text().splitlines() if log.exists() else [])]
    calls = [f"{name}:{nth}" for name, nth, outcome in done if outcome == "ok"]
    view.env = {}
    outcomes = sweep([view], root, [(call,) for call in calls], lost_then_updated)
    for call, problems in zip(calls, outcomes):
        report.outcome(f"{call} done, then reported failed", problems)
    kinds = Counter(call.split(":")[0] for call in calls)
    report.lines.append(
        f"{len(calls)} calls that changed a name in the typical run ("
        + ", ".join(f"{k} {n}" for k, n in sorted(kinds.items()))
        + "): each carried out, then reported failed; the run ends fully updated with status 0, "
        "and one more run finds nothing to do")
    return report


SUITES = (concurrent, transient, big, kill_points, injected_faults, reply_lost)


def render(runner, wine: str, reports) -> str:
    version = subprocess.run([wine, "--version"], capture_output=True, text=True).stdout.strip()
    kind = ("x86-64 build of the same sources, in place of the 32-bit product"
            if w.pe_is_64bit(runner.program) else f"32-bit product, run {w.how_32bit_runs()}")
    rows = [(r.title, "skipped", "", r.skipped) if r.skipped else
            (r.title, r.tried, r.held, "; ".join(r.lines)) for r in reports]
    out = [BEGIN, "", f"Windows executable ({kind}) under {version}, {datetime.date.today()}: "
           "`tests/wine/wine_reliability.py`.", ""]
    out += record.table(("What", "Tried", "Held", "Notes"), rows) + [""]
    for report in reports:
        if report.rows and not report.skipped:
            out += [f"{report.title}:", ""] + record.table(report.header, report.rows) + [""]
    failures = [f for r in reports for f in r.failures]
    if failures:
        out += ["Did not hold:", ""] + [f"    {f}" for f in failures] + [""]
    return "\n".join(out + [END])


def main() -> int:
    w.run_32bit_through_qemu()
    parser = w.parse_args(__doc__.splitlines()[0])
    parser.add_argument("--record", type=Path, help="document whose Wine block to rewrite")
    parser.add_argument("--exhaustive", action="store_true", help="the exhaustive sets")
    parser.add_argument("--suite", action="append", choices=[s.__name__ for s in SUITES],
                        help="run only this suite (repeatable; not with --record)")
    args = parser.parse_args()
    if args.record and args.suite:
        parser.error("the record is written from every suite")
    suites = [s for s in SUITES if not args.suite or s.__name__ in args.suite]
    if args.record:
        record.around(args.record, BEGIN, END)  # missing markers fail before the runs
    with w.wine_runner(args) as runner:
        if runner is None:
            return w.SKIPPED
        root = Path(tempfile.mkdtemp(prefix="talven wine reliability ")) / "Client Ördner ünd Späces"
        root.mkdir()
        try:
            reports = [suite(runner, root, args.exhaustive or bool(args.record))
                       for suite in suites]
        finally:
            shutil.rmtree(root.parent, ignore_errors=True)
        block = render(runner, args.wine, reports)
    for report in reports:
        for line in report.failures:
            print("FAIL " + line)
        if report.skipped:
            print(f"SKIP {report.title}: {report.skipped}")
            continue
        for line in report.lines:
            print(line)
        print(f"{report.title}: {report.tried} tried, {report.held} held, "
              f"{report.tried - report.held} failed")
    if args.record:
        head, tail = record.around(args.record, BEGIN, END)
        args.record.write_text(head + block + tail)
    return 1 if any(r.failures for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main())

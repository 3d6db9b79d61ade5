"""Kills, injected faults and lost replies: one sweep for both builds, the
Linux program under strace and the Windows executable under Wine (strace
attached to the exe and to the session's wineserver).

Each disruption hits one call of the typical update (new executable, version
file and libraries, old library backups present), one run in a folder of its
own: a kill before the call (strace --inject=CALL:signal=KILL:when=N), the
call failing with an errno or, for a copy, copying nothing ("short"), or a
call that changes a name carried out and then reported failed, as by a file
server that lost its reply. One check follows every disruption: the run ended
with a status the build's oracle gives the call (a killed run was killed),
then common.disrupted_then_updated: nothing lost, TALVENClient.exe whole with
the old or the new executable, nothing beside the folder changed, and the
folder fully updated, by one more run with no new delivery where the
disrupted run left it short of that.

Between two calls that change the folder the disk does not change: the
default set kills once per stage (and process), and fails a call with one
errno per outcome the oracle gives it; --exhaustive tries every kill point
and errno. --record DOC runs every reliability suite of the build
exhaustively and rewrites its block of DOC (docs/reliability.md).

usage: sweeps.py [--exhaustive | --record DOC] [--suite NAME]... PATH-TO-TalvenClient_SET
       sweeps.py [same options] [--wine LOADER] [--prefix-template DIR]
                 --holder HOLDER.exe EXE [EXE...]    (Wine: EXE as for wine_runner.py)
Exit status 0, 1 (something did not hold) or 77 (nothing could run here).
"""

import argparse
import contextlib
import copy
import os
import platform
import queue
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from functools import partial
from pathlib import Path

import common as c
import concurrent_runs
import delivery
import hostile_folders
import record

KILL, SHORT, LOST = "KILL", "short", "done, reply lost"
ERRNOS = ("EACCES", "EIO", "EBUSY")


def kills(call):
    return (KILL,)


def lost(call):
    return (LOST,)


@dataclass(frozen=True)
class Pass:
    """Disruptions tried at the calls of one traced typical run."""
    name: str
    hows: object  # call -> what is tried at it: KILL, errnos, SHORT, LOST
    chosen: object = list  # the calls traced -> the calls disrupted
    options: tuple = ()  # strace options for every run of the pass


def inject(call, what) -> str:
    return f"--inject={call.syscall}:{what}:when={call.occurrence}"


def expected(target, call, how):
    """What a run disrupted at `call` must end with (a status, or the
    statuses it may end with), and why: for a fault, the first row of the
    build's oracle whose pattern matches the call as the build tells it."""
    if how == KILL:
        return "killed", target.killed(call)
    if how == LOST:
        return 0, "done, then reported failed: the names are looked at again, and it counts as done"
    text = target.told(call, how)
    for pattern, status, why in target.ORACLE:
        if re.search(pattern, text):
            return target.retried(call, how, status, why)
    raise LookupError(f"no row of the oracle for {text}")


class Target:
    """What the sweep needs of a build: PASSES (suite -> passes), ORACLE,
    traced (the typical run's calls), disrupt (one disrupted run: its result,
    and what shows a kill did not take), rerun (a plain run), workers (that
    run at once), and how the oracle reads a call (told, retried, killed)."""
    alike = None  # the exhaustive set kills at every call

    @staticmethod
    def retried(call, how, status, why):
        return status, why

    def more(self, suite, root, report, points):
        pass

    def recover(self, worker):
        """Makes `worker` fit for the next row after one that could not run."""


# --- The Linux build -----------------------------------------------------------------

FILE_CALLS = {"openat", "newfstatat", "statx", "unlinkat", "renameat2", "renameat", "linkat",
              "copy_file_range", "sendfile", "fchmod", "fsync", "close", "flock", "faccessat2",
              "ioctl"}
# The calls that change a name: deletes and renames retry a busy file, and
# each is also carried out and then reported failed (reply_lost.cpp, preloaded).
NAME_CHANGES = {"unlinkat", "renameat2", "renameat", "linkat"}
# Opens and checks are retried with the routine they belong to, the copy's
# data and flush are not: one EBUSY there is let go or fails as any error.
RETRIED_WITH_ROUTINE = {"openat", "fstat", "newfstatat", "fchmod", "faccessat2"}

# What the run does when this one call fails: the first row whose pattern
# matches "call file errno" gives the exit status (or the statuses it may end
# with), and why.
LINUX_ORACLE = [
    (r"^(unlinkat|renameat2?|linkat) .* EBUSY$", 0, "retried: the busy file is let go"),
    (r"^openat TalvenClient_SET\.lck EACCES$", 2,
     "the lock file cannot be made: without the lock nothing changes"),
    (r"TalvenClient_SET\.lck", 0, "folder lock: the failed try is made again at the next poll"),
    (r"^(newfstatat TALVENClient\.exe|faccessat2 \.) ", 2,
     "the executable in use cannot be found deletable: nothing is touched"),
    (r"^(openat|ioctl|close) TALVENClient\.exe ", 0,
     "the check cannot read the executable's flags; the rename that replaces it would tell"),
    (r"^ioctl ", 0, "a box's look for a terminal: none, so no wait"),
    (r"^close \. ", 0, "closing the folder after its flush loses nothing"),
    (r"^(openat|fsync) \. ", (3, 6),
     "the folder's flush after a copy's rename fails: that copy fails (the executable's 3, "
     "the version file's 6), both deliveries kept"),
    # Only "no such file" reads as absent; EACCES, EIO or EBUSY from a look-up
    # say nothing about the file.
    (r"^newfstatat TALVEN", 0,
     "a look-up failing for another reason than absence counts the file as there; "
     "the next calls find it"),
    (r"TALVENClient\.OLD\.exe", 0, "a left-over executable backup is no failure"),
    (r"^unlinkat TALVENClient\.exe\.tmp ", 0, "clearing a left-over temporary that is not there"),
    (r"^close TALVENClient_NEW\.exe ", 0, "closing the copy's source loses nothing"),
    (rf"^\w+ TALVENClient\.exe\.tmp {SHORT}$", 3,
     "the delivery comes out short: the copy fails, both executables stay"),
    (r"TALVENClient(_NEW)?\.exe", 3,
     "the check that the delivery can be read, its copy or its removal fails; it stays"),
    (r"^(unlinkat TALVENClientVersion\.txt(\.tmp)?|close TALVENClient_VER\.txt) ", 0,
     "the version file in use need not go first (the copy replaces it, and its "
     "temporary is made afresh); closing the copy's source loses nothing"),
    (r"^unlinkat TALVENClient_VER\.txt ", 0,
     "a version delivery that will not go holds what the version file holds"),
    (rf"TALVENClientVersion\.txt\.tmp {SHORT}$|^\w+ TALVENClient(Version\.txt\.tmp|_VER\.txt) ", 6,
     "the version file is not copied: every other component in place, both deliveries kept"),
    (r"^unlinkat \w+\.old\.dll ", 0, "an old backup that will not go: stamped backup name"),
    (r" \w+_new\.dll -> ", 5, "the delivered library is not renamed"),
    (r" \w+\.dll -> ", 4, "the library in use is not set aside"),
]


def linux_faults(call):
    writes = (call.syscall in {"copy_file_range", "sendfile", "fsync", "renameat", "renameat2",
                               "linkat"}
              or (call.syscall == "openat" and "O_CREAT" in call.args)
              or (call.syscall == "close" and call.subject.endswith(".tmp")))
    return (ERRNOS + (("ENOSPC",) if writes else ())
            + ((SHORT,) if call.syscall in ("copy_file_range", "sendfile") else ())
            + ((LOST,) if call.syscall in NAME_CHANGES else ()))


def after_notice(chosen):
    """Of the calls from the notice's write on, those `chosen` picks."""
    return lambda calls: list(filter(chosen, calls[next(
        i for i, call in enumerate(calls) if call.syscall == "write"):]))


class Linux(Target):
    """The Linux build, strace -f on the program, four runs at a time."""
    ORACLE = LINUX_ORACLE
    PASSES = {
        "kill_points": [Pass("kills", kills)],
        # Two more passes force the kernel fallbacks of the platform layer
        # (sendfile where copy_file_range is refused, link and unlink where
        # renameat2 is) and fail the fallback's own calls.
        "injected_faults": [
            Pass("plain", linux_faults, after_notice(lambda call: call.syscall in FILE_CALLS)),
            Pass("sendfile fallback", linux_faults,
                 after_notice(lambda call: call.syscall == "sendfile"),
                 ("--inject=copy_file_range:error=EXDEV",)),
            Pass("link fallback", linux_faults, after_notice(
                lambda call: call.syscall == "linkat"
                or (call.syscall == "unlinkat" and "->" in call.subject)),
                 ("--inject=renameat2:error=EINVAL",)),
        ],
    }

    def __init__(self, program: Path):
        self.program, self.workers = program, [program] * 4

    @staticmethod
    def title():
        strace = subprocess.run(["strace", "-V"], capture_output=True, text=True).stdout
        return f"Linux build, kernel {platform.release()}, {strace.splitlines()[0]}"

    @staticmethod
    def killed(call):
        return "the program killed at that call"

    @staticmethod
    def told(call, how):
        return f"{call} {how}"

    @staticmethod
    def retried(call, how, status, why):
        if how == "EBUSY" and call.kind in RETRIED_WITH_ROUTINE and status != 0:
            failed = status if isinstance(status, tuple) else (status,)
            return (0, *failed), "retried with its routine, or it fails as any error would"
        return status, why

    def traced(self, root: Path, report, p: Pass) -> list:
        return c.typical_calls(self.program, root, f"baseline {p.name}", p.options)

    @staticmethod
    def rerun(program, folder):
        return c.run(program, folder)

    def disrupt(self, program, folder, work, p, call, how):
        if how == LOST:
            shim = program.parent / "tests" / "libtalven_reply_lost.so"
            if not shim.exists():
                raise FileNotFoundError(f"{shim} is not built")
            env = {"LD_PRELOAD": str(shim), "TALVEN_REPLY_LOST": f"{call.syscall}:{call.occurrence}"}
            return c.run(program, folder, strace=p.options, env=env), []
        what = {KILL: "signal=KILL", SHORT: "retval=0"}.get(how, f"error={how}")
        result = c.run(program, folder, strace=[*p.options, inject(call, what)])
        killed = how != KILL or result.status == -signal.SIGKILL
        return result, [] if killed else [f"not killed (status {result.status})"]

    def more(self, suite, root: Path, report, points):
        """After the kills: one run after another killed in a single folder, a
        fresh delivery brought after each, so that whatever a killed copy
        leaves behind meets the next run (temporaries never pile up, nothing
        is lost); then the delivery program killed at each of its calls."""
        if suite != "kill_points":
            return
        folder = root / "chained" / "client"
        folder.mkdir(parents=True)
        c.lay_out_all(folder, c.TYPICAL)
        outside, held = c.Outside(folder.parent), 0
        for call in points:
            c.run(self.program, folder, strace=[inject(call, "signal=KILL")])
            problems = c.nothing_lost(c.TYPICAL, c.snapshot(folder)) + outside.problems()
            report.outcome(f"chained kill at {call}", problems)
            held += not problems
            c.redeliver(folder, c.TYPICAL)
        final = c.run(self.program, folder)
        problems = c.box_problems(final, 0) + c.fully_updated(c.TYPICAL, c.snapshot(folder))
        report.outcome("update after the chained kills", problems)
        report.lines.append(f"killed one after another in one folder: {held} of {len(points)} "
                            f"held, final update {'held' if not problems else 'see above'}")
        delivery.kill_pass(self.program, root, report)

    def suites(self):
        return {"concurrent_runs": lambda _, exhaustive: concurrent_runs.main(self.program, exhaustive),
                **{name: partial(sweep, self, name) for name in self.PASSES},
                "hostile_folders": lambda _, exhaustive: hostile_folders.main(self.program, exhaustive)}


# --- The Windows executable under Wine ----------------------------------------
# A run's file-system calls are split between two processes: the exe's own
# (name lookups, the copy's reads and writes, the flush) and the session's
# wineserver, which opens, renames and deletes files for every Wine process.
# strace is attached to the exe and to the running wineserver once the
# notice stands drawn, and detached once the last box stands: every call on
# the folder comes between them, and neither Wine's start-up nor the drawing
# of a box (many server calls) is slowed by the tracer. -P on each name of
# the folder, as Wine's drive Z: spells it and as the kernel resolves it,
# picks out the calls on those names (by descriptor too); --inject counts
# only those, per process and call, so a point is named by process, system
# call and occurrence.

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
# The second and third library go through the calls of the first.
LATER_LIBRARIES = re.compile("|".join(c.BASES[1:][::-1]))

# What the run does when one call fails: the first row whose pattern matches
# "process: call file flags outcome errno" (outcome: "ok" or the error the
# call gave in the typical run) gives the exit status, or the statuses it
# may end with where Wine passes over or makes again some failures of a
# call and not others, and why. A row names calls and files, never a count
# of calls, which differs between the 32-bit product and the twin.
EXE_COPY = r"TALVENClient(_NEW\.exe|\.exe\.tmp)"
# The wineserver's look-ups around an open or a rename are counted with the
# rest of its calls on the name, and which of them a count reaches depends on
# timing (a loaded machine reached another one): a failure there is passed
# over, or fails the open or rename it belongs to. Access denied there is
# retried as a brief hold first; its rows, outcomes of their own, come before
# the oracle's row for access denied, the others near its end.
AROUND = [  # the name, the statuses, what the look-up is around, what else may come
    (r"\w+_new\.dll", (0, 5), "the delivered library's rename", "the rename fails"),
    (r"\w+\.dll", (0, 4), "the library in use's rename", "the rename fails"),
    (EXE_COPY, (0, 3), "the copy's opens or rename", "the copy fails"),
    (r"TALVENClient\.exe", (0, 2, 3), "the check or the replacing rename",
     "the executable in use stays"),
]
AROUND_ROWS = [((rf"^server: \w+ {name} ", statuses,
                 f"a wineserver call around {what}: passed over, or {otherwise}"),
                (rf"^server: (?!openat |rename )\w+ {name} .* EACCES$", statuses,
                 f"access denied around {what}: retried, or {otherwise}"))
               for name, statuses, what, otherwise in AROUND]
WINE_ORACLE = [
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
    (r"^exe: fstat TALVENClient_NEW\.exe .* EACCES$", (0, 3),
     "the delivery's open and its look at the handle are retried together while access is "
     "denied (another's brief hold): the next try goes through, or the copy fails"),
    (r"^(server: readlink|exe: (fstat|write|utimensat)) TALVENClient(_NEW\.exe|\.exe\.tmp) ", 3,
     "the readability check or the copy cannot open its files as themselves, look at them "
     "through their handles or write the temporary: the copy fails, the delivery stays"),
    *[row for _, row in AROUND_ROWS],
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
    *[row for row, _ in AROUND_ROWS],
    (r".", 0, "a call whose failure Wine passes over or makes again (its own look-ups around an "
     "open, attribute reads, closes, time stamps, the old backup's delete that makes a stamped "
     "backup name instead): the run goes on"),
]


def wine_faults(call):
    return ERRNOS + (("ENOSPC",) if call.syscall in WRITES or "O_CREAT" in call.args else ())


def once_per_file(calls) -> list:
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


class Wine(Target):
    """The exe under Wine, on its runner and one more in a Wine session of its
    own, so that two runs go at once and a killed wineserver takes only its
    own session down."""
    ORACLE = WINE_ORACLE
    PASSES = {
        "kill_points": [Pass("kills", kills)],
        "injected_faults": [Pass("faults", wine_faults, once_per_file)],
        # A test build of the exe (tests/wine/reply_lost.cpp, built beside
        # the tests under the product's name) makes any one of its Win32 calls
        # that change a name and then reports failure.
        "reply_lost": [Pass("lost replies", lost)],
    }

    def __init__(self, runner, w, stack):
        self.runner, self.w, self.stack, self.second = runner, w, stack, None

    def title(self):
        version = subprocess.run([self.runner.session.wine64, "--version"], capture_output=True,
                                 text=True).stdout.strip()
        kind = ("x86-64 build of the same sources, in place of the 32-bit product"
                if self.w.pe_is_64bit(self.runner.program)
                else f"32-bit product, run {self.w.how_32bit_runs()}")
        return f"Windows executable ({kind}) under {version}"

    @property
    def workers(self):
        if self.second is None:
            r = self.runner
            session = self.stack.enter_context(self.w.WineSession(r.session.wine64))
            session.start_anchor(r.holder_loader, r.holder)
            self.second = self.w.WineRunner(session, r.program, r.loader, r.holder, r.holder_loader)
        return [self.runner, self.second]

    @staticmethod
    def alike(call):
        """The exhaustive set: each call that changes the folder (so that every
        copy, flush, rename and delete is cut). Between two of them, a kill of
        the exe leaves the same folder and the same handles for the server to
        close: its first call there. A kill of the server, at each call of its
        own kind on its own file there, leaves the handles it held until then."""
        if LATER_LIBRARIES.search(call.subject):
            return None
        return (call.kind, call.subject) if call.process == "server" or c.changes(call) else ()

    @staticmethod
    def killed(call):
        return MODELS[call.process]

    @staticmethod
    def told(call, how):
        args = re.sub(r'"(?:[^"\\]|\\.)*"|<[^>]*>|AT_FDCWD|S_IF[A-Z]+|\b(AT_)?STATX_\w+', "",
                      call.args)
        flags = "|".join(sorted(set(re.findall(r"[A-Z][A-Z_]+", args)))) or "-"
        outcome = call.result.split()[1] if call.result.startswith("-1 ") else "ok"
        return f"{call} {flags} {outcome} {how}"

    def test_build(self, runner):
        """A view of `runner` that runs the reply-lost test build of its exe."""
        build = "windows64" if self.w.pe_is_64bit(runner.program) else "windows"
        view = copy.copy(runner)
        view.program = (Path(__file__).resolve().parents[2] / "build" / build / "tests"
                        / "reply_lost" / runner.program.name)
        return view

    def traced(self, root: Path, report, p: Pass) -> list:
        """The calls of the typical run on the folder's names under strace, or
        those that change a name as the test build logs them; the run must
        end fully updated."""
        folder, outside = c.typical_folder(root / f"baseline {p.name}", 0)
        if p.hows is not lost:
            result, calls, _ = self.traced_run(self.runner, folder, root / "baseline", exe=[],
                                               server=[])
            what = "the typical run under strace"
        else:
            view, log = self.test_build(self.runner), root / "calls.log"
            if not view.program.exists():
                report.skipped = f"{view.program} is not built"
                return []
            view.env = {"TALVEN_CALL_LOG": "Z:" + str(log).replace("/", "\\")}
            result, what = view.run(folder, ()), "the typical run of the test build"
            done = [line.split() for line in (log.read_text().splitlines() if log.exists() else [])]
            calls = [c.Call(name, int(nth), "", "", name) for name, nth, ok in done if ok == "ok"]
        problems = c.box_problems(result, 0) + c.fully_updated(c.TYPICAL, c.snapshot(folder))
        report.outcome(what, problems + outside.problems())
        return calls

    def attach(self, options, pid: int):
        """strace attached to process `pid` with `options`, once it traces it."""
        tracer = subprocess.Popen([*STRACE, *options, "-p", str(pid)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + ATTACH_TIMEOUT_S
        while tracer.poll() is None and time.monotonic() < deadline:
            try:
                if re.search(r"TracerPid:\s+[1-9]", Path(f"/proc/{pid}/status").read_text()):
                    break
            except OSError:
                break  # ended: nothing left to wait for
            time.sleep(self.w.POLL_PAUSE_S)
        return tracer

    def traced_run(self, runner, folder: Path, work: Path, exe=None, server=None):
        """One run of the exe in `folder`, its boxes read and answered as
        always, with strace attached to the exe's process (options `exe`) and
        to the wineserver (options `server`; None: that process is not
        traced) from its notice to its last box. Returns the result, the
        calls of both, and whether the wineserver still runs."""
        work.mkdir(parents=True, exist_ok=True)
        drive = Path(runner.session.env["WINEPREFIX"]) / "dosdevices" / "z:"
        paths = [option for name in NAMES for path in (folder / name, Path(f"{drive}{folder}") / name)
                 for option in ("-P", str(path))]
        view, tracers, pid = copy.copy(runner), [], wineserver(runner.session)
        traced = [(process, options, process_id) for process, options, process_id
                  in (("exe", exe, None), ("server", server, pid)) if options is not None]

        def detach():
            while tracers:
                tracer = tracers.pop()
                if tracer.poll() is None:
                    tracer.send_signal(signal.SIGINT)  # detaches; a process still there runs on
                try:
                    tracer.wait(timeout=self.w.EXIT_TIMEOUT_S)
                except subprocess.TimeoutExpired:
                    self.w.stop(tracer)

        def at_box(exe_pid, number):
            # The notice stands, drawn: the run has not touched the folder yet,
            # and neither its start nor the box's drawing is traced. At its
            # last box the run has let go of the folder.
            if number > 1:
                detach()
                return
            for process, options, process_id in traced:
                tracers.append(self.attach(["-o", str(work / f"{process}.trace"), *paths, *options],
                                           process_id or exe_pid))
        view.at_box = at_box
        try:
            result = view.run(folder, ())
        finally:
            detach()
        calls = []
        for process in ("exe", "server"):
            trace = work / f"{process}.trace"
            if trace.exists():
                calls += c.calls_of(trace.read_text(errors="replace").splitlines(), process, True)
        return result, sorted(calls, key=lambda call: call.time), wineserver(runner.session) == pid

    @staticmethod
    def rerun(runner, folder):
        return runner.run(folder, ())

    def disrupt(self, runner, folder, work, p, call, how):
        if how == LOST:
            view = self.test_build(runner)
            view.env = {"TALVEN_REPLY_LOST": f"{call.syscall}:{call.occurrence}"}
            return view.run(folder, ()), []
        what = "signal=KILL" if how == KILL else f"error={how}"
        result, calls, server_runs = self.traced_run(runner, folder, work,
                                                     **{call.process: [inject(call, what)]})
        if how != KILL:
            return result, []
        last = [str(x) for x in calls if x.process == call.process][-1:]
        problems = [] if last == [str(call)] else [f"the last call traced is {last}"]
        if call.process == "exe" and result.status != -signal.SIGKILL:
            problems.append(f"not killed (status {result.status})")
        elif call.process == "server" and server_runs:
            problems.append("the wineserver was not killed")
        elif call.process == "server":
            # Every process of the session ended with it: a new anchor brings
            # a new server up for the runs to come.
            self.recover(runner)
        return result, problems

    def recover(self, runner):
        """The session of `runner` afresh: its anchor, and with it a server."""
        session = runner.session
        if session.anchor.stdin and not session.anchor.stdin.closed:
            session.anchor.stdin.close()
        self.w.stop(session.anchor)
        session.end_strays()
        session.start_anchor(runner.holder_loader, runner.holder)

    def suites(self):
        import wine_reliability as wr
        return {**{s.__name__: partial(s, self.runner) for s in (wr.concurrent, wr.transient, wr.big)},
                **{name: partial(sweep, self, name) for name in self.PASSES}}


# --- The sweep ----------------------------------------------------------------------

TITLES = {"kill_points": "a kill at each stage of the typical run",
          "injected_faults": "each file-system call of the typical run failing in turn",
          "reply_lost": "each rename and delete of the typical run done, then reported failed"}


def sweep(target, suite: str, root: Path, exhaustive: bool) -> c.Report:
    """Each pass of `suite`: the typical run traced, then each disruption
    chosen from its calls in a typical folder of its own, on whichever of the
    target's workers is free, checked as the module's doc says."""
    report = c.Report(TITLES[suite])
    report.skipped = c.strace_missing()
    if report.skipped:
        return report
    root = root / suite
    root.mkdir()
    jobs = []
    for p in target.PASSES[suite]:
        traced = target.traced(root, report, p)
        if report.skipped:
            return report
        if p.hows is kills:
            chosen = [(call, KILL) for call in c.kill_points(p.chosen(traced), exhaustive,
                                                               target.alike)]
        else:
            chosen = c.faults(p.chosen(traced), p.hows, partial(expected, target), exhaustive)
        jobs += [(p, call, how) for call, how in chosen]
        kinds = {}
        for call, _ in chosen:
            kinds[call.syscall] = kinds.get(call.syscall, 0) + 1
        report.lines.append(f"{p.name}: {len(chosen)} runs at {len({id(x) for x, _ in chosen})} "
                            f"of the {len(traced)} calls traced ("
                            + ", ".join(f"{k} {n}" for k, n in sorted(kinds.items())) + ")")
    free = queue.Queue()
    for worker in target.workers:
        free.put(worker)

    def one(numbered):
        index, (p, call, how) = numbered
        folder, outside = c.typical_folder(root, index)
        worker = free.get()
        try:
            result, problems = target.disrupt(worker, folder, root / "work" / f"{index:04d}", p,
                                              call, how)
            if how != KILL:
                problems += c.box_problems(result, expected(target, call, how)[0])
            return problems + c.disrupted_then_updated(worker, folder, outside, run=target.rerun)
        except Exception as error:  # the row fails, and says why; the others go on
            problems = [f"could not run: {error!r}"]
            try:
                target.recover(worker)
            except Exception as again:  # the worker's later rows fail too, each saying so
                problems.append(f"nor could its worker start afresh: {again!r}")
            return problems
        finally:
            free.put(worker)

    with ThreadPoolExecutor(free.qsize()) as pool:
        outcomes = list(pool.map(one, enumerate(jobs, start=1)))
    tally = {}
    for (p, call, how), problems in zip(jobs, outcomes):
        report.outcome(f"{p.name}: {call} #{call.occurrence} "
                       + ("killed" if how == KILL else f"fails with {how}"), problems)
        counts = tally.setdefault(expected(target, call, how), [0, 0])
        counts[0] += 1
        counts[1] += not problems
    report.lines.append(("every kill point" if exhaustive else "a kill at each stage between two "
                         "calls that change the folder") if suite == "kill_points" else
                        ("every errno" if exhaustive else "one errno per outcome the oracle gives"))
    report.header = ("exit", "outcome of the disrupted call", "tried", "held")
    report.rows = [(status, why, tried, held) for (status, why), (tried, held)
                   in sorted(tally.items(), key=lambda item: str(item[0]))]
    target.more(suite, root, report, [call for _, call, _ in jobs])
    return report


def main() -> int:
    wine = any(arg.endswith(".exe") for arg in sys.argv[1:])
    if wine:
        sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "wine"))
        import wine_runner as w
        w.run_32bit_through_qemu()
        parser = w.parse_args(__doc__.splitlines()[0])
    else:
        parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
        parser.add_argument("programs", type=Path, nargs=1)
    parser.add_argument("--exhaustive", action="store_true", help="the exhaustive sets")
    parser.add_argument("--record", type=Path, help="document whose block to rewrite")
    parser.add_argument("--suite", action="append", help="run only this suite (repeatable)")
    args = parser.parse_args()
    markers = record.MARKERS["wine" if wine else "linux"]
    if args.record:
        record.around(args.record, *markers)  # missing markers fail before the runs
    with contextlib.ExitStack() as stack:
        if wine:
            runner = stack.enter_context(w.wine_runner(args))
            if runner is None:
                return c.SKIP
            target = Wine(runner, w, stack)
        else:
            target = Linux(args.programs[0].resolve())
        suites = target.suites()
        if set(args.suite or ()) - suites.keys() or (args.record and args.suite):
            parser.error(f"suites: {', '.join(suites)}; the record is written from every one")
        root = c.new_root()
        stack.callback(c.remove_root, root)
        reports = [suite(root, args.exhaustive or bool(args.record)) for name, suite
                   in suites.items() if not args.suite or name in args.suite]
        title = target.title() if args.record else ""
    for report in reports:
        c.show(report)
    if args.record:
        record.write(args.record, *markers, title, reports)
    if any(r.failures for r in reports):
        return 1
    return c.SKIP if all(r.skipped for r in reports) else 0


if __name__ == "__main__":
    sys.exit(main())

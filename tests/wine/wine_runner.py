"""Runs the end-to-end cases against the Windows executable under Wine.

usage: wine_runner.py [--wine LOADER] [--prefix-template DIR] [--only RE] [--skip RE]
                      [--pictures DIR] --holder HOLDER.exe EXE [EXE...]
       wine_runner.py [--wine LOADER] --make-prefix DIR

EXE lists builds of the same sources, the 32-bit product first: the first
that runs here is tested (32-bit Wine natively, or where the kernel cannot
execute 32-bit code, through qemu-i386 in a user and mount namespace of the
script's own). LOADER runs 64-bit programs; --make-prefix makes the prefix
that --prefix-template copies for each session; --only and --skip choose rows
by name. Exit status 0, 1 (a case failed) or 77 (nothing listed runs here).

One Wine session serves every case: a prefix, a virtual X display and Wine's
virtual desktop, where Wine draws each box's caption and close button itself.
Each box is read from Wine's relay trace of user32.MessageBoxA (owner, text,
caption and style as the program passed them) and answered from inside Wine
by the session's anchor (tests/wine/holder.cpp), which posts to the box the
command a user's key or close button gives it: no X focus, click or key that
a loaded machine could make miss. With --pictures DIR, the boxes of a typical
and of a failed run are photographed into DIR and each is answered with a
real X key press instead, as a person would.
"""

import argparse
import contextlib
import os
import queue
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "reliability"))
from cases import CASES, TYPICAL_BEFORE  # noqa: E402
from harness import (DismissNotice, Hold, LongFolder, Patience, ReadOnly, ReadOnlyFolder,  # noqa: E402
                     Result, Running, lay_out, run_all)

# The i386 loader itself: Debian's /usr/bin/wine falls back to the 64-bit
# one where 32-bit Wine is not installed.
WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE
# Every Wine process starts with a fixed address-space layout: Debian's Wine
# has no preloader, and a randomized heap took the address of Wine's shared
# user data in about one start in a thousand (docs/reliability.md).
FIXED_LAYOUT = ["setarch", "-R"]

# Bounds on every wait, so that a box nobody finds cannot hang the suite.
PREFIX_SETUP_TIMEOUT_S = 300
WINE_COMMAND_TIMEOUT_S = 120
HOLDER_READY_TIMEOUT_S = 60
BOX_APPEAR_TIMEOUT_S = 60  # from start (or the last box) to the next box
# From the answer to MessageBoxA's return; the answerer itself waits up to
# 30 s for the box's window (holder.cpp, BOX_WAIT_MS).
DISMISS_TIMEOUT_S = 60
EXIT_TIMEOUT_S = 60
POLL_PAUSE_S = 0.05

CAPTION = "TALVEN Client"
KINDS = {0x2040: "information", 0x2010: "error"}  # task-modal, OK, with icon


# --- Reading the relay trace -------------------------------------------------

_ARG = r'[0-9a-f]+(?: (?:"(?:[^"\\]|\\.)*"(?:\.\.\.)?|\(null\)))?'
CALL = re.compile(rf"Call user32\.MessageBoxA\(({_ARG}),({_ARG}),({_ARG}),({_ARG})\) ret=")
RELAY = re.compile(rb"[0-9a-f]+:(Call|Ret|Starting|trace:relay)")  # the rest of the trace
RET = re.compile(r"Ret  user32\.MessageBoxA\(\) retval=")
_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def relay_string(arg: str):
    """The string Wine's relay trace shows for a char* argument, unescaped;
    None for a null pointer. A string the trace cut short keeps its "..."."""
    match = re.fullmatch(r'[0-9a-f]+ "((?:[^"\\]|\\.)*)"(\.\.\.)?', arg)
    if not match:
        return None
    text = re.sub(r"\\x([0-9a-f]{2})|\\(.)",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else _ESCAPES.get(m.group(2), m.group(2)),
                  match.group(1))
    return text + (match.group(2) or "")


def box_of(line: str):
    """(kind, text) of one traced MessageBoxA call. A box that is not shown
    as the program must show it (an owner, another caption, another style)
    gets a kind that says so, and fails the comparison."""
    owner, text, caption, style = CALL.search(line).groups()
    kind = KINDS.get(int(style, 16), f"style {style}")
    if int(owner.split()[0], 16) != 0:
        kind += f" with owner {owner}"
    if relay_string(caption) != CAPTION:
        kind += f" captioned {relay_string(caption)!r}"
    return kind, relay_string(text)


# --- Processes -------------------------------------------------------------

def pe_is_64bit(path: Path) -> bool:
    data = path.read_bytes()[:4096]
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        raise ValueError(f"{path} is not a Windows executable")
    return struct.unpack_from("<H", data, offset + 4)[0] == 0x8664


def read_line(pipe, timeout_s: float) -> str:
    """One line from a child's pipe, or "" when none comes in time."""
    ready, _, _ = select.select([pipe], [], [], timeout_s)
    return pipe.readline().decode(errors="replace") if ready else ""


def loader_starts(loader: str) -> bool:
    """The quick test, needing no prefix: a kernel without 32-bit code fails the i386 loader."""
    try:
        return subprocess.run([loader, "--version"], capture_output=True, timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


# binfmt_misc's rule for i386 ELF programs (static and dynamic), as qemu
# ships it; F: qemu-i386 is opened now, so that it is found in any mount
# namespace and chroot.
I386_RULE = (r":talven-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00"
             r"\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff"
             r"\xff\xff\xfe\xff\xff\xff:{qemu}:F")
QEMU_MARK = "TALVEN_WINE_THROUGH_QEMU"  # set inside the namespace: what runs 32-bit code


def run_32bit_through_qemu() -> None:
    """Where the kernel cannot execute 32-bit code but qemu-i386 is
    installed, runs this script again in a user and mount namespace of its
    own, with a binfmt_misc of that namespace's own that hands i386 programs
    to qemu-i386. Nothing outside the namespace sees the rule; the script's
    processes, its Wine sessions and strace all run inside it."""
    qemu = shutil.which("qemu-i386")
    if os.environ.get(QEMU_MARK) is not None or not qemu or not Path(WINE32).exists() \
            or loader_starts(WINE32):
        return
    binfmt = "/proc/sys/fs/binfmt_misc"
    setup = f'mount -t binfmt_misc talven {binfmt} && printf %s "$0" >{binfmt}/register && exec "$@"'
    sys.stdout.flush()
    os.execvpe("unshare", ["unshare", "--user", "--map-root-user", "--mount", "--", "sh", "-c",
                           setup, I386_RULE.format(qemu=qemu), sys.executable, *sys.argv],
               {**os.environ, QEMU_MARK: qemu})


def how_32bit_runs() -> str:
    qemu = os.environ.get(QEMU_MARK)
    if not qemu:
        return "natively"
    said = subprocess.run([qemu, "--version"], capture_output=True, text=True).stdout.split()
    return " ".join(["through qemu-i386", *said[2:3]])  # "qemu-i386 version 8.2.2 ..."


def stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.kill()
    process.wait(timeout=EXIT_TIMEOUT_S)


class WineSession:
    """A Wine prefix and X display of its own, set up once for all cases."""

    template = None  # a prefix made by --make-prefix, copied instead of made

    def __init__(self, wine64: str):
        self.wine64 = wine64
        self.root = Path(tempfile.mkdtemp(prefix="talven-wine-"))
        self.xvfb = None
        self.anchor = None
        self.env = dict(os.environ)
        # No mono or gecko installer dialogs while the prefix is made.
        self.env.update(WINEPREFIX=str(self.root / "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("WINEARCH", None)
        self.env.pop("WINESERVER", None)

    def __enter__(self):
        try:
            self._start_display()
            self._make_prefix()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start_display(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = read_line(pipe, WINE_COMMAND_TIMEOUT_S).strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = f":{number}"

    def wine(self, *args, loader=None, timeout_s=WINE_COMMAND_TIMEOUT_S, cwd=None):
        return subprocess.run([*FIXED_LAYOUT, loader or self.wine64, *args], env=self.env, cwd=cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout_s)

    def _make_prefix(self):
        if self.template:
            subprocess.run(["cp", "-a", str(self.template), self.env["WINEPREFIX"]], check=True)
            return
        done = self.wine("wineboot", "-i", timeout_s=PREFIX_SETUP_TIMEOUT_S)
        if done.returncode != 0:
            raise RuntimeError(f"wineboot failed: {done.stderr.decode(errors='replace')}")
        for key, value, data in [
            # Relay only MessageBoxA: everything else would flood the trace.
            (r"HKCU\Software\Wine\Debug", "RelayInclude", "user32.MessageBoxA"),
            (r"HKCU\Software\Wine\Explorer", "Desktop", "Default"),
            (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "800x600"),
        ]:
            done = self.wine("reg", "add", key, "/v", value, "/t", "REG_SZ", "/d", data, "/f")
            if done.returncode != 0:
                raise RuntimeError(f"reg add {key} {value} failed")

    def start_anchor(self, loader: str, holder: Path):
        """Keeps one quiet program with a hidden window running all session
        long, so that Wine's own services and its desktop start once, with
        tracing off, and do not come and go (and write into each run's
        trace) with every run. A desktop that closed a second after each run
        restarted under the next one's box, which then was never drawn."""
        self.anchor = subprocess.Popen([*FIXED_LAYOUT, loader, str(holder), "--anchor"],
                                       env=self.env, cwd=self.root, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        answer = read_line(self.anchor.stdout, HOLDER_READY_TIMEOUT_S)
        if answer.strip() != "held":
            raise RuntimeError(f"the holder does not start under Wine: {answer!r}")

    def answer(self, thread: str, how: str) -> str:
        """Has the anchor answer the box of Wine thread `thread` (hex) with
        `how` (Return, Escape, close): "answered", or why not."""
        try:
            self.anchor.stdin.write(f"{thread} {how}\n".encode())
            self.anchor.stdin.flush()
        except (OSError, ValueError) as error:  # ValueError: its input is closed
            return f"the answerer is gone: {error}"
        return read_line(self.anchor.stdout, DISMISS_TIMEOUT_S).strip() or "the answerer said nothing"

    def runs_32bit(self) -> bool:
        try:
            return (loader_starts(WINE32) and
                    self.wine("cmd", "/c", "exit", loader=WINE32, timeout_s=60).returncode == 0)
        except (OSError, subprocess.TimeoutExpired):
            return False

    def end_strays(self) -> None:
        """Kills every process left of this session's prefix. Wine's services
        (winedevice.exe and the like) outlive a wineserver that was killed and
        would pile up, a few MiB each, run after run."""
        wanted = f"WINEPREFIX={self.env['WINEPREFIX']}".encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if wanted in Path(f"/proc/{pid}/environ").read_bytes().split(b"\0"):
                    os.kill(int(pid), signal.SIGKILL)
            except OSError:
                continue  # ended meanwhile, or not ours to read

    def wineserver(self) -> str:
        wineserver = Path(self.wine64).with_name("wineserver")
        return str(wineserver if wineserver.exists() else shutil.which("wineserver") or "wineserver")

    def save_prefix(self, destination: Path) -> None:
        """Copies the prefix to `destination` (replaced) once its server ended and saved the registry."""
        subprocess.run([self.wineserver(), "-w"], env=self.env, timeout=PREFIX_SETUP_TIMEOUT_S, check=True)
        shutil.rmtree(destination, ignore_errors=True)
        subprocess.run(["cp", "-a", self.env["WINEPREFIX"], str(destination)], check=True)

    def __exit__(self, *_):
        if self.anchor:
            self.anchor.stdin.close()
            try:
                self.anchor.wait(timeout=EXIT_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                stop(self.anchor)
        try:
            subprocess.run([self.wineserver(), "-k"], env=self.env, timeout=EXIT_TIMEOUT_S,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.TimeoutExpired):
            pass  # the prefix is removed below either way
        self.end_strays()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=EXIT_TIMEOUT_S)
        shutil.rmtree(self.root, ignore_errors=True)


class TracedRun:
    """One run of the program under the relay trace. The trace is read on a
    thread of its own (a full pipe would stop Wine); its MessageBoxA lines,
    then None at the end, arrive in `lines`."""

    def __init__(self, runner, folder: Path, log: list):
        env = dict(runner.session.env, **runner.env, WINEDEBUG="-all,err+all,+relay")
        self.process = subprocess.Popen([*FIXED_LAYOUT, runner.loader, str(runner.program)],
                                        env=env, cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.log = log
        self.boxes = []
        self.box_thread = ""
        self.dismissed = 0
        self.ended = self.timed_out = False
        self.said = []
        threading.Thread(target=self._read_trace, daemon=True).start()

    def _read_trace(self):
        for raw in self.process.stderr:
            if b"user32.MessageBoxA(" in raw:
                self.lines.put(raw.decode(errors="replace"))
            elif not RELAY.match(raw) and len(self.said) < 40:  # Wine's own: why a run did not start
                self.said.append(raw.decode(errors="replace").rstrip())
        self.lines.put(None)

    def take(self, timeout_s: float) -> str:
        """The trace's next event: "box" (one is shown), "dismissed" (a box
        returned) or "ended"; queue.Empty when none comes in time."""
        while True:
            line = self.lines.get(timeout=timeout_s)
            if line is None:
                self.ended = True
                return "ended"
            if CALL.search(line):
                self.log.append(line.strip())
                self.boxes.append(box_of(line))
                self.box_thread = line.split(":", 1)[0]  # Wine's thread id, in hex
                return "box"
            if RET.search(line):
                self.log.append(line.strip())
                self.dismissed += 1
                return "dismissed"

    def news(self) -> int:
        """Takes in what the trace says so far: how many events."""
        count = 0
        while not self.ended:
            try:
                self.take(0)
            except queue.Empty:
                break
            count += 1
        return count

    def waiting(self) -> bool:
        """A box of this run stands and waits for the user."""
        return len(self.boxes) > self.dismissed and not self.ended

    def result(self) -> Result:
        status = None
        if not self.timed_out:
            try:
                status = self.process.wait(timeout=EXIT_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.log.append("did not end")
        stop(self.process)
        return Result(status, self.boxes, "\n".join(self.log + self.said))


@dataclass(eq=False)  # a runner is itself, as a worker of the sweeps
class WineRunner:
    session: WineSession
    program: Path
    loader: str
    holder: Path
    holder_loader: str
    # From start (or the last box) to the next box; a long copy needs more.
    box_timeout_s: float = BOX_APPEAR_TIMEOUT_S
    # Called with the run's process id and the box's number while each box
    # stands, once drawn (the sweeps trace the run from its notice, before it
    # touches the folder, to its last box, after it has let go of it).
    at_box: object = None
    env: dict = field(default_factory=dict)  # added to the session's for the program's runs

    def start_holder(self, folder: Path, hold: Hold, log: list, args=None) -> subprocess.Popen:
        mode = (["--scan", str(hold.scan_ms)] if hold.scan_ms is not None
                else ["--access", hold.access, "--share", hold.share])
        # A scanner runs ahead of other work: a starved one missed a temporary living a few ms.
        ahead = ["nice", "-n", "-10"] if hold.scan_ms is not None and os.geteuid() == 0 else []
        args = [*ahead, *FIXED_LAYOUT, self.holder_loader, *(args or [str(self.holder), *mode, hold.name])]
        process = subprocess.Popen(args, env=self.session.env, cwd=folder, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        said = read_line(process.stdout, HOLDER_READY_TIMEOUT_S)
        if said.strip() != "held":
            stop(process)
            raise RuntimeError(f"holder could not hold {hold.name}: said {said!r}, status "
                               f"{process.returncode}, {process.stderr.read().decode()!r}")
        log.append(f"holding {hold}")
        return process

    def run(self, folder: Path, held) -> Result:
        conditions = [Hold(c) if isinstance(c, str) else c for c in held]
        deep = next((c.length for c in conditions if isinstance(c, LongFolder)), None)
        read_only = any(isinstance(c, ReadOnlyFolder) for c in conditions)
        try:
            with deep_folder(folder, deep) as where, read_only_mount(where, read_only):
                return self._run_case(where, conditions)
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            return Result(None, [], f"could not run the case: {error}")

    def _run_case(self, folder: Path, conditions) -> Result:
        notice_key = next((c.how for c in conditions if isinstance(c, DismissNotice)), "Return")
        box_timeout_s = next((c.box_timeout_s for c in conditions if isinstance(c, Patience)),
                             self.box_timeout_s)
        log = []
        for c in conditions:
            if isinstance(c, ReadOnly):  # Wine's read-only attribute: no write permission
                os.chmod(folder / c.name, os.stat(folder / c.name).st_mode & ~0o222)
        holders, run = [], None
        running = [c for c in conditions if isinstance(c, Running)]
        contents = {c.name: (folder / c.name).read_bytes() for c in running}
        try:
            # Those started go again when a later one cannot hold.
            for c in conditions:
                if isinstance(c, Hold):
                    holders.append((c, self.start_holder(folder, c, log)))
            for c in running:
                shutil.copyfile(self.holder, folder / c.name)
                holders.append((Hold(c.name), self.start_holder(folder, Hold(c.name), log,
                                                                [str(folder / c.name)])))
            run = TracedRun(self, folder, log)
            try:
                while run.take(box_timeout_s) != "ended":
                    if not run.waiting():
                        continue
                    how = notice_key if len(run.boxes) == 1 else "Return"
                    standing = not self.at_box or self.session.answer(run.box_thread, "wait") == "answered"
                    if standing and self.at_box:
                        self.at_box(run.process.pid, len(run.boxes))
                    if not standing or not self._dismiss(run, how):
                        log.append(f"box {len(run.boxes)} could not be dismissed with {how}")
                        run.timed_out = True
                        break
                    if len(run.boxes) == 1:
                        self._let_go(holders)
            except queue.Empty:
                log.append("timed out")
                run.timed_out = True
            result = run.result()
        finally:
            if run:
                stop(run.process)
            self._end_holders(holders)
            for name, content in contents.items():
                if (folder / name).read_bytes() == self.holder.read_bytes():
                    (folder / name).write_bytes(content)
        # A working file must never come out read-only (Wine: no write
        # permission), or every later update fails on it: only the files the
        # case made read-only may be.
        marked = {c.name for c in conditions if isinstance(c, ReadOnly)}
        for entry in sorted(os.listdir(folder)):
            try:
                mode = os.lstat(folder / entry).st_mode
            except FileNotFoundError:
                continue  # a killed run's file to delete on close, gone as its handle closed
            if entry not in marked and stat.S_ISREG(mode) and not mode & stat.S_IWUSR:
                result.boxes.append(("read-only", entry))
        # A scanner that never opened its file proved nothing: that fails the
        # case as a box nobody expects would.
        for hold, process in holders:
            if hold.scan_ms is not None:
                said = process.stdout.read().decode(errors="replace")
                result.log += f"\nscanner: {said.strip()!r}"
                if f"caught {hold.name}" not in [line.strip() for line in said.splitlines()]:
                    result.boxes.append(("scanner", f"never caught {hold.name}"))
        return result

    def _dismiss(self, run: TracedRun, how: str) -> bool:
        """Has the box of `run` answered with `how` and waits until it
        returns; what went wrong goes into the run's log."""
        said = self.session.answer(run.box_thread, how)
        if said != "answered":
            run.log.append(f"{how} to the box of thread {run.box_thread}: {said}")
            return False
        try:
            return run.take(DISMISS_TIMEOUT_S) == "dismissed"
        except queue.Empty:
            run.log.append(f"{how} to the box of thread {run.box_thread} left it standing")
            return False

    def run_together(self, folder: Path, count: int, held=()) -> list:
        """Starts `count` runs in `folder` at once and answers their boxes,
        none before every run shows its notice, so that they go on together.
        Each Hold in `held` holds its file until every notice is gone, then
        lets go (after its let_go_ms)."""
        log = []
        holders = [(hold, self.start_holder(folder, hold, log)) for hold in held]
        runs = []
        try:
            runs = [TracedRun(self, folder, list(log)) for _ in range(count)]
            last_news = time.monotonic()
            while not all(run.ended for run in runs):
                if sum(run.news() for run in runs):
                    last_news = time.monotonic()
                if holders and all(run.dismissed for run in runs):
                    self._let_go(holders)
                    holders, ended = [], holders
                    self._end_holders(ended)
                if all(run.boxes for run in runs) and any(run.waiting() for run in runs):
                    # Its next news is its box's return: the others' wait in their queues.
                    if not self._dismiss(next(run for run in runs if run.waiting()), "Return"):
                        raise TimeoutError("a box could not be answered")
                    last_news = time.monotonic()
                elif time.monotonic() - last_news > self.box_timeout_s:
                    raise TimeoutError("no box came")
                else:
                    time.sleep(POLL_PAUSE_S)
        except TimeoutError as error:
            for run in runs:
                run.log.append(f"timed out: {error}")
                run.timed_out = True
        except BaseException:
            for run in runs:
                stop(run.process)
            raise
        finally:
            self._end_holders(holders)
        return [run.result() for run in runs]

    @staticmethod
    def _let_go(holders) -> None:
        for hold, holder in holders:
            if hold.let_go_ms is not None:
                holder.stdin.write(f"{hold.let_go_ms}\n".encode())
                holder.stdin.flush()

    @staticmethod
    def _end_holders(holders) -> None:
        for _, process in holders:
            if process.poll() is None:
                process.stdin.close()
            try:
                process.wait(timeout=EXIT_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                stop(process)


@contextlib.contextmanager
def deep_folder(folder: Path, length):
    """Moves the files of `folder` into a folder below it whose Windows path
    (Z:\\...) is `length` characters long, and yields that one; moves them
    back up afterwards. With length None, yields `folder` itself."""
    if length is None:
        yield folder
        return
    below = length - len(f"Z:{folder}/")  # in names of at most 101 characters
    if below < 1:
        raise RuntimeError(f"{folder} is too long to go down to {length} characters")
    steps = (below - 1) // 101
    deep = folder / (("d" * 100 + "/") * steps + "d" * (below - 101 * steps))
    names = os.listdir(folder)
    deep.mkdir(parents=True)
    for name in names:
        os.rename(folder / name, deep / name)
    try:
        yield deep
    finally:
        for name in os.listdir(deep):
            os.rename(deep / name, folder / name)
        shutil.rmtree(folder / deep.relative_to(folder).parts[0])


@contextlib.contextmanager
def read_only_mount(folder: Path, wanted: bool):
    """`folder` mounted read-only over itself while the block runs."""
    if not wanted:
        yield
        return
    subprocess.run(["mount", "--bind", folder, folder], check=True, capture_output=True)
    try:
        subprocess.run(["mount", "-o", "remount,bind,ro", folder], check=True,
                       capture_output=True)
        yield
    finally:
        # Wine's server may still look into the folder for a moment.
        for _ in range(50):
            if subprocess.run(["umount", folder], capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        else:
            subprocess.run(["umount", "--lazy", folder], check=True)


def parse_args(description: str):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--wine", default=WINE64, help="Wine loader for 64-bit programs")
    parser.add_argument("--prefix-template", type=Path, help="prefix to copy for each session")
    parser.add_argument("--make-prefix", type=Path, help="make the prefix to copy, and exit")
    parser.add_argument("--holder", type=Path)
    parser.add_argument("programs", type=Path, nargs="*")
    return parser


@contextlib.contextmanager
def wine_runner(args):
    """A runner for the first listed build that runs here, in a Wine session
    of its own; None (with the reason printed) when none can."""
    if args.holder is None or not args.programs:
        sys.exit("a holder and a program to test are needed")
    holder = args.holder.resolve()
    programs = [p.resolve() for p in args.programs]
    if args.prefix_template and args.prefix_template.is_dir():
        WineSession.template = args.prefix_template.resolve()

    def loader_for(path: Path) -> str:
        return args.wine if pe_is_64bit(path) else WINE32

    with WineSession(args.wine) as session:
        can_run_32bit = session.runs_32bit()
        print("32-bit Wine " + (f"runs here {how_32bit_runs()}" if can_run_32bit
                                else "cannot run here"))
        runnable = [p for p in programs if p.exists() and (pe_is_64bit(p) or can_run_32bit)]
        if not runnable or not (pe_is_64bit(holder) or can_run_32bit):
            print("nothing to test: no build listed can run under this Wine "
                  "(the x86-64 build is tested by ctest --preset windows64)")
            yield None
            return
        program = runnable[0]
        print(f"testing {program} ({'x86-64' if pe_is_64bit(program) else '32-bit x86'})")
        session.start_anchor(loader_for(holder), holder)
        yield WineRunner(session, program, loader_for(program), holder, loader_for(holder))


# --- The delivery program's rows (tests/e2e/delivery_cases.py) ---------------

from delivery_cases import run_deliveries  # noqa: E402


def wine_path(argument: str) -> str:
    """A Unix path as a Windows program names it, through Wine's Z: drive."""
    return "Z:" + argument.replace("/", "\\") if argument.startswith("/") else argument


def run_wine_deliveries(runner, only=None) -> int:
    """The delivery rows with the TalvenClient_DELIVER.exe built beside the
    program under test, each update run that follows by the runner; none
    when the rows to run are chosen by name (`only`)."""
    if only:
        return 0
    program = runner.program.with_name("TalvenClient_DELIVER.exe")

    def deliver(args, unwritable=None, writing=None):
        holder = None
        if writing is not None:
            holder = runner.start_holder(writing.parent, Hold(writing.name, "w", "r"), [])
        try:
            done = runner.session.wine(str(program), *map(wine_path, args), loader=runner.loader)
        finally:
            if holder is not None:
                stop(holder)
        return (done.returncode, done.stdout.decode(errors="replace"),
                done.stderr.decode(errors="replace"))

    return run_deliveries(deliver, runner, "wine", "Client Ördner ünd Späces")


# --- The README's pictures, with the one real key press -------------------------

# Wine draws the caption's close button with Marlett glyphs and does not look
# where Debian's fonts-wine puts the font (without it the button shows an
# "r"); it finds it in the prefix's Fonts folder, where Windows keeps it.
MARLETT = ("/usr/share/wine/fonts/marlett.ttf", "/usr/share/wine/wine/fonts/marlett.ttf")
PICTURES = [  # a folder, then the picture taken of each of its boxes (None: none)
    (TYPICAL_BEFORE, ["box-notice.png", "box-success.png"]),
    ({"TALVENClient.exe": "exe 1"}, [None, "box-failure.png"]),
]
MARGIN = 16  # pixels of the desktop around each box


def take_pictures(runner, out: Path) -> list:
    """Photographs the boxes of a typical run and of a failed one on Wine's
    virtual desktop, cropped with a margin, into `out`, and answers each with
    a real X key press: a box Return does not dismiss is a problem (returned)."""
    marlett = next((Path(p) for p in MARLETT if Path(p).exists()), None)
    if marlett is None:
        return ["no marlett.ttf: install fonts-wine"]
    shutil.copy(marlett, Path(runner.session.env["WINEPREFIX"]) / "drive_c/windows/Fonts")
    out.mkdir(parents=True, exist_ok=True)
    photographs = shutil.which("convert") is not None  # ImageMagick: a root file system may lack it
    if not photographs:
        print("no ImageMagick here: the boxes are answered by key, not photographed")

    def x(*command) -> str:
        return subprocess.run(command, env=runner.session.env, check=True, capture_output=True,
                              text=True, timeout=BOX_APPEAR_TIMEOUT_S).stdout

    for files, shots in PICTURES:
        folder = Path(tempfile.mkdtemp(prefix="talven pictures "))
        lay_out(folder, files)
        run = TracedRun(runner, folder, [])
        try:
            for shot in shots:
                # The box stands, drawn and able to take a key, before X is asked for it.
                if (run.take(BOX_APPEAR_TIMEOUT_S) != "box"
                        or runner.session.answer(run.box_thread, "wait") != "answered"):
                    return [f"no box for {shot}", *run.log]
                window = x("xdotool", "search", "--sync", "--onlyvisible", "--name",
                           f"^{CAPTION}$").split()[0]
                if shot and photographs:
                    time.sleep(1)  # Wine paints the box just after it maps it
                    at = dict(re.findall(r"(Absolute upper-left [XY]|Width|Height): +(-?\d+)",
                                         x("xwininfo", "-id", window)))
                    left, top, width, height = (int(at[k]) for k in (
                        "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
                    x("import", "-window", "root", str(folder / "desktop.png"))
                    x("convert", str(folder / "desktop.png"), "-crop",
                      f"{width + 2 * MARGIN}x{height + 2 * MARGIN}+{left - MARGIN}+{top - MARGIN}",
                      "+repage", "-strip", str(out / shot))
                x("xdotool", "windowfocus", "--sync", window, "key", "Return")
                if run.take(DISMISS_TIMEOUT_S) != "dismissed":
                    return [f"Return did not dismiss the box after {shot}"]
        except (queue.Empty, subprocess.SubprocessError, OSError, IndexError) as error:
            return [f"pictures: {error!r}", *run.log]
        finally:
            run.result()
            shutil.rmtree(folder, ignore_errors=True)
    return []


def main() -> int:
    parser = parse_args(__doc__.splitlines()[0])
    parser.add_argument("--only", help="run only the rows whose name this matches")
    parser.add_argument("--skip", help="leave out the rows whose name this matches")
    parser.add_argument("--pictures", type=Path, help="take the pictures of the boxes into DIR")
    args = parser.parse_args()
    if args.make_prefix:
        # Made once per test run, by the 64-bit loader, and saved once its
        # server has ended.
        with WineSession(args.wine) as session:
            session.save_prefix(args.make_prefix)
        return 0
    run_32bit_through_qemu()
    with wine_runner(args) as runner:
        if runner is None:
            return SKIPPED
        cases = []
        for case in CASES:
            if (args.only and not re.search(args.only, case.name)
                    or args.skip and re.search(args.skip, case.name)):
                continue
            if any(isinstance(c, ReadOnlyFolder) for c in case.held) and os.geteuid() != 0:
                print(f"skip {case.name}: a read-only bind mount needs root")
            else:
                cases.append(case)
        failed = run_all(cases, runner, "wine", "Client Ördner ünd Späces")
        failed |= run_wine_deliveries(runner, getattr(args, "only", None))
        if args.pictures:
            problems = take_pictures(runner, args.pictures)
            print("\n  ".join(["FAIL pictures:", *problems]) if problems else
                  f"ok   pictures of the boxes in {args.pictures}, each dismissed with an X key press")
            failed |= bool(problems)
        return failed


if __name__ == "__main__":
    sys.exit(main())

"""Runs the end-to-end cases against the Windows executable under Wine.

usage: wine_runner.py [--wine LOADER] --holder HOLDER.exe EXE [EXE...]

EXE lists builds of the same sources in order of preference, the 32-bit
product first: a 32-bit build is tested only where 32-bit Wine runs (some
kernels cannot execute 32-bit code at all), else the next one is. LOADER is
the Wine loader for 64-bit programs. Exit status 0 when every case passed,
1 when one failed, 77 (skipped) when nothing listed can run here.

One Wine session serves every case: a fresh prefix, a virtual X display and
Wine's virtual desktop, in which Wine draws each box's caption and close
button itself and needs no window manager. Each box is read from Wine's relay
trace of user32.MessageBoxA (owner, text, caption and style exactly as the
program passed them) and dismissed with xdotool, as a user would.
"""

import argparse
import contextlib
import os
import queue
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "e2e"))
from cases import CASES, DONE, EXE_LOCKED, EXE_UNABLE, TYPICAL_AFTER, TYPICAL_BEFORE  # noqa: E402
from harness import Case, Result, run_all  # noqa: E402

WINE32 = "/usr/bin/wine"
WINE64 = "/usr/lib/wine/wine64"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE

# Bounds on every wait, so that a box nobody finds cannot hang the suite.
PREFIX_SETUP_TIMEOUT_S = 300
WINE_COMMAND_TIMEOUT_S = 120
HOLDER_READY_TIMEOUT_S = 60
BOX_APPEAR_TIMEOUT_S = 60  # from start (or the last box) to the next box
WINDOW_APPEAR_TIMEOUT_S = 30
DISMISS_TIMEOUT_S = 10  # per attempt, from key press to MessageBoxA's return
DISMISS_ATTEMPTS = 3
EXIT_TIMEOUT_S = 60
POLL_PAUSE_S = 0.05

CAPTION = "TALVEN Client"
KINDS = {0x2040: "information", 0x2010: "error"}  # task-modal, OK, with icon


# --- What a case may ask of the Wine runner besides plain held names ---------
# A plain name in Case.held is held as another user's running client holds
# its files: readable, but not to be written, renamed or deleted.

@dataclass(frozen=True)
class Hold:
    name: str
    exclusive: bool = False  # no sharing at all: a copy cannot read it either
    let_go_ms: int | None = None  # let go this long after the notice


@dataclass(frozen=True)
class ReadOnly:
    name: str  # bears the read-only attribute while the program runs


@dataclass(frozen=True)
class DismissNotice:
    how: str  # "Return", "Escape" or "close" (the caption's close button)


# A virus scanner or indexer lets go of a file a moment later: the delete
# (executable) and the rename (library) wait for it. Run and recorded by
# wine_reliability.py.
TRANSIENT_CASES = [
    Case(f"{name} held for a moment", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(Hold(name, let_go_ms=300),), platforms=("wine",))
    for name in ("TALVENClient.exe", "TALVENNetBridge40.dll")
]

WINE_CASES = [
    Case("executable read-only", TYPICAL_BEFORE, None, [EXE_LOCKED], 2,
         held=(ReadOnly("TALVENClient.exe"),), platforms=("wine",)),
    # The copy cannot read the delivery: the run stops before deleting it.
    Case("delivered executable unreadable", TYPICAL_BEFORE,
         {k: v for k, v in TYPICAL_BEFORE.items() if k != "TALVENClient.exe"},
         [EXE_UNABLE], 3, held=(Hold("TALVENClient_NEW.exe", exclusive=True),),
         platforms=("wine",)),
    # What a copy killed part-way left behind is replaced, not in the way.
    Case("left-over temporary of a killed copy",
         {**TYPICAL_BEFORE, "TALVENClient.exe.tmp": "ex", "TALVENClientVersion.txt.tmp": "7."},
         TYPICAL_AFTER, [DONE], 0, platforms=("wine",)),
    Case("notice dismissed with Escape", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(DismissNotice("Escape"),), platforms=("wine",)),
    Case("notice closed with its close button", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(DismissNotice("close"),), platforms=("wine",)),
]


# --- Reading the relay trace -------------------------------------------------

_ARG = r'[0-9a-f]+(?: (?:"(?:[^"\\]|\\.)*"(?:\.\.\.)?|\(null\)))?'
CALL = re.compile(rf"Call user32\.MessageBoxA\(({_ARG}),({_ARG}),({_ARG}),({_ARG})\) ret=")
RET = re.compile(r"Ret  user32\.MessageBoxA\(\) retval=([0-9a-f]+)")
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
    style_value = int(style, 16)
    kind = KINDS.get(style_value, f"style {style_value:#x}")
    caption = relay_string(caption)
    if int(owner.split()[0], 16) != 0:
        kind += f" with owner {owner}"
    if caption != CAPTION:
        kind += f" captioned {caption!r}"
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
    """The quick test: a kernel that cannot execute 32-bit code fails the
    32-bit loader at once ("Exec format error"), before any prefix exists."""
    try:
        return subprocess.run([loader, "--version"], capture_output=True, timeout=60).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def stop(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.kill()
    process.wait(timeout=EXIT_TIMEOUT_S)


class WineSession:
    """A Wine prefix and X display of its own, set up once for all cases."""

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
        return subprocess.run([loader or self.wine64, *args], env=self.env, cwd=cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout_s)

    def _make_prefix(self):
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
        """Keeps one quiet program running all session long, so that Wine's
        own services start once with tracing off and do not come and go (and
        write into each run's trace) with every run."""
        self.anchor = subprocess.Popen([loader, str(holder)], env=self.env, cwd=self.root,
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL)
        answer = read_line(self.anchor.stdout, HOLDER_READY_TIMEOUT_S)
        if answer.strip() != "held":
            raise RuntimeError(f"the holder does not start under Wine: {answer!r}")

    def runs_32bit(self) -> bool:
        try:
            return (loader_starts(WINE32) and
                    self.wine("cmd", "/c", "exit", loader=WINE32, timeout_s=60).returncode == 0)
        except (OSError, subprocess.TimeoutExpired):
            return False

    def __exit__(self, *_):
        if self.anchor:
            self.anchor.stdin.close()
            try:
                self.anchor.wait(timeout=EXIT_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                stop(self.anchor)
        wineserver = Path(self.wine64).with_name("wineserver")
        if not wineserver.exists():
            wineserver = Path(shutil.which("wineserver") or "wineserver")
        try:
            subprocess.run([str(wineserver), "-k"], env=self.env, timeout=EXIT_TIMEOUT_S,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.TimeoutExpired):
            pass  # the prefix is removed below either way
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=EXIT_TIMEOUT_S)
        shutil.rmtree(self.root, ignore_errors=True)


class TracedRun:
    """One run of the program under the relay trace. The trace is read on a
    thread of its own (a full pipe would stop Wine); its MessageBoxA lines,
    then None at the end, arrive in `lines`."""

    def __init__(self, runner, folder: Path, log: list):
        env = dict(runner.session.env, WINEDEBUG="-all,+relay")
        self.process = subprocess.Popen([runner.loader, str(runner.program)], env=env, cwd=folder,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.log = log
        self.boxes = []
        self.dismissed = 0
        self.ended = self.timed_out = False
        threading.Thread(target=self._read_trace, daemon=True).start()

    def _read_trace(self):
        for raw in self.process.stderr:
            if b"user32.MessageBoxA(" in raw:
                self.lines.put(raw.decode(errors="replace"))
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
                return "box"
            if RET.search(line):
                self.log.append(line.strip())
                self.dismissed += 1
                return "dismissed"

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
        return Result(status, self.boxes, "\n".join(self.log))


class WineRunner:
    def __init__(self, session: WineSession, program: Path, loader: str,
                 holder: Path, holder_loader: str):
        self.session = session
        self.program = program
        self.loader = loader
        self.holder = holder
        self.holder_loader = holder_loader
        # From start (or the last box) to the next box; a long copy needs more.
        self.box_timeout_s = BOX_APPEAR_TIMEOUT_S

    def xdotool(self, *args) -> str:
        return subprocess.run(["xdotool", *args], env=self.session.env, capture_output=True,
                              text=True, timeout=WINE_COMMAND_TIMEOUT_S).stdout

    def find_box_window(self) -> str:
        deadline = time.monotonic() + WINDOW_APPEAR_TIMEOUT_S
        while time.monotonic() < deadline:
            found = self.xdotool("search", "--onlyvisible", "--classname", r"^talvenclient_set\.exe$")
            for window in found.split():
                if self.xdotool("getwindowname", window).strip() != "Default IME":
                    return window
            time.sleep(POLL_PAUSE_S)
        return ""

    def press(self, window: str, how: str) -> None:
        if how in ("close", "caption"):
            # Wine draws the caption in its virtual desktop; the close button
            # sits at its right end. A click on the caption makes the box
            # under it the active one, which Wine sends keys to.
            info = subprocess.run(["xwininfo", "-id", window], env=self.session.env,
                                  capture_output=True, text=True, timeout=WINE_COMMAND_TIMEOUT_S).stdout
            x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", info).group(1))
            y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", info).group(1))
            width = int(re.search(r"Width:\s+(\d+)", info).group(1))
            x += width - 11 if how == "close" else width // 2
            self.xdotool("mousemove", str(x), str(y + 10), "click", "1")
        else:
            self.xdotool("windowfocus", "--sync", window, "key", how)

    def start_holder(self, folder: Path, hold: Hold, log: list) -> subprocess.Popen:
        args = [self.holder_loader, str(self.holder)] + (["--exclusive"] if hold.exclusive else []) + [hold.name]
        process = subprocess.Popen(args, env=self.session.env, cwd=folder, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if read_line(process.stdout, HOLDER_READY_TIMEOUT_S).strip() != "held":
            stop(process)
            raise RuntimeError(f"holder could not hold {hold.name}: {process.stderr.read().decode()}")
        log.append(f"holding {hold}")
        return process

    def run(self, folder: Path, held) -> Result:
        try:
            return self._run_case(folder, held)
        except (OSError, RuntimeError, subprocess.SubprocessError) as error:
            return Result(None, [], f"could not run the case: {error}")

    def _run_case(self, folder: Path, held) -> Result:
        conditions = [Hold(c) if isinstance(c, str) else c for c in held]
        notice_key = next((c.how for c in conditions if isinstance(c, DismissNotice)), "Return")
        log = []
        for c in conditions:
            if isinstance(c, ReadOnly):
                done = self.session.wine(str(self.holder), "--read-only", c.name,
                                         loader=self.holder_loader, cwd=folder)
                if done.returncode != 0:
                    raise RuntimeError(f"cannot make {c.name} read-only: {done.stderr.decode()}")
        holders = [(c, self.start_holder(folder, c, log)) for c in conditions if isinstance(c, Hold)]
        run = None
        try:
            run = TracedRun(self, folder, log)
            try:
                while run.take(self.box_timeout_s) != "ended":
                    if not run.waiting():
                        continue
                    how = notice_key if len(run.boxes) == 1 else "Return"
                    if not self._dismiss(run, how):
                        log.append(f"box {len(run.boxes)} could not be dismissed with {how}")
                        run.timed_out = True
                        break
                    if len(run.boxes) == 1:
                        self._let_go(holders)
            except queue.Empty:
                log.append("timed out")
                run.timed_out = True
            return run.result()
        finally:
            if run:
                stop(run.process)
            self._end_holders(holders)

    def _dismiss(self, run: TracedRun, how: str) -> bool:
        for _ in range(DISMISS_ATTEMPTS):
            window = self.find_box_window()
            if not window:
                return False
            self.press(window, how)
            try:
                return run.take(DISMISS_TIMEOUT_S) == "dismissed"
            except queue.Empty:
                continue
        return False

    def run_together(self, folder: Path, count: int, held=()) -> list:
        """Starts `count` runs in `folder` at once and dismisses their boxes,
        none before every run shows its notice, so that they go on together.
        The boxes stand one over another and Wine sends keys to the active
        one: each time the box on top is clicked and dismissed, and the runs'
        traces tell whose it was. Each Hold in `held` holds its file until
        every notice is gone, then lets go (after its let_go_ms)."""
        log = []
        holders = [(hold, self.start_holder(folder, hold, log)) for hold in held]
        runs = []
        try:
            runs = [TracedRun(self, folder, list(log)) for _ in range(count)]
            last_news = time.monotonic()
            misses = 0
            while not all(run.ended for run in runs):
                if self._news(runs):
                    last_news = time.monotonic()
                if holders and all(run.dismissed for run in runs):
                    self._let_go(holders)
                    holders, ended = [], holders
                    self._end_holders(ended)
                if all(run.boxes for run in runs) and any(run.waiting() for run in runs):
                    if self._dismiss_top(runs):
                        last_news, misses = time.monotonic(), 0
                    elif (misses := misses + 1) == DISMISS_ATTEMPTS:
                        raise TimeoutError("no box could be dismissed")
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
    def _news(runs) -> bool:
        """Takes in what the traces say so far; True when they said something."""
        said = False
        for run in runs:
            while not run.ended:
                try:
                    run.take(0)
                except queue.Empty:
                    break
                said = True
        return said

    def _dismiss_top(self, runs) -> bool:
        """Clicks the caption of the box on top, presses Return, and waits
        until one of the runs' boxes has returned."""
        before = sum(run.dismissed for run in runs)
        window = self.find_box_window()
        if not window:
            return False
        self.press(window, "caption")
        self.xdotool("key", "Return")  # to the active box, wherever X's focus is
        deadline = time.monotonic() + DISMISS_TIMEOUT_S
        while time.monotonic() < deadline:
            self._news(runs)
            if sum(run.dismissed for run in runs) > before:
                return True
            time.sleep(POLL_PAUSE_S)
        return False

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


def parse_args(description: str):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--wine", default=WINE64, help="Wine loader for 64-bit programs")
    parser.add_argument("--holder", type=Path, required=True)
    parser.add_argument("programs", type=Path, nargs="+")
    return parser


@contextlib.contextmanager
def wine_runner(args):
    """A runner for the first listed build that runs here, in a Wine session
    of its own; None (with the reason printed) when none can."""
    holder = args.holder.resolve()
    programs = [p.resolve() for p in args.programs]

    def loader_for(path: Path) -> str:
        return args.wine if pe_is_64bit(path) else WINE32

    nothing_to_test = ("nothing to test: no build listed can run under this Wine "
                       "(the x86-64 build is tested by ctest --preset windows64)")
    if not pe_is_64bit(holder) and not loader_starts(WINE32):
        print("32-bit Wine cannot run here")
        print(nothing_to_test)
        yield None
        return
    with WineSession(args.wine) as session:
        can_run_32bit = session.runs_32bit()
        print("32-bit Wine " + ("runs here" if can_run_32bit else "cannot run here"))
        runnable = [p for p in programs if p.exists() and (pe_is_64bit(p) or can_run_32bit)]
        if not runnable or not (pe_is_64bit(holder) or can_run_32bit):
            print(nothing_to_test)
            yield None
            return
        program = runnable[0]
        print(f"testing {program} ({'x86-64' if pe_is_64bit(program) else '32-bit x86'})")
        session.start_anchor(loader_for(holder), holder)
        yield WineRunner(session, program, loader_for(program), holder, loader_for(holder))


def main() -> int:
    args = parse_args(__doc__.splitlines()[0]).parse_args()
    with wine_runner(args) as runner:
        if runner is None:
            return SKIPPED
        return run_all(CASES + WINE_CASES, runner, "wine", "Client Ördner ünd Späces")


if __name__ == "__main__":
    sys.exit(main())

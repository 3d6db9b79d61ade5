"""The delivery program (TalvenClient_DELIVER, built beside the update
program) under the reliability suites: the kill sweep (sweeps.py) kills a delivery at
each of its calls that change the client folder; concurrent_runs.py starts
an update run while a delivery holds the folder lock, and writes to a source
file while a delivery copies it.

The client folder is the typical one before its delivery, with an older
delivery of the executable still waiting there; the source folder holds
the typical delivery's files under their working names.
"""

import os
import signal
import subprocess
import time
from pathlib import Path

import common as c

WORKING_NAME_OF = {c.NEW_EXE: c.EXE, c.NEW_VER: c.VER, **{new: work for new, work, _ in c.LIBRARIES}}
SOURCE = {WORKING_NAME_OF[new]: c.TYPICAL[new] for new in WORKING_NAME_OF}
CLIENT = {**{n: v for n, v in c.TYPICAL.items() if n not in WORKING_NAME_OF}, c.NEW_EXE: "exe 1.5"}
PARTS = {f"{new}.part" for new in WORKING_NAME_OF}
# The calls that change the folder: a kill anywhere between two of them
# leaves the folder as a kill at the next one does.
CHANGING = {"write", "fchmod", "fsync", "renameat", "renameat2", "rename", "unlinkat", "unlink",
            "linkat", "ftruncate"}
WAIT_TIMEOUT_S = 30
# Each write of the copy slowed down: a 16 MiB executable, 1 MiB a write,
# takes the copy a few seconds, time enough to write to its source.
SLOW_WRITES = "--inject=write:delay_enter=100ms"
LARGE = 16 << 20


def deliverer(program: Path) -> Path:
    return program.with_name("TalvenClient_DELIVER")


def folders(root: Path, name: str):
    source, client = root / name / "new files", root / name / "client"
    source.mkdir(parents=True)
    client.mkdir()
    c.lay_out_all(source, SOURCE)
    c.lay_out_all(client, CLIENT)
    return source, client


def deliver(program, source, client, strace=(), trace_to="/dev/null", popen=False):
    command = [str(deliverer(program)), str(source), str(client)]
    if strace or trace_to != "/dev/null":
        command = ["strace", "-f", "-qqq", "-o", trace_to, *strace, "--", *command]
    if popen:
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)


def old_or_complete(now: dict) -> list:
    """Each delivery name holds what it held before or its complete new
    file; the working names are untouched; nothing else but our temporaries
    and the lock file; and no update run could install a mixed set."""
    problems = []
    for new, work in WORKING_NAME_OF.items():
        # The older waiting executable is removed before the first rename.
        if now.get(new) not in (CLIENT.get(new), SOURCE[work], *((None,) if new == c.NEW_EXE else ())):
            problems.append(f"{new} holds {now.get(new)!r}")
    # While it still waits, no new file may stand beside it: a run would
    # install the older executable with them.
    if now.get(c.NEW_EXE) == CLIENT[c.NEW_EXE]:
        problems += [f"{new} holds the new {now.get(new)!r} beside the older waiting executable"
                     for new in WORKING_NAME_OF if now.get(new) != CLIENT.get(new)]
    for name, content in now.items():
        if name not in WORKING_NAME_OF and name not in PARTS | {c.LOCK} and CLIENT.get(name) != content:
            problems.append(f"{name} holds {content!r}, held {CLIENT.get(name)!r}")
    return problems


def delivered_then_updated(program, source, client) -> list:
    """The delivery, run again, then an update run: fully updated."""
    again = deliver(program, source, client)
    problems = [] if again.returncode == 0 else [f"delivery again: status {again.returncode}, "
                                                 f"{again.stderr.decode(errors='replace')}"]
    problems += c.box_problems(c.run(program, client), 0)
    return problems + c.fully_updated(c.TYPICAL, c.snapshot(client))


def kill_pass(program, root: Path, report) -> None:
    """A kill before each call of a delivery that changes the client folder,
    one call per delivery, each in folders of its own."""
    source, client = folders(root, "delivery traced")
    trace = root / "delivery.trace"
    deliver(program, source, client, trace_to=str(trace))
    calls = [call for call in c.calls_of(trace.read_text().splitlines())
             if (call.syscall in CHANGING and call.subject) or
             (call.syscall == "openat" and "O_CREAT" in call.args)]
    for index, call in enumerate(calls):
        source, client = folders(root, f"delivery {index:03d}")
        option = f"--inject={call.syscall}:signal=KILL:when={call.occurrence}"
        killed = deliver(program, source, client, strace=[option])
        problems = [] if killed.returncode == -signal.SIGKILL else [f"not killed ({killed.returncode})"]
        problems += old_or_complete(c.snapshot(client))
        report.outcome(f"delivery killed at {call} ({option})",
                       problems + delivered_then_updated(program, source, client))
    report.lines.append(f"delivery kill points: {len(calls)}, every call of a delivery of five "
                        "files that changes the client folder; after each, every delivery name "
                        "old or complete, and the delivery run again, then an update run, "
                        "left the folder fully updated")


def wait_for(ready, process) -> None:
    deadline = time.monotonic() + WAIT_TIMEOUT_S
    while not ready() and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)


def source_written_during_delivery(program, root: Path, report) -> None:
    """A source file that grows while it is copied fails the delivery
    (status 6), and no delivery name changes."""
    source, client = folders(root, "source written during a delivery")
    (source / c.EXE).write_bytes(b"x" * LARGE)
    slow = deliver(program, source, client, strace=[SLOW_WRITES], popen=True)
    wait_for((client / f"{c.NEW_EXE}.part").exists, slow)
    with open(source / c.EXE, "ab") as more:
        more.write(b"still being written")
    _, err = slow.communicate(timeout=120)
    problems = [] if slow.returncode == 6 else [f"delivery status {slow.returncode}"]
    if b"changed while it was copied" not in err:
        problems.append(f"said {err!r}")
    now = c.snapshot(client)
    problems += [f"{new} holds {now.get(new)!r}" for new in WORKING_NAME_OF if now.get(new) != CLIENT.get(new)]
    report.outcome("a source file written to while a delivery copies it", problems)
    report.lines.append("a source file written to while a delivery copied it: "
                        + ("the delivery failed (status 6), no delivery name changed"
                           if not problems else "see above"))


def concurrent_pass(program, root: Path, report) -> None:
    update_waits_for_delivery(program, root, report)
    source_written_during_delivery(program, root, report)
    part_swapped_after_read_back(program, root, report)
    links_swapped_meanwhile(program, root, report)


def update_waits_for_delivery(program, root: Path, report) -> None:
    """A delivery slowed in its first flush holds the folder lock; an update
    run started then waits for it and installs the whole delivery."""
    source, client = folders(root, "update during a delivery")
    slow = deliver(program, source, client, strace=["--inject=fsync:delay_enter=2s:when=1"],
                   popen=True)
    # Held, not only made: an update run between the two would go first.
    wait_for(lambda: c.flock_held(client / c.LOCK), slow)
    update = c.run(program, client)
    slow.communicate(timeout=120)
    problems = [] if slow.returncode == 0 else [f"delivery status {slow.returncode}"]
    problems += c.box_problems(update, 0) + c.fully_updated(c.TYPICAL, c.snapshot(client))
    report.outcome("an update run started while a delivery holds the folder lock", problems)
    report.lines.append("an update run started while a delivery held the folder lock: "
                        + ("it waited, then installed the whole delivery" if not problems else "see above"))


def part_swapped_after_read_back(program, root: Path, report) -> None:
    """Another user swaps the executable's .part for a file of their own
    after the delivery read it back (the renames are slowed): the delivery
    finds that the name does not hold the file it checked, says so (status
    6), and leaves no such file waiting for a run."""
    source, client = folders(root, "part swapped after its read-back")
    slow = deliver(program, source, client, popen=True,
                   strace=["--inject=renameat:delay_enter=1500ms:when=1"])
    # The older waiting executable goes right before the first rename.
    deadline = time.monotonic() + WAIT_TIMEOUT_S
    while (client / c.NEW_EXE).exists() and slow.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    theirs = client / "theirs.tmp"
    theirs.write_text("another user's executable")
    os.rename(theirs, client / f"{c.NEW_EXE}.part")
    out, err = slow.communicate(timeout=120)
    problems = [] if slow.returncode == 6 else [f"delivery status {slow.returncode}"]
    if b"was replaced or changed by someone else" not in err:
        problems.append(f"said {err!r}")
    if b"delivered as " + c.NEW_EXE.encode() in out:
        problems.append("claims the executable delivered")
    now = c.snapshot(client)
    if now.get(c.NEW_EXE) is not None:
        problems.append(f"{c.NEW_EXE} holds {now[c.NEW_EXE]!r}")
    report.outcome("another user swaps the executable's .part after its read-back", problems)
    report.lines.append("the executable's .part swapped by another user after its read-back: "
                        + ("the delivery said so (status 6) and left nothing for a run to install"
                           if not problems else "see above"))


# Every name a run or a delivery works with, for the link swapper.
SWAPPED = sorted(c.COMPONENTS | c.TEMPORARIES | PARTS | {c.LOCK})


def links_swapped_meanwhile(program, root: Path, report, seconds=3.0) -> None:
    """Another user keeps planting links at every name the run and the
    delivery use (to a file beside the folder, and to a name there that
    does not exist) while deliveries and update runs go on: nothing beside
    the folder changes."""
    source, client = folders(root, "links swapped meanwhile")
    outside = c.Outside(client.parent)
    targets = [str(outside.sentinel), str(client.parent / "never made.txt")]
    stop = time.monotonic() + seconds
    swapper = subprocess.Popen(
        ["python3", "-c", "import os,sys,time\n"
         "names, targets, stop = sys.argv[1].split('\\n'), sys.argv[2:4], float(sys.argv[4])\n"
         "i = 0\n"
         "while time.time() < stop:\n"
         "    for name in names:\n"
         "        i += 1\n"
         "        try:\n"
         "            os.symlink(targets[i % 2], name + '.swap'); os.rename(name + '.swap', name)\n"
         "        except OSError:\n"
         "            pass\n",
         "\n".join(SWAPPED), *targets, str(time.time() + seconds)], cwd=client)
    runs = 0
    while time.monotonic() < stop:
        deliver(program, source, client)
        c.run(program, client, timeout=90)
        runs += 1
    swapper.wait(timeout=30)
    problems = outside.problems()
    report.outcome(f"links swapped at every name during {runs} deliveries and update runs",
                   problems)
    report.lines.append(f"links planted at every name ({len(SWAPPED)}) during {runs} deliveries "
                        "and update runs: " + ("nothing beside the folder changed"
                                               if not problems else "see above"))

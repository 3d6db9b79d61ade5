"""A kill at any point: the typical update (new executable, version file and
libraries, old library backups present) is killed before a system call it
makes, one call per run, in a fresh folder each time: the first call of each
stage between two calls that change the folder (the exhaustive set: every
call). After the kill nothing
is lost and nothing beside the folder changed; a new run, given a fresh
delivery where the killed run used one up, leaves the folder fully updated.

strace counts calls per system call (`--inject=all:...:when=N` stops at the
first call *of any one kind* to reach N), so each kill point is named by its
system call and occurrence: `--inject=openat:signal=KILL:when=5`.

A second pass kills one run after another in a single folder, a fresh
delivery brought after each, so that whatever a killed copy leaves behind
meets the next run: temporaries never pile up and nothing is lost.
"""

import signal
from concurrent.futures import ThreadPoolExecutor

import common as c
import delivery


def kill_option(call):
    return f"--inject={call.syscall}:signal=KILL:when={call.occurrence}"


def kill_then_update(program, root, index, call):
    folder, outside = c.typical_folder(root, index)
    killed = c.run(program, folder, strace=[kill_option(call)])
    problems = [] if killed.status == -signal.SIGKILL else [f"not killed (status {killed.status})"]
    return problems + c.disrupted_then_updated(program, folder, outside)


def main(program, exhaustive=False):
    report = c.Report("kill points")
    report.skipped = c.strace_missing()
    if report.skipped:
        return report
    root = c.new_root()
    try:
        traced = c.typical_calls(program, root)
        calls = c.kill_points(traced, exhaustive)
        with ThreadPoolExecutor(4) as pool:
            outcomes = list(pool.map(lambda ic: kill_then_update(program, root, *ic),
                                     enumerate(calls)))
        for call, problems in zip(calls, outcomes):
            report.outcome(f"killed at {call} ({kill_option(call)})", problems)

        chained = root / "chained" / "client"
        chained.mkdir(parents=True)
        c.lay_out_all(chained, c.TYPICAL)
        outside = c.Outside(chained.parent)
        chained_held = 0
        for call in calls:
            c.run(program, chained, strace=[kill_option(call)])
            problems = c.nothing_lost(c.TYPICAL, c.snapshot(chained)) + outside.problems()
            report.outcome(f"chained kill at {call}", problems)
            chained_held += not problems
            c.redeliver(chained, c.TYPICAL)
        final = c.run(program, chained)
        report.outcome("update after the chained kills",
                       c.box_problems(final, 0) + c.fully_updated(c.TYPICAL, c.snapshot(chained)))
        delivery.kill_pass(program, root, report)
    finally:
        c.remove_root(root)
    kinds = {}
    for call in calls:
        kinds[call.syscall] = kinds.get(call.syscall, 0) + 1
    report.lines += [
        f"kill points: {len(calls)} of the typical run's {len(traced)} system calls after "
        f"execve ({'every one' if exhaustive else 'the first of each stage'}: "
        + ", ".join(f"{k} {n}" for k, n in sorted(kinds.items())) + ")",
        f"killed once, then updated: {sum(not p for p in outcomes)} of {len(calls)} survived",
        f"killed one after another in one folder: {chained_held} of {len(calls)} survived, "
        f"final update {'held' if report.held == report.tried else 'see above'}",
    ]
    return report


if __name__ == "__main__":
    c.main(main)

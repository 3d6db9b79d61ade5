"""Injected faults: each file-system call that the typical update makes after
its notice fails in turn, one call per run, with EACCES, EIO and EBUSY, and
ENOSPC where the call writes (strace `--inject=CALL:error=ERRNO:when=N`):
one errno for each exit status ORACLE gives the call (the exhaustive set:
every errno). Each call that changes a name is also made and then reported
failed, as by a file server that lost its reply (reply_lost.c, preloaded):
the run looks at the names again and goes on as if it had succeeded.
Two more passes force the kernel fallbacks of the platform layer (sendfile
where copy_file_range is refused, link and unlink where renameat2 is) and
fail the fallback's own calls.

Every time: the notice and exactly one box, the exit status that ORACLE
gives for the failing call (0 where the run ignores or retries it), nothing
lost, nothing beside the folder changed, and a new run (with a fresh
delivery where one was used up) leaves the folder fully updated.
"""

import re
from concurrent.futures import ThreadPoolExecutor

from pathlib import Path

import common as c

FILE_CALLS = {"openat", "newfstatat", "statx", "unlinkat", "renameat2", "renameat", "linkat",
              "copy_file_range", "sendfile", "fchmod", "fsync", "close", "flock", "faccessat2",
              "ioctl"}
# Besides the errnos: a copy call that copies nothing, as when the source was
# cut short while it was copied.
SHORT = "short"
# Deletes and renames retry a busy file, so one EBUSY does not fail them.
RETRIED = {"unlinkat", "renameat2", "renameat", "linkat"}
# Opens and checks are retried with the routine they belong to, the copy's
# data and flush are not: one EBUSY there is let go or fails as any error.
RETRIED_WITH_ROUTINE = {"openat", "fstat", "newfstatat", "fchmod", "faccessat2"}
# The calls that change a name; each is also carried out, then reported
# failed (EIO).
NAME_CHANGES = RETRIED
REPLY_LOST = "done, reply lost"

# What the run does when this one call fails: the first row whose pattern
# matches "call file errno" gives the exit status, and why.
ORACLE = [
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

# (pass, strace options for the whole run, which of its calls to fail)
PASSES = [
    ("plain", (), lambda call: call.syscall in FILE_CALLS),
    ("sendfile fallback", ("--inject=copy_file_range:error=EXDEV",),
     lambda call: call.syscall == "sendfile"),
    ("link fallback", ("--inject=renameat2:error=EINVAL",),
     lambda call: call.syscall == "linkat" or (call.syscall == "unlinkat" and "->" in call.subject)),
]


def writes(call):
    return (call.syscall in {"copy_file_range", "sendfile", "fsync", "renameat", "renameat2",
                             "linkat"}
            or (call.syscall == "openat" and "O_CREAT" in call.args)
            or (call.syscall == "close" and call.subject.endswith(".tmp")))


def expected(call, errno):
    if errno == REPLY_LOST:
        return 0, "done, then reported failed: the names are looked at again, and it counts as done"
    for pattern, status, why in ORACLE:
        if re.search(pattern, f"{call} {errno}"):
            if errno == "EBUSY" and call.syscall in RETRIED:
                return 0, "retried: the busy file is let go"
            if errno == "EBUSY" and call.kind in RETRIED_WITH_ROUTINE and status != 0:
                failed = status if isinstance(status, tuple) else (status,)
                return (0, *failed), "retried with its routine, or it fails as any error would"
            return status, why
    raise LookupError(f"no row of ORACLE for {call}")


def fail_one(program, root, index, options, call, errno):
    folder, outside = c.typical_folder(root, index)
    status, _ = expected(call, errno)
    if errno == REPLY_LOST:
        env = {"LD_PRELOAD": str(reply_lost_shim(program)),
               "TALVEN_REPLY_LOST": f"{call.syscall}:{call.occurrence}"}
        result = c.run(program, folder, strace=options, env=env)
    else:
        what = "retval=0" if errno == SHORT else f"error={errno}"
        inject = f"--inject={call.syscall}:{what}:when={call.occurrence}"
        result = c.run(program, folder, strace=[*options, inject])
    problems = c.box_problems(result, status)
    return problems + c.disrupted_then_updated(program, folder, outside)


def errnos(call):
    return (("EACCES", "EIO", "EBUSY") + (("ENOSPC",) if writes(call) else ())
            + ((SHORT,) if call.syscall in ("copy_file_range", "sendfile") else ())
            + ((REPLY_LOST,) if call.syscall in NAME_CHANGES else ()))


def reply_lost_shim(program):
    """The preloaded library that loses a reply, built beside the tests."""
    shim = Path(program).parent / "tests" / "libtalven_reply_lost.so"
    if not shim.exists():
        raise FileNotFoundError(f"{shim} is not built")
    return shim


def main(program, exhaustive=False):
    report = c.Report("injected faults")
    report.skipped = c.strace_missing()
    if report.skipped:
        return report
    root = c.new_root()
    jobs, outcomes = [], {}
    try:
        for name, options, chosen in PASSES:
            calls = c.typical_calls(program, root, f"baseline {name}", options)
            start = next(i for i, call in enumerate(calls) if call.syscall == "write")
            chosen_calls = list(filter(chosen, calls[start:]))
            jobs += [(name, options, call, errno) for call, errno
                     in c.faults(chosen_calls, errnos, expected, exhaustive)]
        with ThreadPoolExecutor(4) as pool:
            results = list(pool.map(lambda ij: fail_one(program, root, ij[0], *ij[1][1:]),
                                    enumerate(jobs)))
    finally:
        c.remove_root(root)
    for (name, _, call, errno), problems in zip(jobs, results):
        status, why = expected(call, errno)
        report.outcome(f"{name}: {call} #{call.occurrence} fails with {errno}", problems)
        key = (status, why)
        outcomes.setdefault(key, [0, 0])
        outcomes[key][0] += 1
        outcomes[key][1] += not problems
    calls_tried = {(name, call.syscall, call.occurrence) for name, _, call, _ in jobs}
    report.lines.append(f"failing calls: {len(calls_tried)} calls x "
                        f"{'every errno' if exhaustive else 'one errno per outcome'} = "
                        f"{len(jobs)} runs in {len(PASSES)} passes ({', '.join(p[0] for p in PASSES)})")
    report.header = ("exit", "outcome of the failing call", "tried", "held")
    report.rows = [(status, why, tried, held)
                   for (status, why), (tried, held) in sorted(outcomes.items(), key=str)]
    return report


if __name__ == "__main__":
    c.main(main)

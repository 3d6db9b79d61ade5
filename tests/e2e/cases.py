"""The end-to-end cases: the client folder before a run, the folder, boxes
and exit status after it. Shared by the Linux build and the exe under Wine."""

from harness import (STAMP, Case, Dir, DismissNotice, Fifo, Hold, Link, LongFolder, Patience,
                     ReadOnly, ReadOnlyFolder, Running, Socket)

EXE_MISSING = ("error", "TALVENClient_NEW.exe is missing.\n\nPlease contact your network administrator.")
EXE_LOCKED = ("error", "The file TALVENClient.exe is locked or may be read-only.\n\n"
              "Ensure that no other users are locking this file and run TALVEN again.")
EXE_UNABLE = ("error", "TALVEN is unable to rename file TALVENClient_NEW.exe to TALVENClient.exe\n\n"
              "Please contact your network administrator.")
DONE = ("information", "TALVEN has successfully updated  - You may now logon")


def locked(dll):
    return ("error", f"The file {dll} is locked.\n\n"
            "Ensure that no other users are locking this file and run TALVEN again.")


NB_UNABLE = ("error", "TALVEN is unable to rename file TALVENNetBridge40_new.dll to "
             "TALVENNetBridge40.dll\n\nPlease contact your network administrator.")
VHP_UNABLE = ("error", "TALVEN is unable to rename file TALVENViewHostPanel_new.dll\n\n"
              "Please contact your network administrator.")

# A client folder as it stands after an earlier update (but for its version
# file, which a run without a delivered one removes).
INSTALLED = {
    "TALVENClient.exe": "exe 1",
    "TALVENNetBridge40.dll": "nb 1",
    "TALVENViewHostPanel.dll": "vhp 1",
    "TALVENViewHostPanel40.dll": "vhp40 1",
}
# The typical delivery: a new executable, version file and first library.
DELIVERY = {
    "TALVENClient_NEW.exe": "exe 2",
    "TALVENClient_VER.txt": "7.0.001",
    "TALVENNetBridge40_new.dll": "nb 2",
}
TYPICAL_BEFORE = {**INSTALLED, "TALVENClientVersion.txt": "7.0.000", **DELIVERY}
# What a run that stops after the version file keeps for the next one.
DELIVERY_KEPT = {"TALVENClient_NEW.exe": "exe 2", "TALVENClient_VER.txt": "7.0.001"}
TYPICAL_AFTER = {
    "TALVENClient.exe": "exe 2",
    "TALVENClientVersion.txt": "7.0.001",
    "TALVENNetBridge40.dll": "nb 2",
    "TALVENNetBridge40.old.dll": "nb 1",
    "TALVENViewHostPanel.dll": "vhp 1",
    "TALVENViewHostPanel40.dll": "vhp40 1",
}
ALL_LIBRARIES = {
    **INSTALLED,
    "TALVENClient_NEW.exe": "exe 2",
    "TALVENNetBridge40_new.dll": "nb 2",
    "TALVENViewHostPanel_new.dll": "vhp 2",
    "TALVENViewHostPanel40_new.dll": "vhp40 2",
}
ALL_LIBRARIES_AFTER = {
    **INSTALLED, "TALVENClient.exe": "exe 2", "TALVENNetBridge40.dll": "nb 2",
    "TALVENNetBridge40.old.dll": "nb 1", "TALVENViewHostPanel.dll": "vhp 2",
    "TALVENViewHostPanel.old.dll": "vhp 1", "TALVENViewHostPanel40.dll": "vhp40 2",
    "TALVENViewHostPanel40.old.dll": "vhp40 1"}

# A file of another user's that a link in the folder points to.
THEIRS = "another user's file.txt"


def without(files, *names):
    return {k: v for k, v in files.items() if k not in names}


CASES = [
    Case("typical run", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0),
    Case("second run", TYPICAL_AFTER, None, [EXE_MISSING], 1),
    Case("no new executable", {**INSTALLED, "TALVENNetBridge40_new.dll": "nb 2"}, None,
         [EXE_MISSING], 1),
    Case("empty folder", {}, None, [EXE_MISSING], 1),
    Case("left-over backup removed",
         {**INSTALLED, "TALVENClient_NEW.exe": "exe 2", "TALVENClient.OLD.exe": "exe 0"},
         {**INSTALLED, "TALVENClient.exe": "exe 2"}, [DONE], 0),
    Case("all three libraries, old backups replaced",
         {**ALL_LIBRARIES, "TALVENNetBridge40.old.dll": "nb 0",
          "TALVENViewHostPanel40.old.dll": "vhp40 0"},
         ALL_LIBRARIES_AFTER, [DONE], 0),
    Case("first delivery of the executable and a library",
         {"TALVENClient_NEW.exe": "exe 1", "TALVENClient_VER.txt": "7.0.000",
          "TALVENViewHostPanel_new.dll": "vhp 1"},
         {"TALVENClient.exe": "exe 1", "TALVENClientVersion.txt": "7.0.000",
          "TALVENViewHostPanel.dll": "vhp 1"}, [DONE], 0),
    # The version file is refreshed blind; a missing delivery removes it.
    Case("version file: only the one in use",
         without(TYPICAL_BEFORE, "TALVENClient_VER.txt"),
         without(TYPICAL_AFTER, "TALVENClientVersion.txt"), [DONE], 0),
    Case("version file: only the delivered one",
         without(TYPICAL_BEFORE, "TALVENClientVersion.txt"), TYPICAL_AFTER, [DONE], 0),
    Case("version file: neither",
         without(TYPICAL_BEFORE, "TALVENClientVersion.txt", "TALVENClient_VER.txt"),
         without(TYPICAL_AFTER, "TALVENClientVersion.txt"), [DONE], 0),
    # A version file that cannot be replaced keeps both deliveries waiting,
    # and the run says so by its status alone (the step shows no box).
    Case("version file held: both deliveries kept",
         TYPICAL_BEFORE,
         {**TYPICAL_AFTER, "TALVENClientVersion.txt": "7.0.000",
          "TALVENClient_VER.txt": "7.0.001", "TALVENClient_NEW.exe": "exe 2"}, [DONE], 6,
         held=("TALVENClientVersion.txt",)),
    # Files that another user's client holds.
    Case("executable held", TYPICAL_BEFORE, None, [EXE_LOCKED], 2, held=("TALVENClient.exe",)),
    Case("left-over backup held",
         {**TYPICAL_BEFORE, "TALVENClient.OLD.exe": "exe 0"},
         {**TYPICAL_AFTER, "TALVENClient.OLD.exe": "exe 0"}, [DONE], 0,
         held=("TALVENClient.OLD.exe",)),
    # The deliveries go once every component is in place: a failed run
    # leaves the executable's delivery, and the next run completes it.
    Case("delivered executable held: every other component in place", TYPICAL_BEFORE,
         {**TYPICAL_AFTER, "TALVENClient_NEW.exe": "exe 2", "TALVENClient_VER.txt": "7.0.001"},
         [EXE_UNABLE], 3, held=("TALVENClient_NEW.exe",)),
    Case("working library held, later rows untouched", ALL_LIBRARIES,
         {**ALL_LIBRARIES, "TALVENClient.exe": "exe 2"},
         [locked("TALVENNetBridge40.dll")], 4, held=("TALVENNetBridge40.dll",)),
    Case("third working library held", ALL_LIBRARIES,
         {**INSTALLED, "TALVENClient_NEW.exe": "exe 2", "TALVENClient.exe": "exe 2",
          "TALVENNetBridge40.dll": "nb 2",
          "TALVENNetBridge40.old.dll": "nb 1", "TALVENViewHostPanel.dll": "vhp 2",
          "TALVENViewHostPanel.old.dll": "vhp 1", "TALVENViewHostPanel40_new.dll": "vhp40 2"},
         [locked("TALVENViewHostPanel40.dll")], 4, held=("TALVENViewHostPanel40.dll",)),
    Case("delivered library held", TYPICAL_BEFORE,
         {**without(TYPICAL_AFTER, "TALVENNetBridge40.dll"), "TALVENNetBridge40_new.dll": "nb 2",
          **DELIVERY_KEPT},
         [NB_UNABLE], 5, held=("TALVENNetBridge40_new.dll",)),
    Case("second delivered library held",
         {**INSTALLED, "TALVENClient_NEW.exe": "exe 2", "TALVENViewHostPanel_new.dll": "vhp 2"},
         {**without(INSTALLED, "TALVENViewHostPanel.dll"), "TALVENClient.exe": "exe 2",
          "TALVENClient_NEW.exe": "exe 2",
          "TALVENViewHostPanel.old.dll": "vhp 1", "TALVENViewHostPanel_new.dll": "vhp 2"},
         [VHP_UNABLE], 5, held=("TALVENViewHostPanel_new.dll",)),
    Case("old library backup held: stamped backup",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.old.dll": "nb 0"},
         {**without(TYPICAL_AFTER, "TALVENNetBridge40.old.dll"),
          "TALVENNetBridge40.old.dll": "nb 0", f"TALVENNetBridge40.{STAMP}.DLL": "nb 1"},
         [DONE], 0, held=("TALVENNetBridge40.old.dll",)),
    # Names that are not plain files count as absent and are never followed.
    # (FIFOs and sockets are Linux rows: no Windows file system holds them.)
    Case("delivered executable is a directory", {**INSTALLED, "TALVENClient_NEW.exe": Dir()},
         None, [EXE_MISSING], 1),
    Case("delivered executable is a FIFO", {**INSTALLED, "TALVENClient_NEW.exe": Fifo()},
         None, [EXE_MISSING], 1, platforms=("linux",)),
    Case("delivered executable links out of the folder",
         {**INSTALLED, "TALVENClient_NEW.exe": Link("/etc/hostname")},
         None, [EXE_MISSING], 1, platforms=("linux",)),
    Case("delivered library links out of the folder",
         {**TYPICAL_BEFORE, "TALVENViewHostPanel_new.dll": Link("/etc/hostname")},
         {**TYPICAL_AFTER, "TALVENViewHostPanel_new.dll": Link("/etc/hostname")}, [DONE], 0,
         platforms=("linux",)),
    # What stands under a name in use decides the outcome, never what it
    # points to: a link is removed or refused, and nothing outside is touched.
    Case("executable in use is a directory", {**TYPICAL_BEFORE, "TALVENClient.exe": Dir()},
         None, [EXE_LOCKED], 2),
    Case("executable in use is a dangling link",
         {**TYPICAL_BEFORE, "TALVENClient.exe": Link("nowhere")}, TYPICAL_AFTER, [DONE], 0),
    Case("left-over executable backup is a directory",
         {**TYPICAL_BEFORE, "TALVENClient.OLD.exe": Dir()},
         {**TYPICAL_AFTER, "TALVENClient.OLD.exe": Dir()}, [DONE], 0),
    # The copy cannot make its temporary: the executable in use and the
    # delivery both stay.
    Case("directory at the executable's temporary name: both executables kept",
         {**TYPICAL_BEFORE, "TALVENClient.exe.tmp": Dir()}, None, [EXE_UNABLE], 3),
    Case("delivered executable is a socket", {**INSTALLED, "TALVENClient_NEW.exe": Socket()},
         None, [EXE_MISSING], 1, platforms=("linux",)),
    Case("delivered version file is a FIFO", {**TYPICAL_BEFORE, "TALVENClient_VER.txt": Fifo()},
         {**without(TYPICAL_AFTER, "TALVENClientVersion.txt"), "TALVENClient_VER.txt": Fifo()},
         [DONE], 0, platforms=("linux",)),
    Case("delivered library is a socket",
         {**TYPICAL_BEFORE, "TALVENViewHostPanel_new.dll": Socket()},
         {**TYPICAL_AFTER, "TALVENViewHostPanel_new.dll": Socket()}, [DONE], 0,
         platforms=("linux",)),
    # A working name that is no file looks undelivered-to, and the rename
    # onto it is refused; so is the rename onto a backup name that is none.
    *[Case(f"working library is a {kind}", {**TYPICAL_BEFORE, "TALVENNetBridge40.dll": thing},
           {**without(TYPICAL_AFTER, "TALVENNetBridge40.old.dll"),
            "TALVENNetBridge40.dll": thing, "TALVENNetBridge40_new.dll": "nb 2", **DELIVERY_KEPT},
           [NB_UNABLE], 5, platforms=platforms)
      for kind, thing, platforms in (("directory", Dir(), ("linux", "wine")),
                                     ("dangling link", Link("nowhere"), ("linux",)))],
    # Wine sees no file under a dangling link, and its rename, which looks
    # through the link for a file in the way, replaces the link. (On Windows
    # the link is a reparse point that refuses the rename, as on Linux.)
    Case("working library is a dangling link (Wine: replaced)",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.dll": Link("nowhere")},
         without(TYPICAL_AFTER, "TALVENNetBridge40.old.dll"), [DONE], 0, platforms=("wine",)),
    # A backup name that holds no file is a backup that will not go (a
    # folder: stamped name instead) or goes (a link: removed, not followed).
    Case("library backup is a directory: stamped backup",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.old.dll": Dir()},
         {**without(TYPICAL_AFTER, "TALVENNetBridge40.old.dll"), "TALVENNetBridge40.old.dll": Dir(),
          f"TALVENNetBridge40.{STAMP}.DLL": "nb 1"}, [DONE], 0),
    Case("library backup is a dangling link",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.old.dll": Link("nowhere")}, TYPICAL_AFTER, [DONE], 0),
    Case("library backup links to another file", {**TYPICAL_BEFORE, THEIRS: "their file",
                                                  "TALVENNetBridge40.old.dll": Link(THEIRS)},
         {**TYPICAL_AFTER, THEIRS: "their file"}, [DONE], 0, platforms=("linux",)),
    # Under Wine a Unix symbolic link is invisible: the program sees the file
    # it points to (as a Windows client sees a link that a file server
    # follows for it) and treats it as that file. Wine's server resolves the
    # link before a delete or rename, so these take the file it points to
    # and leave the link dangling: `wine cmd /c del LINK` does the same, so no
    # Windows program can do otherwise under Wine. On Windows a delete or
    # rename takes the link's own name (an NTFS link is a reparse point; a
    # file server unlinks the link). The rows record Wine's outcome: what is
    # lost is the linked file, never a delivery, and the run ends with its
    # box. The linked file stands in the folder so that the comparison sees
    # it; a link out of the folder fares the same.
    Case("delivered executable links to another file (Wine: that file is copied, then removed)",
         {**INSTALLED, "TALVENClient_NEW.exe": Link(THEIRS), THEIRS: "their file"},
         {**INSTALLED, "TALVENClient.exe": "their file", "TALVENClient_NEW.exe": Link(THEIRS)},
         [DONE], 0, platforms=("wine",)),
    Case("delivered library links to another file (Wine: that file is renamed)",
         {**TYPICAL_BEFORE, "TALVENViewHostPanel_new.dll": Link(THEIRS), THEIRS: "their file"},
         {**TYPICAL_AFTER, "TALVENViewHostPanel.dll": "their file",
          "TALVENViewHostPanel.old.dll": "vhp 1", "TALVENViewHostPanel_new.dll": Link(THEIRS)},
         [DONE], 0, platforms=("wine",)),
    Case("executable in use links to another file (Wine: the link is replaced)",
         {**TYPICAL_BEFORE, "TALVENClient.exe": Link(THEIRS), THEIRS: "their file"},
         {**TYPICAL_AFTER, THEIRS: "their file"}, [DONE], 0, platforms=("wine",)),
    # Removing the left-over temporary removes the linked file; the dangling
    # link then stands in the way of the copy's fresh temporary, which is
    # never written through it: the run fails loudly, both executables kept.
    Case("both temporary names link to another file (Wine: that file is removed)",
         {**TYPICAL_BEFORE, "TALVENClient.exe.tmp": Link(THEIRS),
          "TALVENClientVersion.txt.tmp": Link(THEIRS), THEIRS: "their file"},
         {**TYPICAL_BEFORE, "TALVENClient.exe.tmp": Link(THEIRS),
          "TALVENClientVersion.txt.tmp": Link(THEIRS)},
         [EXE_UNABLE], 3, platforms=("wine",)),
]

# A virus scanner or indexer lets go of a file a moment later: the delete
# (executable) and the rename (library) wait for it. Run and recorded by
# wine_reliability.py.
TRANSIENT_CASES = [
    Case(f"{name} held for a moment", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(Hold(name, let_go_ms=300),), platforms=("wine",))
    for name in ("TALVENClient.exe", "TALVENNetBridge40.dll")
]

LOCK = "TalvenClient_SET.lck"
# Longest Windows path Wine gives a program as its current directory: a Unix
# folder whose Z:\ path is longer starts the program in C:\windows instead
# (Wine warns "could not find DOS drive for current working directory").
# Windows itself takes no longer current directory either (MAX_PATH - 2).
LONGEST_CURRENT_FOLDER = 258
LEFT_OVERS = {"TALVENClient.exe.tmp": "ex", "TALVENClientVersion.txt.tmp": "7."}
EVERY_NAME = {**ALL_LIBRARIES, "TALVENNetBridge40.old.dll": "nb 0",
              "TALVENViewHostPanel40.old.dll": "vhp40 0", "TALVENClientVersion.txt": "7.0.000",
              "TALVENClient_VER.txt": "7.0.001", **LEFT_OVERS}
EVERY_NAME_AFTER = {**ALL_LIBRARIES_AFTER, "TALVENClientVersion.txt": "7.0.001"}

SCAN_HOLD_MS = 300  # a scanner's look at a file: shorter than the ~1 s of retries
SCANNED_EXE, SCANNED_VERSION = "exe 2 " + "x" * (4 << 20), "7.0.001 " + "v" * (4 << 20)

# Rows only Windows can pose: share modes, attributes, boxes, paths.
CASES += [
    Case("executable read-only", TYPICAL_BEFORE, None, [EXE_LOCKED], 2,
         held=(ReadOnly("TALVENClient.exe"),), platforms=("wine",)),
    # A client started from the folder holds no handle on its executable,
    # only its mapped image, which the file system refuses to delete.
    Case("client running from the folder", TYPICAL_BEFORE, None, [EXE_LOCKED], 2,
         held=(Running("TALVENClient.exe"),), platforms=("wine",)),
    # Holders of attributes only take no part in sharing: nothing the run
    # touched may vanish when they let go. A deleted name is free at once;
    # the executable in use is not replaced while it is open at all.
    Case("executable held for its attributes only", TYPICAL_BEFORE, None, [EXE_UNABLE], 3,
         held=(Hold("TALVENClient.exe", access="attr", share="none"),), platforms=("wine",)),
    Case("delivery held for its attributes only", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(Hold("TALVENClient_NEW.exe", access="attr", share="none"),), platforms=("wine",)),
    # The copies of read-only deliveries are not read-only (the runner checks
    # every file); a read-only delivery itself will not go, once every
    # component is in place, and both deliveries wait for the next run.
    Case("read-only delivered executable", TYPICAL_BEFORE,
         {**TYPICAL_AFTER, "TALVENClient_NEW.exe": "exe 2", "TALVENClient_VER.txt": "7.0.001"},
         [EXE_UNABLE], 3,
         held=(ReadOnly("TALVENClient_NEW.exe"),), platforms=("wine",)),
    Case("read-only delivered version file", TYPICAL_BEFORE,
         {**TYPICAL_AFTER, "TALVENClient_VER.txt": "7.0.001"}, [DONE], 0,
         held=(ReadOnly("TALVENClient_VER.txt"),), platforms=("wine",)),
    # The delivery is checked readable before the executable in use goes:
    # nothing is touched.
    Case("delivered executable unreadable", TYPICAL_BEFORE, None, [EXE_UNABLE], 3,
         held=(Hold("TALVENClient_NEW.exe", share="none"),), platforms=("wine",)),
    # What a copy killed part-way left behind is replaced, not in the way,
    # even when it bears the read-only attribute (copied from a read-only
    # delivery, say).
    Case("left-over temporary of a killed copy", {**TYPICAL_BEFORE, **LEFT_OVERS},
         TYPICAL_AFTER, [DONE], 0, platforms=("wine",)),
    Case("read-only left-over temporaries", {**TYPICAL_BEFORE, **LEFT_OVERS}, TYPICAL_AFTER,
         [DONE], 0, held=tuple(ReadOnly(n) for n in LEFT_OVERS), platforms=("wine",)),
    # A link planted at the folder lock's name: on Windows the lock opens it
    # as itself (OPEN_REPARSE_POINT) and deletes the link on release. Wine
    # shows a Unix link as the file it points to, and its delete-on-close
    # takes that file, as for the other links of cases.py: recorded here.
    Case("folder lock's name links to another file (Wine: that file is removed)",
         {**TYPICAL_BEFORE, LOCK: Link(THEIRS), THEIRS: "their file"},
         {**TYPICAL_AFTER, LOCK: Link(THEIRS)}, [DONE], 0, platforms=("wine",)),
    # A file a killed run's delete left aside, unmarked, is removed by the
    # next run; a name of that kind that no delete made stays.
    Case("files left aside by a killed run's delete",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.dll.0123ABCD.deleted": "nb 0",
          "notes.deleted": "n", "TALVENClient.exe.XYZ.deleted": "x"},
         {**TYPICAL_AFTER, "notes.deleted": "n", "TALVENClient.exe.XYZ.deleted": "x"}, [DONE], 0,
         platforms=("wine",)),
    Case("notice dismissed with Escape", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(DismissNotice("Escape"),), platforms=("wine",)),
    Case("notice closed with its close button", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(DismissNotice("close"),), platforms=("wine",)),
    # Share modes (each routine against every access and share mode is a row
    # of tests/platform_contract_test.cpp): the executable in use is not
    # deleted even by a holder that shares deleting; a loaded library, held
    # with delete sharing, is set aside all the same; a delivery being written
    # is not read, and nothing is touched.
    Case("executable in use held with every sharing", TYPICAL_BEFORE, None, [EXE_LOCKED], 2,
         held=(Hold("TALVENClient.exe", share="all"),), platforms=("wine",)),
    Case("loaded library held with delete sharing", TYPICAL_BEFORE, TYPICAL_AFTER, [DONE], 0,
         held=(Hold("TALVENNetBridge40.dll", share="rd"),), platforms=("wine",)),
    Case("delivered executable held by a writer", TYPICAL_BEFORE, None, [EXE_UNABLE], 3,
         held=(Hold("TALVENClient_NEW.exe", access="w", share="rw"),), platforms=("wine",)),
    # A scanner on each fresh temporary: the flush shares with it, the rename
    # goes past its delete-sharing handle; the run succeeds fully updated. The
    # deliveries are large enough (the copy and its flush take a while) for
    # the scanner to catch each temporary before it is renamed.
    Case("scanner on both temporaries",
         {**TYPICAL_BEFORE, "TALVENNetBridge40.old.dll": "nb 0",
          "TALVENClient_NEW.exe": SCANNED_EXE, "TALVENClient_VER.txt": SCANNED_VERSION},
         {**TYPICAL_AFTER, "TALVENClient.exe": SCANNED_EXE, "TALVENClientVersion.txt": SCANNED_VERSION},
         [DONE], 0, held=tuple(Hold(n, scan_ms=SCAN_HOLD_MS) for n in LEFT_OVERS),
         platforms=("wine",)),
    # A holder that never lets go of the folder lock: the run gives up after
    # its 60 s and touches nothing. The one minute-long case of the build.
    Case("folder lock never let go", {**TYPICAL_BEFORE, LOCK: ""}, None, [EXE_LOCKED], 2,
         held=(Hold(LOCK, share="none"), Patience(90)), platforms=("wine",)),
    # No lock file can be made: the run goes on at once without it (well
    # within the 60 s a held lock would take), and the executable in use
    # cannot be deleted.
    Case("folder the user may not write to (read-only mount)", TYPICAL_BEFORE, None,
         [EXE_LOCKED], 2, held=(ReadOnlyFolder(), Patience(20)), platforms=("wine",)),
    # Every component name, with the folder's path as long as a current
    # directory may be: each full path is longer than MAX_PATH (260), and the
    # update works through "\\?\" paths.
    Case(f"folder path of {LONGEST_CURRENT_FOLDER} characters, every name past MAX_PATH",
         EVERY_NAME, EVERY_NAME_AFTER, [DONE], 0,
         held=(LongFolder(LONGEST_CURRENT_FOLDER),), platforms=("wine",)),
    # One character longer and Wine starts the program in C:\windows, where
    # there is no delivery: the run fails loudly and the folder is untouched.
    # (Windows refuses such a current directory when the process is created.)
    Case(f"folder path of {LONGEST_CURRENT_FOLDER + 1} characters: not the current directory",
         TYPICAL_BEFORE, None, [EXE_MISSING], 1,
         held=(LongFolder(LONGEST_CURRENT_FOLDER + 1),), platforms=("wine",)),
]

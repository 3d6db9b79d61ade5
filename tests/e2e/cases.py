"""The end-to-end cases: the client folder before a run, the folder, boxes
and exit status after it. Shared by the Linux build and the exe under Wine."""

from harness import STAMP, Case, Dir, Fifo, Link, Socket

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
         {**INSTALLED, "TALVENClient.exe": "exe 2", "TALVENNetBridge40.dll": "nb 2",
          "TALVENNetBridge40.old.dll": "nb 1", "TALVENViewHostPanel.dll": "vhp 2",
          "TALVENViewHostPanel.old.dll": "vhp 1", "TALVENViewHostPanel40.dll": "vhp40 2",
          "TALVENViewHostPanel40.old.dll": "vhp40 1"}, [DONE], 0),
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

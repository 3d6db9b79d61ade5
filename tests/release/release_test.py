"""The release an administrator can check: two runs of tools/release.sh on
copies of this tree in different folders give the same exe; a release signed
with a throwaway code-signing certificate verifies against it, still passes
the static checks and the typical run under Wine, and fails verification
once a byte of it changes.

usage: release_test.py [--wine LOADER] [--prefix-template DIR] --holder HOLDER.exe

The copies hold the work tree's files as they stand (tracked and new, not
ignored ones), not a clone of the last commit: what is tested is what
tools/release.sh in this tree would release, and no build folder comes along.
Exit status 0 when everything held, 1 when something did not.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(TOP / "tests" / "wine"), str(TOP / "tests" / "e2e")]
import wine_runner as w  # noqa: E402
from cases import CASES  # noqa: E402
from harness import check  # noqa: E402

EXE = "TalvenClient_SET.exe"
DELIVER_EXE = "TalvenClient_DELIVER.exe"


def run(*command, cwd=None, env=None) -> subprocess.CompletedProcess:
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def copy_tree(destination: Path) -> None:
    listed = run("git", "-C", str(TOP), "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    if listed.returncode != 0:
        raise RuntimeError(f"cannot list the work tree's files: {listed.stderr}")
    for name in filter(None, listed.stdout.split("\0")):
        if (TOP / name).is_file():  # a tracked file deleted in the work tree is not copied
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(TOP / name, destination / name)


def release(tree: Path, *args, env=None) -> tuple:
    """(output, release folder) of tools/release.sh in `tree`."""
    done = run("sh", str(tree / "tools" / "release.sh"), *args, cwd=tree, env=env)
    if done.returncode != 0:
        raise RuntimeError(f"release.sh {' '.join(args)} failed:\n{done.stdout}{done.stderr}")
    folder = next(line.split(" in ")[1].rstrip(":") for line in done.stdout.splitlines() if " in dist/" in line)
    return done.stdout, tree / folder


def differences(first: Path, second: Path) -> str:
    if shutil.which("diffoscope"):
        return run("diffoscope", "--text", "-", str(first), str(second)).stdout
    differing = run("cmp", "-l", str(first), str(second)).stdout.splitlines()
    return "\n".join(["cmp -l (byte number from 1, octal values):", *differing[:40]])


def main() -> int:
    w.run_32bit_through_qemu()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine", default=w.WINE64, help="Wine loader for 64-bit programs")
    parser.add_argument("--prefix-template", type=Path, help="prefix to copy for the session")
    parser.add_argument("--holder", type=Path, required=True)
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="talven release "))
    checks = []  # (what, problem or "")
    try:
        first, second = root / "a", root / "elsewhere" / "a longer folder"
        for tree in (first, second):
            copy_tree(tree)
        said, first_release = release(first)
        # Another time zone and clock reading: neither may reach the exe.
        _, second_release = release(second, env=dict(os.environ, TZ="Asia/Kolkata"))
        sums = [run("sha256sum", str(r / EXE)).stdout.split()[0] for r in (first_release, second_release)]
        print(f"SHA-256 of the exe built in {first}: {sums[0]}\nSHA-256 of the exe built in {second}: {sums[1]}")
        checks.append(("the two builds give the same exe", "" if sums[0] == sums[1] else
                       differences(first_release / EXE, second_release / EXE)))
        delivers = [run("sha256sum", str(r / DELIVER_EXE)).stdout.split()[0]
                    for r in (first_release, second_release)]
        checks.append(("the two builds give the same delivery program", "" if delivers[0] == delivers[1]
                       else differences(first_release / DELIVER_EXE, second_release / DELIVER_EXE)))
        checks.append(("an unsigned release says so", "" if "UNSIGNED" in said else said))
        checks.append(("an unsigned exe has no signature to verify",
                       "" if run("osslsigncode", "verify", "-in", str(first_release / EXE)).returncode else "verified"))

        # A throwaway code-signing certificate, trusted by nothing but this test.
        key, cert = root / "key.pem", root / "cert.pem"
        made = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                   "-subj", "/CN=TALVEN release test", "-keyout", str(key), "-out", str(cert),
                   "-addext", "keyUsage=critical,digitalSignature", "-addext", "extendedKeyUsage=codeSigning")
        if made.returncode != 0:
            raise RuntimeError(f"openssl could not make a certificate: {made.stderr}")
        said, signed = release(second, "--key", str(key), "--cert", str(cert))
        print(said, end="")
        verified = run("osslsigncode", "verify", "-CAfile", str(cert), "-in", str(signed / EXE))
        print("osslsigncode verify of the signed exe:\n" + verified.stdout + verified.stderr)
        checks.append(("the signed exe verifies against its certificate",
                       "" if verified.returncode == 0 else "did not verify"))
        checks.append(("SHA256SUMS matches both signed exes",
                       run("sha256sum", "-c", "SHA256SUMS", cwd=signed).stdout
                       .replace(f"{EXE}: OK\n", "").replace(f"{DELIVER_EXE}: OK\n", "")))
        checks.append(("the signed delivery program verifies against its certificate",
                       "" if run("osslsigncode", "verify", "-CAfile", str(cert), "-in",
                                 str(signed / DELIVER_EXE)).returncode == 0 else "did not verify"))
        static = run(sys.executable, str(TOP / "tests" / "wine" / "static_checks.py"), str(signed / EXE))
        checks.append(("the signed exe passes the static checks", "" if static.returncode == 0 else static.stdout))
        bare = root / "signature removed.exe"
        run("osslsigncode", "remove-signature", "-in", str(signed / EXE), "-out", str(bare))
        checks.append(("the signed exe without its signature is the unsigned build",
                       "" if bare.exists() and run("sha256sum", str(bare)).stdout.split()[0] == sums[1]
                       else "it is not"))
        tampered = root / "tampered.exe"
        data = bytearray((signed / EXE).read_bytes())
        data[len(data) // 3] ^= 0x01  # inside the code, which the signature covers
        tampered.write_bytes(data)
        checks.append(("a byte changed in the signed exe fails verification",
                       "" if run("osslsigncode", "verify", "-CAfile", str(cert), "-in", str(tampered)).returncode
                       else "still verified"))

        # The typical run of a signed exe: the 32-bit product where 32-bit
        # Wine runs, else its x86-64 twin, signed the same way.
        _, signed64 = release(second, "--preset", "windows64", "--key", str(key), "--cert", str(cert))
        args.programs = [signed / EXE, signed64 / EXE]
        with w.wine_runner(args) as runner:
            if runner is None:
                print("SKIP the typical run of a signed exe under Wine")
            else:
                typical = next(case for case in CASES if case.name == "typical run")
                checks.append((f"the typical run of the signed {runner.program.parent.name} exe under Wine",
                               "\n".join(check(typical, runner, root))))
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        checks.append(("the release could be made and checked", str(error)))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    for what, problem in checks:
        print(f"FAIL {what}:\n  " + problem.replace("\n", "\n  ") if problem else f"ok   {what}")
    failed = sum(bool(problem) for _, problem in checks)
    print(f"release checks: {len(checks)} checks, {len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

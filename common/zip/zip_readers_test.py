#!/usr/bin/env python3
"""Runs the Windows writer test under Wine into a temporary folder, then has readers nobody here wrote
check every archive it left: Python's zipfile (testzip and contents), unzip -t, 7z t and bsdtar. The
time tests then run again in a zone west of UTC and two east of it."""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile


def main():
    build = os.environ["SUITE_BIN"]
    source = os.environ["SUITE_SOURCE"]
    exe = os.path.join(build, "common", "zip", "zip_writer_win_test.exe")
    failures = []
    with tempfile.TemporaryDirectory(prefix="zip_readers_") as tmp:
        env = dict(os.environ, ZIP_ARCHIVE_DIR="Z:" + tmp.replace("/", "\\"))
        returncode, out = wine_run(source, env, exe, "--gtest_color=no")
        if returncode != 0 or "[  PASSED  ]" not in out:
            print(out)
            print("the Windows writer test failed")
            return 1
        expected = {}
        with open(os.path.join(tmp, "manifest.txt"), "rb") as m:
            for line in m.read().decode("utf-8").splitlines():
                archive, entry, src = line.split("\t")
                expected.setdefault(archive, {})[entry] = os.path.join(tmp, src.replace("\\", "/"))
        for archive, entries in sorted(expected.items()):
            path = os.path.join(tmp, archive)
            failures += check_zipfile(path, entries)
            failures += check_tool(path, ["unzip", "-t", "-q", path])
            failures += check_tool(path, ["7z", "t", path])
            failures += check_tool(path, ["bsdtar", "-tvf", path])
            # bsdtar also extracts: every entry's bytes must equal its source.
            failures += check_bsdtar_extract(path, entries, tmp)
            print("%-14s %2d entries checked by zipfile, unzip, 7z, bsdtar" % (archive, len(entries)))
    failures += run_in_zones(source, exe)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


def wine_run(source, env, *args):
    """(exit code, output with stderr) of a Windows program run through the project's wine-run."""
    run = subprocess.run(
        [os.path.join(source, "tools", "wine", "wine-run"), *args],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        timeout=600,
    )
    return run.returncode, run.stdout.decode("utf-8", "replace")


# Zones west and east of UTC with their Windows bias in minutes: India's half hour, and Adelaide's,
# east of UTC+8:20, where the time of day kept for a file from before 1970 falls before the epoch.
ZONES = (("America/Los_Angeles", 480), ("Asia/Kolkata", -330), ("Australia/Adelaide", -570))
TIME_TESTS = "ZipWriterD.TimesFollowTheMachinesZone:ZipWriterD.FileTargetCarriesEveryEntryRule"


def run_in_zones(source, exe):
    """Wine takes the system's zone from the Unix TZ of the process, but also hands TZ on to the
    Windows environment, where the C runtime reads it as a zone text of its own ("America/..." is
    not one). On Windows the zone is the system's and TZ is unset; so the program is started through
    cmd with TZ removed from its Windows environment, and the test checks the bias it sees."""
    failures = []
    for zone, bias in ZONES:
        with tempfile.TemporaryDirectory(prefix="zip_zone_") as tmp:
            env = dict(
                os.environ, TZ=zone, ZIP_EXPECT_BIAS=str(bias), ZIP_ARCHIVE_DIR="Z:" + tmp.replace("/", "\\")
            )
            command = "set TZ=&& Z:%s --gtest_color=no --gtest_filter=%s" % (
                exe.replace("/", "\\"),
                TIME_TESTS,
            )
            returncode, out = wine_run(source, env, "cmd", "/c", command)
            if returncode != 0 or "[  PASSED  ] 2 tests" not in out:
                failures.append("time tests in %s:\n%s" % (zone, out))
            else:
                print("time tests passed in %s (bias %d)" % (zone, bias))
    return failures


def check_zipfile(path, entries):
    failures = []
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad is not None:
            failures.append("%s: zipfile.testzip reports %s" % (path, bad))
        names = {i.filename for i in z.infolist()}
        for entry, src in entries.items():
            # A name with the UTF-8 flag (variant U, not plain ASCII) reads as written; without it
            # zipfile reads the bytes as code page 437.
            if entry not in names:
                entry = entry.encode("utf-8").decode("cp437")
            if entry not in names:
                failures.append("%s: no entry %r (has %r)" % (path, entry, sorted(names)))
                continue
            with open(src, "rb") as f:
                if z.read(entry) != f.read():
                    failures.append("%s: %s differs from %s" % (path, entry, src))
    return failures


def check_tool(path, cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        return ["%s: %s exited %d:\n%s" % (path, cmd[0], r.returncode, r.stdout.decode("utf-8", "replace"))]
    return []


def check_bsdtar_extract(path, entries, tmp):
    dest = tempfile.mkdtemp(dir=tmp)
    try:
        r = subprocess.run(
            ["bsdtar", "-xf", path, "-C", dest], stdout=subprocess.PIPE, stderr=subprocess.STDOUT
        )
        if r.returncode != 0:
            return ["%s: bsdtar -x exited %d: %s" % (path, r.returncode, r.stdout.decode("utf-8", "replace"))]
        failures = []
        for entry, src in entries.items():
            got = os.path.join(dest, entry)
            with open(src, "rb") as f, open(got, "rb") as g:
                if f.read() != g.read():
                    failures.append("%s: bsdtar's %s differs" % (path, entry))
        return failures
    finally:
        shutil.rmtree(dest, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

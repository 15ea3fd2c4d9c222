#!/usr/bin/env python3
"""The suite on Windows XP, under Wine: a 32-bit prefix of its own that reports Windows XP (5.1).

A crash of the demo product is captured by Kelvor and delivered by Ulvane to the local collector, and
its report names the system "WIN_XP 32"; Drummet reports a kernel dump and keeps its information
file in the data folder of Windows before Vista. Wine still exports the newer functions, so whether
a real XP's loader finds every import is check_xp_imports.py's part; this run covers the XP paths.
Usage: xp_scenario.py [name-substring...]   (SUITE_SOURCE, SUITE_BUILD, SUITE_BIN set by CTest)
"""
import glob
import io
import os
import shutil
import sys
import zipfile

# Set before the prefix is made: Wine offers Windows XP only in a 32-bit prefix.
os.environ["SUITE_WINEARCH"] = "win32"
import scenario  # noqa: E402
from protocol_names import (  # noqa: E402
    ARCHIVE_PATH,
    INFO_PATH,
    KERNEL_REPORT_PATH,
    LAST_DMP_TIME_VALUE,
    MINIDUMP_DIR_VALUE,
)
from scenario import CRASH_CONTROL_REG_PATH, UNINSTALL_REG_PATH  # noqa: E402

PREFIX = os.path.join(scenario.BUILD, "wineprefix-xp")
INSTALL_WIN = "C:\\Program Files\\Vemko Antivirus"  # a 32-bit Windows has no "(x86)" folder
MINIDUMPS_WIN = "C:\\Windows\\Minidump"


class WindowsXp(scenario.ScenarioCase):
    @classmethod
    def setUpClass(cls):
        cls.w = scenario.Wine(prefix=PREFIX)
        cls.w.reg_set(r"HKCU\Software\Wine", "Version", "winxp")
        cls.c = scenario.Collector().__enter__()
        cls.w.install(INSTALL_WIN, BUG_URL=cls.c.base_url, BUG_INFO_URL=cls.c.base_url)
        cls.w.keep_server()
        cls.install = cls.w.host_path(INSTALL_WIN)

    @classmethod
    def tearDownClass(cls):
        cls.c.__exit__(None, None, None)
        cls.w.end_server()

    def setUp(self):
        self.assertIn("5.1.2600", self.w.output("cmd", "/c", "ver"), "the prefix reports Windows XP")
        self.c.reset()

    def test_crash_captured_and_delivered(self):
        scenario.clear_folder(os.path.join(self.install, "dump"))
        self.c.behave(INFO_PATH, "ok", body="true")
        self.w.run(
            os.path.join(self.install, "Orv.exe"),
            "--full-dump",
            "0",
            "--wait-kelvor",
            "crash",
            "dll",
            timeout=180,
        )
        archives = scenario.wait_for(lambda: self.c.received(ARCHIVE_PATH), 120)
        if not self.check(archives is not None, "Ulvane delivered the crash's archive"):
            return
        z = zipfile.ZipFile(io.BytesIO(self.c.body(archives[0])))
        names = z.namelist()
        self.check(
            len(names) == 2 and z.read(names[0])[:4] == b"MDMP",
            "archive holds the dump and report %s" % names,
        )
        report = z.read(names[-1]).decode("utf-16-le", "replace")
        line = [ln for ln in report.split("\r\n") if "Windows Version:" in ln]
        self.check(
            line and line[0].endswith("   Windows Version:WIN_XP 32"), "report names the system: %s" % line
        )

    def test_kernel_dump_from_pre_vista_data_folder(self):
        users = os.path.join(self.w.drive_c, "users", "*", "AppData")
        for left in glob.glob(os.path.join(users, "Local*", "Vemko")):
            shutil.rmtree(left)
        minidumps = self.w.host_path(MINIDUMPS_WIN)
        scenario.clear_folder(minidumps)
        with open(os.path.join(minidumps, "Mini120926-01.dmp"), "wb") as f:
            f.write(b"MDMP" + os.urandom(4000))
        self.w.reg_set(CRASH_CONTROL_REG_PATH, MINIDUMP_DIR_VALUE, MINIDUMPS_WIN)
        self.w.reg_delete(UNINSTALL_REG_PATH, LAST_DMP_TIME_VALUE)
        run = self.w.run(os.path.join(self.install, "Drummet.exe"), timeout=180)
        self.check(run.returncode == 0, "Drummet ended with 0")
        posts = self.c.received(KERNEL_REPORT_PATH)
        names = zipfile.ZipFile(io.BytesIO(self.c.body(posts[0]))).namelist() if posts else []
        self.check(
            len(posts) == 1 and "Mini120926-01.dmp" in names, "the kernel dump was reported: %s" % names
        )
        self.check(
            glob.glob(os.path.join(users, "Local", "Vemko", "Ossary")) != [],
            "information file's folder under the local application data (before Vista)",
        )
        self.check(
            glob.glob(os.path.join(users, "LocalLow", "Vemko")) == [], "nothing under LocalLow (Vista on)"
        )


if __name__ == "__main__":
    sys.exit(scenario.main())

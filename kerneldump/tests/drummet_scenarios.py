#!/usr/bin/env python3
"""Drummet end to end under Wine: real registry, files, mutex and WinINet, the collector on loopback.

Minidumps are planted in the prefix's folders with chosen last-write times (the prefix is a Linux
folder, and Wine's FILETIME is the file's mtime in 100-ns units), Drummet.exe runs from a copy in
C:\\DrummetE2E, and what the collector received is opened with zipfile. Registry values are set and
read with drummet_probe.exe, a 32-bit program like Drummet, so both see the same registry view.
Every scenario sets up the state it needs; the original registry values are put back at the end.
"""
import configparser
import glob
import io
import os
import shutil
import socket
import subprocess
import sys
import time
import zipfile

import protocol_names
import scenario
from scenario import BIN, CRASH_CONTROL_REG_PATH as CC, UNINSTALL_REG_PATH as UN, Collector, clear_folder

SWIFTOR = "HKCU\\" + protocol_names.IDENTITY_KEY
ENDPOINT = protocol_names.KERNEL_REPORT_PATH
AGENT = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"
EPOCH_AS_FILETIME = 116444736000000000
SECOND = 10_000_000


WINE = scenario.Wine()
DRIVE_C = WINE.drive_c
INSTALL = os.path.join(DRIVE_C, "DrummetE2E")
INSTALL_WIN = "C:\\DrummetE2E"
DEFAULT_DUMPS = os.path.join(DRIVE_C, "windows", "Minidump")
CUSTOM_DUMPS = os.path.join(DRIVE_C, "DrumDumps")
PROBE = os.path.join(BIN, "kerneldump", "drummet_probe.exe")
DRUMMET = os.path.join(INSTALL, "Drummet.exe")
INSTALLED_WIN = "C:\\DrummetInstalled"  # laid out by tools/install/install.sh
INSTALLED = os.path.join(DRIVE_C, "DrummetInstalled")
FAULTY = os.path.join(INSTALL, "drummet_faulty.exe")  # the program with a fault injected on request


def probe(*commands):
    """Runs the probe once; returns its output lines."""
    run = WINE.run(PROBE, *commands, timeout=120)
    assert run.returncode == 0, "probe failed"
    return [line.rstrip("\r") for line in run.out.splitlines() if line.strip()]


def values(lines):
    """{name: value} from probe "get" lines (None = missing)."""
    result = {}
    for line in lines:
        words = line.split(" ", 4)
        if words[0] == "MISSING":
            result[words[1]] = None
        elif words[0] == "DWORD":
            result[words[1]] = int(words[2])
        elif words[0] == "STRING":
            result[words[1]] = words[4] if len(words) > 4 else ""
    return result


def run_drummet(program=DRUMMET, *args):
    start = time.time()
    run = WINE.run(program, *args, timeout=120)
    return run.returncode, run.out, time.time() - start


def filetime_to_ns(ft):
    return (ft - EPOCH_AS_FILETIME) * 100


def plant(folder, name, filetime, size=6000):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    body = b"MDMP" + (name.encode() * (size // len(name) + 1))[:size] + os.urandom(64)
    with open(path, "wb") as f:
        f.write(body)
    os.utime(path, ns=(filetime_to_ns(filetime), filetime_to_ns(filetime)))
    return body


def write_config(bug_url):
    scenario.write_config(INSTALL, bug_url, "http://127.0.0.1:9/")


def write_version(version):
    path = os.path.join(INSTALL, "version.xml")
    if version is None:
        if os.path.exists(path):
            os.remove(path)
        return
    with open(path, "w", newline="\r\n") as f:
        f.write(
            '<?xml version="1.0" encoding="utf-8"?>\n<Product>\n  <Name>Vemko Antivirus</Name>\n'
            "  <ProgramVersion>%s</ProgramVersion>\n</Product>\n" % version
        )


def full_backlog_listener():
    """A listener on loopback that never accepts, its queue already full: the kernel drops every
    further connection attempt, so a connect to it is retried for minutes. Returns the sockets to
    keep open (the listener first)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    held = [listener]
    for _ in range(4):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        held.append(filler)
    return held


def connects_within(address, seconds):
    try:
        socket.create_connection(address, timeout=seconds).close()
        return True
    except OSError:
        return False


def info_file_paths():
    return glob.glob(
        os.path.join(DRIVE_C, "users", "*", "AppData", "LocalLow", "Vemko", "Ossary", "info.ini")
    )


# The registry values a run may change, read before the scenarios and after each run.
WATCHED = [
    (UN, "LastDmpTime"),
    (CC, "CrashDumpEnabled"),
    (CC, "MinidumpDir"),
    (SWIFTOR, "swiftor-id"),
    (UN, "PassedOverDmpTime"),
]
# And those put back as they were after the scenarios.
SAVED = WATCHED + [(UN, "InstallDir"), (UN, "UnreadableDmp")]


def gets(pairs):
    """The probe's arguments that read each (key, value) of `pairs`."""
    return [arg for key, name in pairs for arg in ("get", key, name)]


class DrummetScenarios(scenario.ScenarioCase):
    """One collector for all scenarios; the prefix's registry values are saved first and put back
    at the end. A scenario ends at its first failed check: the later ones build on the earlier."""

    @classmethod
    def setUpClass(cls):
        os.makedirs(os.path.join(INSTALL, "log"), exist_ok=True)
        shutil.copy2(os.path.join(BIN, "kerneldump", "Drummet.exe"), DRUMMET)
        shutil.copy2(os.path.join(BIN, "kerneldump", "drummet_faulty.exe"), FAULTY)
        cls.saved = probe(
            "has-key",
            UN,
            "has-key",
            CC,
            *gets(SAVED),
            "ctime",
            INSTALL_WIN + "\\log\\",
        )
        cls.floor = int(cls.saved[-1].split()[1])
        cls.c = Collector().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.c.__exit__(None, None, None)
        restore_prefix(cls.saved)

    def check(self, condition, message):
        self.assertTrue(condition, message)

    # --- helpers ------------------------------------------------------------------------------
    def state(self, *extra):
        return values(probe(*gets(WATCHED), *extra))

    def prepare(self, last=None, enabled=None, minidump_dir=None, expand=False, forget_identity=False):
        # Setting the value first makes sure the uninstall key exists, as it does on an installed machine.
        cmds = ["set-sz", UN, "LastDmpTime", last or ""]
        if last is None:
            cmds += ["delete", UN, "LastDmpTime"]
        cmds += (
            ["delete", CC, "CrashDumpEnabled"]
            if enabled is None
            else ["set-dword", CC, "CrashDumpEnabled", str(enabled)]
        )
        if minidump_dir is None:
            cmds += ["delete", CC, "MinidumpDir"]
        else:
            cmds += ["set-expand" if expand else "set-sz", CC, "MinidumpDir", minidump_dir]
        if forget_identity:
            cmds += ["delete", SWIFTOR, "swiftor-id"]
        cmds += ["delete", UN, "PassedOverDmpTime", "delete", UN, "UnreadableDmp"]
        probe(*cmds)
        clear_folder(DEFAULT_DUMPS)
        clear_folder(CUSTOM_DUMPS)
        self.c.reset()

    def archives(self):
        """(record, zip, {name: bytes}) for each archive received, in arrival order."""
        result = []
        for rec in self.c.received(ENDPOINT):
            z = zipfile.ZipFile(io.BytesIO(self.c.body(rec)))
            self.check(z.testzip() is None, "archive %d has a bad entry" % rec["seq"])
            result.append((rec, z, {n: z.read(n) for n in z.namelist()}))
        return result

    def expect_reports(self, names):
        got = [z.namelist()[0] for _, z, _ in self.archives()]
        self.check(got == names, "reported %s, expected %s" % (got, names))

    def expect_clean(self):
        leftovers = (
            os.listdir(os.path.join(INSTALL, "dump")) if os.path.isdir(os.path.join(INSTALL, "dump")) else []
        )
        self.check(leftovers == [], "archives left behind: %s" % leftovers)
        self.check(info_file_paths() == [], "info.ini left behind: %s" % info_file_paths())

    def drummet(self, program=DRUMMET, *args):
        """Runs Drummet and checks that it ended quietly with 0; returns its seconds."""
        rc, out, seconds = run_drummet(program, *args)
        self.check(rc == 0, "Drummet exit code %d" % rc)
        self.check(out == "", "Drummet printed %r" % out)
        return seconds

    def plant_series(self, t, names, folder=DEFAULT_DUMPS):
        """Dumps one second apart from t + 1 s on, oldest first; returns their times."""
        times = []
        for i, name in enumerate(names):
            times.append(t + (i + 1) * SECOND)
            plant(folder, name, times[-1])
        return times

    # --- scenarios ----------------------------------------------------------------------------
    def test_s1_default_folder_order_floor_and_package(self):
        """No MinidumpDir: Windows' own folder is searched; oldest first; floor; sub-folders; package."""
        self.prepare(enabled=0, forget_identity=True)
        t0 = self.floor
        bodies = {
            "Mini010114-01.dmp": plant(DEFAULT_DUMPS, "Mini010114-01.dmp", t0 + 3 * SECOND),
            "Mini010114-02.dmp": plant(DEFAULT_DUMPS, "Mini010114-02.dmp", t0 + 1 * SECOND),
        }
        old = plant(DEFAULT_DUMPS, "AtInstall.dmp", t0)
        plant(DEFAULT_DUMPS, "BeforeInstall.dmp", t0 - 5 * SECOND)
        plant(os.path.join(DEFAULT_DUMPS, "Nested"), "Nested.dmp", t0 + 2 * SECOND)
        plant(DRIVE_C, "RootBait.dmp", t0 + 2 * SECOND)  # the drive root must never be searched
        write_version("7.3.1.1024")
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "ok")
        self.drummet()

        st = self.state()
        self.expect_reports(["Mini010114-02.dmp", "Mini010114-01.dmp"])
        self.check(st["LastDmpTime"] == str(t0 + 3 * SECOND), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["CrashDumpEnabled"] == 3, "CrashDumpEnabled %r" % st["CrashDumpEnabled"])
        for rec, z, entries in self.archives():
            dump = z.namelist()[0]
            self.check(z.namelist() == [dump, "info.ini"], "entries %s" % z.namelist())
            self.check(entries[dump] == bodies[dump], "dump bytes differ in the archive")
            info = configparser.ConfigParser()
            info.optionxform = str
            info.read_string(entries["info.ini"].decode("latin-1"))
            self.check(info.sections() == ["info"], "sections %s" % info.sections())
            self.check(
                list(info["info"].keys()) == ["version", "id", "module"], "keys %s" % list(info["info"])
            )
            self.check(info["info"]["version"] == "7.3.1.1024", "version %r" % info["info"]["version"])
            self.check(info["info"]["module"] == "Driver", "module %r" % info["info"]["module"])
            ident = info["info"]["id"]
            sid, _, mac = ident.partition("#")
            self.check(
                sid.startswith("S-1-5-") and (mac == "" or (len(mac) == 12 and mac == mac.upper())),
                "id %r" % ident,
            )
            # The first usable identity is stored for the user (the host decides whether a MAC exists).
            if len(ident) > 22:
                self.check(st["swiftor-id"] == ident, "stored id %r, sent %r" % (st["swiftor-id"], ident))
            else:
                self.check(st["swiftor-id"] is None, "short identity %r was stored" % ident)
            self.check(rec["path"] == "/cgi-bin/bug_report.cgi", "path %r" % rec["path"])
            self.check(rec["method"] == "POST", "method")
            self.check(
                rec["headers"].get("User-Agent") == AGENT, "agent %r" % rec["headers"].get("User-Agent")
            )
            self.check(
                rec["headers"].get("Referer") == "http://127.0.0.1/",
                "referrer %r" % rec["headers"].get("Referer"),
            )
        self.expect_clean()
        with open(os.path.join(DEFAULT_DUMPS, "AtInstall.dmp"), "rb") as f:
            self.check(f.read() == old, "a dump file was changed")
        for name, body in bodies.items():
            path = os.path.join(DEFAULT_DUMPS, name)
            with open(path, "rb") as f:
                self.check(f.read() == body, "reported dump changed")
        self.check(
            os.stat(os.path.join(DEFAULT_DUMPS, "Mini010114-01.dmp")).st_mtime_ns
            == filetime_to_ns(t0 + 3 * SECOND),
            "reported dump's time changed",
        )
        os.remove(os.path.join(DRIVE_C, "RootBait.dmp"))

    def test_s2_last_time_equal_same_time_pair_no_length_answer_no_version(self):
        """Equal to LastDmpTime: not again; one unit newer: sent; same time: later-enumerated wins."""
        t = self.floor + 100 * SECOND
        self.prepare(last=str(t), enabled=1)
        plant(DEFAULT_DUMPS, "Equal.dmp", t)
        plant(DEFAULT_DUMPS, "OneUnitNewer.dmp", t + 1)
        plant(DEFAULT_DUMPS, "TwinA.dmp", t + 5)
        plant(DEFAULT_DUMPS, "TwinB.dmp", t + 5)
        order = [n for n in probe("list", "C:\\windows\\Minidump")[0].split("|")[1:] if n.startswith("Twin")]
        write_version(None)
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "ok-no-length", body="thanks, got it")
        self.drummet()
        st = self.state()
        self.expect_reports(["OneUnitNewer.dmp", order[-1]])
        self.check(st["LastDmpTime"] == str(t + 5), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["CrashDumpEnabled"] == 1, "CrashDumpEnabled 1 changed to %r" % st["CrashDumpEnabled"])
        for _, _, entries in self.archives():
            text = entries["info.ini"].decode("latin-1")
            self.check("version=\r\n" in text or "version=\n" in text, "version not empty: %r" % text)
        self.expect_clean()

    def test_s3_failure_in_the_middle_then_resume(self):
        """Second of three fails: first recorded, rest wait; 404 keeps them waiting; then in order."""
        t = self.floor + 200 * SECOND
        self.prepare(last=str(t), enabled=7)
        for i in (1, 2, 3):
            plant(DEFAULT_DUMPS, "Mini%d.dmp" % i, t + i * SECOND)
        write_version("7.3.1.1024")
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "ok", queue=["ok", "500"])
        self.drummet()
        st = self.state()
        self.expect_reports(["Mini1.dmp", "Mini2.dmp"])
        self.check(st["LastDmpTime"] == str(t + SECOND), "after 500: LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["CrashDumpEnabled"] == 7, "CrashDumpEnabled 7 changed")
        self.expect_clean()

        self.c.reset()
        self.c.behave(ENDPOINT, "404")
        probe("set-dword", CC, "CrashDumpEnabled", "2")
        self.drummet()
        st = self.state()
        self.expect_reports(["Mini2.dmp"])
        self.check(st["LastDmpTime"] == str(t + SECOND), "after 404: LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["CrashDumpEnabled"] == 2, "CrashDumpEnabled 2 changed")
        self.expect_clean()

        self.c.reset()
        self.c.behave(ENDPOINT, "ok")
        self.drummet()
        st = self.state()
        self.expect_reports(["Mini2.dmp", "Mini3.dmp"])
        self.check(st["LastDmpTime"] == str(t + 3 * SECOND), "resumed: LastDmpTime %r" % st["LastDmpTime"])
        for i in (1, 2, 3):
            self.check(os.path.exists(os.path.join(DEFAULT_DUMPS, "Mini%d.dmp" % i)), "a dump was removed")

    def test_s4_expanded_folder_trailing_slash_and_parsed_last_time(self):
        """REG_EXPAND_SZ folder; "BugURL" ending in "/" gives "//cgi-bin"; "  <T>zz" parses as T."""
        t = self.floor + 300 * SECOND
        self.prepare(last="  %dzz" % t, enabled=3, minidump_dir="%SystemDrive%\\DrumDumps", expand=True)
        plant(CUSTOM_DUMPS, "Same.dmp", t)
        plant(CUSTOM_DUMPS, "Newer.dmp", t + 1)
        plant(DEFAULT_DUMPS, "ElsewhereDefault.dmp", t + 9)
        write_config(self.c.base_url + "/")
        self.drummet()
        st = self.state()
        self.expect_reports(["Newer.dmp"])
        recs = self.c.received(ENDPOINT)
        self.check(
            recs and recs[0]["path"] == "//cgi-bin/bug_report.cgi", "path %r" % (recs and recs[0]["path"])
        )
        self.check(st["LastDmpTime"] == str(t + 1), "LastDmpTime %r" % st["LastDmpTime"])

    def test_s5_negative_last_time_suppresses_everything(self):
        self.prepare(last="-5", enabled=3)
        plant(DEFAULT_DUMPS, "Future.dmp", self.floor + 10**9 * SECOND // 1000)
        write_config(self.c.base_url)
        self.drummet()
        self.expect_reports([])
        self.check(self.state()["LastDmpTime"] == "-5", "LastDmpTime changed")

    def test_s6_folder_setting_naming_a_file_is_not_searched(self):
        """A "MinidumpDir" that names a file is not searched; an absent "CrashDumpEnabled" becomes 3."""
        self.prepare(enabled=None, minidump_dir="C:\\DrumDumps\\NotAFolder.dmp")
        plant(CUSTOM_DUMPS, "NotAFolder.dmp", self.floor + 400 * SECOND)
        write_config(self.c.base_url)
        self.drummet()
        self.expect_reports([])
        st = self.state()
        self.check(st["LastDmpTime"] is None, "LastDmpTime written")
        self.check(st["CrashDumpEnabled"] == 3, "absent CrashDumpEnabled became %r" % st["CrashDumpEnabled"])

    def test_s7_too_long_bug_url_sends_nothing(self):
        t = self.floor + 500 * SECOND
        self.prepare(last=str(t), enabled=3)
        plant(DEFAULT_DUMPS, "Waiting.dmp", t + 1)
        write_config(self.c.base_url + "/" + "a" * 240)
        self.drummet()
        self.expect_reports([])
        self.check(self.state()["LastDmpTime"] == str(t), "LastDmpTime moved without a report")
        self.expect_clean()

    def test_s8_second_instance_changes_nothing(self):
        """A stalled post keeps the first instance running; the archive exists only meanwhile."""
        t = self.floor + 600 * SECOND
        self.prepare(last=str(t), enabled=3)
        plant(DEFAULT_DUMPS, "Stalled.dmp", t + 1)
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "stall", stall_seconds=6)
        first = WINE.start(DRUMMET)
        try:
            deadline = time.time() + 60
            while not self.c.received(ENDPOINT) and time.time() < deadline:
                time.sleep(0.2)
            self.check(self.c.received(ENDPOINT), "first instance never posted")
            archive = os.path.join(INSTALL, "dump", "Stalled.dmp.zip")
            self.check(os.path.exists(archive), "archive Stalled.dmp.zip not present during the post")
            self.check(info_file_paths() == [], "info.ini still present during the post")
            probe("set-dword", CC, "CrashDumpEnabled", "0", "set-sz", UN, "LastDmpTime", "12345")
            seconds = self.drummet()
            st = self.state()
            self.check(st["CrashDumpEnabled"] == 0, "second instance repaired CrashDumpEnabled")
            self.check(st["LastDmpTime"] == "12345", "second instance touched LastDmpTime")
            self.check(len(self.c.received(ENDPOINT)) == 1, "second instance posted")
            self.check(
                first.poll() is None or seconds < 5, "second instance was not quick (%.1f s)" % seconds
            )
        finally:
            rc = first.wait(timeout=120)
        self.check(rc == 0, "first instance exit code %d" % rc)
        self.check(self.state()["LastDmpTime"] == "12345", "an unanswered post was counted as delivered")
        self.expect_clean()

    def test_s10_hostile_answers_huge_length_and_stalls(self):
        """Content-Length 4294967295 with a flood of "A": read capped, delivered, exit 0. A server that
        never answers, or stops in the middle of its body, is given up after the time-outs: not recorded."""
        t = self.floor + 800 * SECOND
        self.prepare(last=str(t), enabled=3)
        times = self.plant_series(t, ["Flooded.dmp"])
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "huge-length")
        self.drummet()
        self.expect_reports(["Flooded.dmp"])
        self.check(self.state()["LastDmpTime"] == str(times[0]), "answer with a huge length not counted")
        self.expect_clean()

        for mode in ("stall", "stall-body"):
            self.c.reset()
            probe("set-sz", UN, "LastDmpTime", str(times[0]))
            self.plant_series(times[0], ["Unanswered.dmp"])
            self.c.behave(ENDPOINT, mode, stall_seconds=3600)
            seconds = self.drummet()
            print("    %s: Drummet gave up after %.1f s" % (mode, seconds))
            self.check(seconds < 90, "%s held Drummet for %.0f s" % (mode, seconds))
            self.check(len(self.c.received(ENDPOINT)) == 1, "%s: not posted once" % mode)
            self.check(self.state()["LastDmpTime"] == str(times[0]), "%s counted as delivered" % mode)
            self.expect_clean()
            os.remove(os.path.join(DEFAULT_DUMPS, "Unanswered.dmp"))
        self.c.reset()

    def test_s10b_a_post_ends_at_its_deadline(self):
        """A server that trickles its headers or its body a byte a second passes every time-out, and a
        listener whose queue is full is retried for minutes: each post ends at its deadline (three
        seconds through the test seam), and none counts as delivered, not even the header trickle
        that would end in a 200."""
        t = self.floor + 850 * SECOND
        self.prepare(last=str(t), enabled=3)
        write_config(self.c.base_url)
        for mode in ("trickle-headers", "trickle-body", "full-backlog"):
            self.c.reset()
            probe("set-sz", UN, "LastDmpTime", str(t))
            self.plant_series(t, ["Trickled.dmp"])
            held = []
            if mode == "full-backlog":
                held = full_backlog_listener()
                address = held[0].getsockname()
                self.check(not connects_within(address, 1), "the listener's queue is not full")
                write_config("http://%s:%d" % address)
            else:
                self.c.behave(ENDPOINT, mode, stall_seconds=100)
            try:
                seconds = self.drummet(FAULTY, "deadline=3000")
            finally:
                for sock in held:
                    sock.close()
            print("    %s: Drummet gave up after %.1f s" % (mode, seconds))
            self.check(seconds < 60, "%s held Drummet for %.0f s" % (mode, seconds))
            if mode != "full-backlog":
                self.check(len(self.c.received(ENDPOINT)) == 1, "%s: not posted once" % mode)
            self.check(self.state()["LastDmpTime"] == str(t), "%s counted as delivered" % mode)
            self.expect_clean()
        write_config(self.c.base_url)
        self.c.reset()

    def test_s11_locked_dump_waits_with_everything_behind_it(self):
        """A dump another program holds open is not packed without it: nothing is posted or recorded,
        the newer dumps wait behind it, and the next run sends all of them in order."""
        t = self.floor + 900 * SECOND
        self.prepare(last=str(t), enabled=3)
        names = ["Locked.dmp", "Behind1.dmp", "Behind2.dmp"]
        times = self.plant_series(t, names)
        write_config(self.c.base_url)
        # A pipe here: the line "HELD" is the signal to go on, and the probe starts nothing.
        holder = WINE.start(
            PROBE, "hold", "C:\\windows\\Minidump\\Locked.dmp", "15000", stdout=subprocess.PIPE, text=True
        )
        try:
            self.check(holder.stdout.readline().strip() == "HELD", "could not hold the dump")
            self.drummet()
            self.check(holder.poll() is None, "the dump was released before the run ended")
            self.expect_reports([])
            self.check(self.state()["LastDmpTime"] == str(t), "LastDmpTime moved past a locked dump")
            self.expect_clean()
        finally:
            holder.wait(timeout=60)
            holder.stdout.close()
        self.drummet()
        self.expect_reports(names)
        st = self.state()
        self.check(st["LastDmpTime"] == str(times[-1]), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["PassedOverDmpTime"] is None, "a locked dump was passed over")

    def test_s11b_a_dump_that_can_never_be_opened_holds_the_walk_only_for_a_while(self):
        """Access denied (through the test seam; Wine never refuses) is not a lock: the walk waits for
        that dump and counts the runs, and on the fifth it passes it over and the rest go out."""
        t = self.floor + 950 * SECOND
        self.prepare(last=str(t), enabled=3)
        times = self.plant_series(t, ["Denied.dmp", "Behind.dmp"])
        write_config(self.c.base_url)
        self.drummet(FAULTY, "deny")
        self.expect_reports([])
        st = self.state("get", UN, "UnreadableDmp")
        self.check(st["LastDmpTime"] == str(t), "LastDmpTime moved past an unreadable dump")
        record = (st["UnreadableDmp"] or "").split()
        self.check(len(record) == 3 and record[0] == str(times[0]) and record[2] == "1", "record %r" % record)
        probe("set-sz", UN, "UnreadableDmp", "%d %s 4" % (times[0], record[1] if record else "0"))
        self.drummet(FAULTY, "deny")
        self.expect_reports(["Behind.dmp"])
        st = self.state("get", UN, "UnreadableDmp")
        self.check(st["PassedOverDmpTime"] == str(times[0]), "PassedOverDmpTime %r" % st["PassedOverDmpTime"])
        self.check(st["LastDmpTime"] == str(times[1]), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["UnreadableDmp"] is None, "record kept: %r" % st["UnreadableDmp"])
        self.expect_clean()

    def test_s12_unsendable_dumps_are_passed_over(self):
        """A 5 GiB dump (sparse here) can't be packed and one the server refuses with 413 is never
        taken: both are passed over and recorded, and every dump behind them goes out."""
        t = self.floor + 1000 * SECOND
        self.prepare(last=str(t), enabled=3)
        behind = ["After%02d.dmp" % i for i in range(1, 7)]
        times = self.plant_series(t, ["Huge.dmp", "Refused.dmp"] + behind)
        huge = os.path.join(DEFAULT_DUMPS, "Huge.dmp")
        os.truncate(huge, 5 << 30)
        os.utime(huge, ns=(filetime_to_ns(times[0]), filetime_to_ns(times[0])))
        write_config(self.c.base_url)
        self.c.behave(ENDPOINT, "ok", queue=["413"])
        self.drummet()
        self.expect_reports(["Refused.dmp"] + behind)
        st = self.state()
        self.check(st["LastDmpTime"] == str(times[-1]), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["PassedOverDmpTime"] == str(times[1]), "PassedOverDmpTime %r" % st["PassedOverDmpTime"])
        self.expect_clean()
        os.remove(huge)

    def test_s12b_a_name_outside_the_code_page_goes_out_under_one_inside_it(self):
        """A dump named in another script is packed under a name the code page holds, its bytes as
        they are, and the dump behind it goes out too."""
        t = self.floor + 1050 * SECOND
        self.prepare(last=str(t), enabled=3)
        body = plant(DEFAULT_DUMPS, "Mini_\u65e5\u672c.dmp", t + SECOND)
        times = [t + SECOND] + self.plant_series(t + SECOND, ["After.dmp"])
        write_config(self.c.base_url)
        self.drummet()
        self.expect_reports(["Mini___.dmp", "After.dmp"])
        got = self.archives()
        self.check(got and got[0][2].get("Mini___.dmp") == body, "the dump's bytes changed in the archive")
        st = self.state()
        self.check(st["LastDmpTime"] == str(times[1]), "LastDmpTime %r" % st["LastDmpTime"])
        self.check(st["PassedOverDmpTime"] is None, "PassedOverDmpTime %r" % st["PassedOverDmpTime"])
        self.expect_clean()

    def test_s13_injected_faults_are_contained(self):
        """A real fault while packing passes that dump over (it would fault again on every run); one
        while posting leaves it for the next run. Either way: exit 0, no archive or info.ini left."""
        t = self.floor + 1100 * SECOND
        self.prepare(last=str(t), enabled=3)
        times = self.plant_series(t, ["PackFault.dmp", "Next.dmp"])
        write_config(self.c.base_url)
        self.drummet(FAULTY, "pack")
        self.expect_reports(["Next.dmp"])
        st = self.state()
        self.check(st["PassedOverDmpTime"] == str(times[0]), "PassedOverDmpTime %r" % st["PassedOverDmpTime"])
        self.check(st["LastDmpTime"] == str(times[1]), "LastDmpTime %r" % st["LastDmpTime"])
        self.expect_clean()

        self.c.reset()
        later = self.plant_series(times[1], ["PostFault.dmp", "Waiting.dmp"])
        self.drummet(FAULTY, "post")
        self.expect_reports([])
        self.check(self.state()["LastDmpTime"] == str(times[1]), "a faulted post was recorded")
        self.expect_clean()
        self.drummet()
        self.expect_reports(["PostFault.dmp", "Waiting.dmp"])
        self.check(self.state()["LastDmpTime"] == str(later[-1]), "not resumed after the faulted post")

    def test_s14_installed_base_url_gives_the_plain_report_path(self):
        """install.sh, given a server URL with a trailing slash, writes the base URL both programs
        expect: the installed Drummet's raw request path is "/cgi-bin/bug_report.cgi"."""
        WINE.install(
            INSTALLED_WIN,
            SUITE_BUILD=os.path.dirname(BIN),
            BUG_URL=self.c.base_url + "/",
            BUG_INFO_URL=self.c.base_url + "//",
        )
        with open(os.path.join(INSTALLED, "config.ini"), newline="") as f:
            config = f.read()
        for key in ("BugURL", "BugInfoUploadURL"):
            self.check("%s=%s\r\n" % (key, self.c.base_url) in config, "config.ini: %r" % config)
        t = self.floor + 1200 * SECOND
        self.prepare(last=str(t), enabled=3)
        self.plant_series(t, ["Installed.dmp"])
        self.drummet(os.path.join(INSTALLED, "Drummet.exe"))
        recs = self.c.received(ENDPOINT)
        self.check(
            len(recs) == 1 and recs[0]["path"] == "/cgi-bin/bug_report.cgi",
            "raw paths %s" % [r["path"] for r in recs],
        )

    def test_s9_https_with_lenient_certificate_checks(self):
        with Collector(https=True) as secure:
            t = self.floor + 700 * SECOND
            self.prepare(last=str(t), enabled=3)
            plant(DEFAULT_DUMPS, "Secure.dmp", t + 1)
            write_config(secure.base_url)
            self.drummet()
            recs = secure.received(ENDPOINT)
            st = self.state()
            print("    https: %d archive(s) received, LastDmpTime %s" % (len(recs), st["LastDmpTime"]))
            self.check(len(recs) == 1, "nothing arrived over https")
            z = zipfile.ZipFile(io.BytesIO(secure.body(recs[0])))
            self.check(z.namelist() == ["Secure.dmp", "info.ini"], "entries %s" % z.namelist())
            self.check(st["LastDmpTime"] == str(t + 1), "https report not recorded")
            self.expect_clean()


def restore_prefix(saved):
    """Puts the registry values read at the start back, and removes what the scenarios made."""
    had_un, had_cc = saved[0].endswith("1"), saved[1].endswith("1")
    original = values(saved)
    raw = {line.split(" ", 4)[1]: line for line in saved if line.startswith("STRING")}
    # Put the prefix back as it was.
    restore = []
    for key, name in SAVED:
        value = original.get(name)
        if value is None:
            restore += ["delete", key, name]
        elif isinstance(value, int):
            restore += ["set-dword", key, name, str(value)]
        else:
            restore += ["set-expand" if raw[name].split()[2] == "2" else "set-sz", key, name, value]
    if not had_un:
        restore += ["delete-key", UN]
    if not had_cc:
        restore += ["delete-key", CC]
    probe(*restore)
    shutil.rmtree(INSTALL, ignore_errors=True)
    shutil.rmtree(INSTALLED, ignore_errors=True)
    shutil.rmtree(CUSTOM_DUMPS, ignore_errors=True)
    clear_folder(DEFAULT_DUMPS)


if __name__ == "__main__":
    sys.exit(scenario.main())

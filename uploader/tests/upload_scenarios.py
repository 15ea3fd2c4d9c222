#!/usr/bin/env python3
"""Ulvane end to end under Wine: the demo product crashes, Kelvor captures it and starts the real
Ulvane, which posts through Communication.dll to the local collector answering as each scenario
asks. Registry marks are read with `wine reg`, archives opened with Python's zipfile, processes
started and timed by ulvane_probe.exe (exit code, wall time, CPU time from GetProcessTimes).

Scenarios that need files Kelvor cannot leave behind at crash time (a missing dump, an archive of an
exact size) start Ulvane directly with the command line Kelvor gave it for a real crash.
Usage: upload_scenarios.py [name-substring...]   (SUITE_SOURCE, SUITE_BUILD, SUITE_BIN set by CTest)
"""
import io
import os
import random
import shutil
import sys
import tempfile
import time
import zipfile

import scenario
from protocol_names import ARCHIVE_PATH as ARCHIVE, INFO_PATH as INFO
from scenario import INSTALL_WIN, MARK_KEY, UNINSTALL_REG_PATH, VERSION

BIN = scenario.BIN
LIMIT = 5242880


def fields_of(output):
    """{name: value} of the probe's last line of name=value words."""
    return dict(kv.split("=", 1) for kv in output.replace("\r", "").strip().split("\n")[-1].split())


def cpu_ms(pid):
    """User + system time of a host process in ms, None when it is gone."""
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000 // os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError):
        return None


class UploadScenarios(scenario.ScenarioCase):
    """Every scenario after the first starts from the first real crash (its fields and files)."""

    @classmethod
    def setUpClass(cls):
        cls.c = scenario.Collector().__enter__()
        cls.w = scenario.Wine()
        cls.env = cls.w.env
        cls.install = cls.w.install_folder
        cls.dumps = os.path.join(cls.install, "dump")
        cls.probe_exe = os.path.join(BIN, "uploader", "ulvane_probe.exe")
        cls.install_product(cls)
        cls.w.keep_server()
        cls.first = None

    @classmethod
    def tearDownClass(cls):
        cls.fresh(cls)
        cls.c.__exit__(None, None, None)

    def first_crash(self):
        """(fields of the information post, dump name) of the first real crash, which is made and
        checked on first use."""
        if type(self).first is None:
            print("== true: archive posted, mark gone", flush=True)
            type(self).first = self.true_posts_archive_and_removes_mark()
            fields, name = type(self).first
            type(self).report_bytes = open(os.path.join(self.dumps, name[:-4] + ".txt"), "rb").read()
        return type(self).first

    # ---- plumbing ----
    def wine(self, *args, timeout=300):
        return self.w.output(*args, timeout=timeout)

    def probe(self, *args, timeout=300):
        return fields_of(self.wine(self.probe_exe, *args, timeout=timeout))

    def install_product(self, info_url=None, report_url=None):
        self.w.install(BUG_URL=report_url or self.c.base_url, BUG_INFO_URL=info_url or self.c.base_url)

    def mark(self, name):
        """The mark's value, None when absent."""
        return self.w.reg_dword(MARK_KEY, name)

    def set_mark(self, name, value):
        self.w.reg_set(MARK_KEY, name, value, "REG_DWORD")

    def fresh(self):
        self.c.reset()
        self.w.reg_delete(MARK_KEY)
        scenario.clear_folder(self.dumps)

    def crash_orv(self, *options):
        """Orv.exe crashes inside its DLL and waits for Kelvor."""
        orv = os.path.join(self.install, "Orv.exe")
        self.wine(orv, *options, "--full-dump", "0", "--wait-kelvor", "crash", "dll")

    def crash(self, reaches_collector=True):
        """Crashes Orv.exe inside its DLL; returns the dump file name once Ulvane has ended. Ulvane is
        waited for through its information post first: a process just started may not be listed by
        name yet, and a wait that finds none would read the outcome before Ulvane has made it."""
        self.crash_orv()
        if reaches_collector:
            self.check(
                scenario.wait_for(lambda: self.c.received(INFO), 120) is not None,
                "Ulvane made its information post",
            )
        gone = self.probe("wait-exit", "Ulvane.exe", "120000")
        self.check(gone["gone"] == "1", "Ulvane ended after the crash")
        dumps = [f for f in os.listdir(self.dumps) if f.lower().endswith(".dmp")]
        self.check(len(dumps) == 1, "one dump written: %s" % dumps)
        return dumps[0] if dumps else ""

    def run_ulvane(self, command_line, *options, folder=INSTALL_WIN):
        return self.probe("run", *options, folder + "\\Ulvane.exe", command_line)

    def run_ulvane_sampled(self, command_line):
        """run_ulvane, plus the processor time the host saw: Ulvane's own Unix process (Wine shows the
        Windows command line as its arguments) and this prefix's wineserver, which serves every wait."""
        server = self.wineserver_pid()
        server_before = cpu_ms(server) if server else 0
        out = tempfile.TemporaryFile()
        proc = self.w.start(self.probe_exe, "run", INSTALL_WIN + "\\Ulvane.exe", command_line, stdout=out)
        last = {}
        while proc.poll() is None:
            for pid in os.listdir("/proc"):
                if pid.isdigit():
                    try:
                        if (
                            open("/proc/%s/cmdline" % pid, "rb").read().rstrip(b"\0").replace(b"\0", b" ")
                            == command_line.encode()
                        ):
                            last[pid] = cpu_ms(int(pid))
                    except OSError:
                        pass
            time.sleep(0.1)
        out.seek(0)
        run = fields_of(out.read().decode())
        out.close()
        run["host_cpu_ms"] = sum(v for v in last.values() if v is not None)
        run["server_cpu_ms"] = (cpu_ms(server) or 0) - server_before if server else -1
        return run

    def wineserver_pid(self):
        st = os.stat(self.env["WINEPREFIX"])
        folder = "server-%x-%x" % (st.st_dev, st.st_ino)
        for pid in os.listdir("/proc"):
            if pid.isdigit():
                try:
                    if os.readlink("/proc/%s/cwd" % pid).endswith(folder):
                        return int(pid)
                except OSError:
                    pass
        return None

    def dump_file(self, name):
        """Path of `name` in the dump folder, found without regard to case (Ulvane writes upper case)."""
        for f in os.listdir(self.dumps):
            if f.lower() == name.lower():
                return os.path.join(self.dumps, f)
        return None

    def archive_of(self, record):
        return zipfile.ZipFile(io.BytesIO(self.c.body(record)))

    def posted_archive(self):
        """The first archive the collector received, opened; None when none came."""
        archives = self.c.received(ARCHIVE)
        return self.archive_of(archives[0]) if archives else None

    def age(self, name, seconds=3600):
        """Makes a crash's files look `seconds` old: a pending delivery leaves younger ones to the
        Ulvane their own Kelvor starts."""
        for f in (name, name[:-4] + ".txt"):
            path = self.dump_file(f)
            if path:
                t = time.time() - seconds
                os.utime(path, (t, t))

    def deliver_pending(self, name, what):
        """Ages the crash, runs `Ulvane /Pending` and checks that it reached the collector whole."""
        self.age(name)
        self.c.reset()
        self.c.behave(INFO, "ok", body="true")
        run = self.run_ulvane("/Pending")
        info, archives = self.c.received(INFO), self.c.received(ARCHIVE)
        self.check(
            run["exit"] == "0" and len(info) == 1 and len(archives) == 1,
            "%s: /Pending posted the information and the archive once each" % what,
        )
        if info:
            got, want = dict(info[0].get("fields", [])), dict(self.first_crash()[0])
            self.check(
                got == want, "%s: the information post's values read back from the report %s" % (what, got)
            )
        if archives:
            self.check(
                self.archive_of(archives[0]).namelist()[-1].lower() == name[:-4].lower() + ".txt",
                "%s: the archive holds the report" % what,
            )
        self.check(self.mark(name) is None, "%s: mark gone" % what)

    def command_line_of(self, fields, dump_name):
        f = dict(fields)
        return "/Start:report /Path:%s /Version:%s /Module:%s /App:%s /ID:%s /Email:%s" % (
            dump_name,
            f["version"],
            f["module"],
            f["app"],
            f["hash_id"],
            f["mail"],
        )

    # ---- scenarios ----
    def test_00_true_posts_archive_and_removes_mark(self):
        self.first_crash()

    def true_posts_archive_and_removes_mark(self):
        self.fresh()
        self.c.behave(INFO, "ok", body="true")
        name = self.crash()
        info = self.c.received(INFO)
        self.check(len(info) == 1, "one information post")
        fields = info[0].get("fields", [])
        self.check(
            [k for k, _ in fields]
            == ["product", "hash_id", "guid", "version", "app", "module", "count", "mail"],
            "eight fields in order: %s" % fields,
        )
        f = dict(fields)
        self.check(
            f.get("product") == "Orv"
            and f.get("count") == "1"
            and f.get("mail") == ""
            and f.get("version") == VERSION
            and f.get("module") == "OrvCore.dll",
            "field values %s" % f,
        )
        self.check(
            len(f.get("hash_id", "")) == 32 and f.get("guid", "").startswith("00000000-"),
            "hash_id and guid %s %s" % (f.get("hash_id"), f.get("guid")),
        )
        self.check(
            info[0]["headers"].get("Content-Type") == "application/x-www-form-urlencoded", "form content type"
        )
        archives = self.c.received(ARCHIVE)
        self.check(len(archives) == 1, "one archive post")
        if archives:
            z = self.archive_of(archives[0])
            names = z.namelist()
            stem = name.upper()[:-4]
            self.check(names == [stem + ".DMP", stem + ".txt"], "archive holds dump then report: %s" % names)
            dump = open(os.path.join(self.dumps, name), "rb").read()
            self.check(z.read(names[0]) == dump, "archived dump equals the dump on disk")
            report = z.read(names[1]).decode("utf-16-le", "replace")
            hash_line = [ln for ln in report.split("\r\n") if ln.startswith("HashCode:")]
            self.check(hash_line == ["HashCode:" + f.get("hash_id", "")], "report HashCode equals hash_id")
            self.check(
                archives[0]["headers"].get("Content-Type") == "application/octet-stream"
                and archives[0]["headers"].get("Content-Length") == str(archives[0]["size"]),
                "archive post: octet-stream, exact length",
            )
        self.check(self.mark(name) is None, "mark gone")
        return fields, name

    def test_answer_variants(self):
        for answer, wants in (("trueXYZ", True), ("TRUE", False), (" true", False), ("", False)):
            self.fresh()
            self.c.behave(INFO, "ok", body=answer)
            name = self.crash()
            posted = len(self.c.received(ARCHIVE))
            self.check(posted == (1 if wants else 0), "answer %r: %d archive post(s)" % (answer, posted))
            self.check(self.mark(name) is None, "answer %r: mark gone" % answer)

    def test_information_post_fails(self):
        self.fresh()
        self.c.behave(INFO, "500", body="true")
        name = self.crash()
        self.check(not self.c.received(ARCHIVE), "500: no archive posted")
        self.check(
            not any(f.lower().endswith(".zip") for f in os.listdir(self.dumps)), "500: no archive built"
        )
        self.check(self.mark(name) == 0, "500: mark stays 0")
        # No server at all: a port nobody listens on. Once it is up, the pending delivery sends it.
        self.fresh()
        self.install_product(info_url="http://127.0.0.1:9/")
        try:
            name = self.crash(reaches_collector=False)
            self.check(self.mark(name) == 0, "no server: mark stays 0")
            self.check(not self.c.received(), "no server: nothing reached the collector")
        finally:
            self.install_product()
        # The server is up for the next crash: the product's start or that crash's Ulvane sends the
        # earlier one too, once.
        self.age(name)
        self.c.reset()
        self.c.behave(INFO, "ok", body="true")
        self.crash_orv()
        scenario.wait_for(lambda: len(self.c.received(ARCHIVE)) >= 2, 120)
        self.probe("wait-exit", "Ulvane.exe", "120000")
        info, archives = self.c.received(INFO), self.c.received(ARCHIVE)
        names = sorted(self.archive_of(a).namelist()[0] for a in archives)
        self.check(
            len(info) == 2 and len(archives) == 2 and names[0] != names[1],
            "server up later: the next crash and the earlier one posted once each %s" % names,
        )
        self.check(self.mark(name) is None, "server up later: the earlier crash's mark gone")

    def plant(self, dump_bytes=None, report=True):
        """A fresh start with the first real crash pending (mark 0): its dump as `dump_bytes` (None:
        no dump) and its report when `report`. Returns (fields, dump name)."""
        fields, name = self.first_crash()
        self.fresh()
        if dump_bytes is not None:
            open(os.path.join(self.dumps, name), "wb").write(dump_bytes)
        if report:
            open(os.path.join(self.dumps, name[:-4] + ".txt"), "wb").write(self.report_bytes)
        self.set_mark(name, 0)
        return fields, name

    def direct(self, dump_bytes=None, report=True, answer="true", archive_mode="ok"):
        """Ulvane started by hand on the planted first crash; returns (name, run result)."""
        fields, name = self.plant(dump_bytes, report)
        self.c.behave(INFO, "ok", body=answer)
        self.c.behave(ARCHIVE, archive_mode)
        return name, self.run_ulvane(self.command_line_of(fields, name))

    def test_missing_files(self):
        name, run = self.direct(dump_bytes=None, report=False)
        self.check(run["exit"] == "0", "no files: exit 0")
        self.check(
            len(self.c.received(INFO)) == 1 and not self.c.received(ARCHIVE), "no files: nothing posted"
        )
        self.check(not os.listdir(self.dumps), "no files: no archive built")
        self.check(self.mark(name) == 1, "no files: mark 1")
        name, run = self.direct(dump_bytes=None, report=True)
        z = self.posted_archive()
        names = z.namelist() if z else []
        self.check(
            names == [name.upper()[:-4] + ".txt"], "report only: archive holds the report alone %s" % names
        )
        self.check(self.mark(name) is None, "report only: mark gone")

    def test_archive_size_limit(self):
        fields, name = self.first_crash()
        work = os.path.join(self.env["WINEPREFIX"], "drive_c", "upload_sizes")
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        open(os.path.join(work, name[:-4] + ".txt"), "wb").write(self.report_bytes)
        rng = random.Random(9)
        noise = bytes(rng.getrandbits(8) for _ in range(LIMIT))

        def archive_size(n):
            open(os.path.join(work, name), "wb").write(noise[:n])
            w = "C:\\upload_sizes\\"
            return int(
                self.probe("zip-size", w + "a.zip", w + name.upper(), w + name[:-4].upper() + ".txt")["size"]
            )

        for target, posted in ((LIMIT, False), (LIMIT - 1, True)):
            n = target - 600
            for _ in range(12):
                got = archive_size(n)
                if got == target:
                    break
                n += target - got
            self.check(got == target, "random dump sized for an archive of %d bytes" % target)
            name_, run = self.direct(dump_bytes=noise[:n])
            archives = self.c.received(ARCHIVE)
            built = os.path.getsize(self.dump_file(name[:-4] + ".zip"))
            self.check(built == target, "Ulvane built %d bytes (want %d)" % (built, target))
            self.check(
                len(archives) == (1 if posted else 0), "%d bytes: posted=%s" % (target, bool(archives))
            )
            if archives:
                self.check(archives[0]["size"] == target, "posted whole")
            self.check(
                self.mark(name) == (None if posted else 1), "%d bytes: mark %s" % (target, self.mark(name))
            )
        shutil.rmtree(work, ignore_errors=True)

    def test_archive_post_fails(self):
        name, run = self.direct(dump_bytes=b"MDMP" * 100, archive_mode="500")
        self.check(len(self.c.received(ARCHIVE)) == 1, "archive post tried")
        self.check(self.mark(name) == 1, "archive post failed: mark 1")

    def test_stalled_server(self):
        # Accepts, never answers: the information post's 20 s limit ends it.
        fields, name = self.plant(report=False)
        self.c.behave(INFO, "stall")
        run = self.run_ulvane(self.command_line_of(fields, name), "--kill-after", "60000")
        wall = int(run["wall_ms"])
        self.check(run["ended"] == "1" and run["exit"] == "0", "stall: ended by itself with 0")
        # The upper bound tells the 20 s limit from the 60 s kill and from two limits in a row; the
        # margin is for Wine's process start on a machine busy with other tests.
        self.check(20000 <= wall <= 30000, "stall: ended %d ms after start (limit 20 s)" % wall)
        self.check(self.mark(name) == 0, "stall: mark unchanged")
        # A 10 s stall, then the connection closes: how much processor time did the wait cost?
        self.plant(report=False)
        self.c.behave(INFO, "stall", stall_seconds=10)
        run = self.run_ulvane_sampled(self.command_line_of(fields, name))
        wall = int(run["wall_ms"])
        cpu = int(run["host_cpu_ms"]) + max(0, int(run["server_cpu_ms"]))
        print(
            "  10 s stall: wall_ms=%d GetProcessTimes_cpu_ms=%s host_cpu_ms=%s wineserver_cpu_ms=%s share=%.3f"
            % (wall, run["cpu_ms"], run["host_cpu_ms"], run["server_cpu_ms"], cpu / max(wall, 1))
        )
        self.check(wall >= 9500 and cpu < wall / 10, "10 s stall: the wait does not spin (cpu %d ms)" % cpu)
        self.check(self.mark(name) == 0, "10 s stall: mark unchanged")

    def test_stop_during_information_post(self):
        # The answer would come after 30 s; Ulvane is killed at 15 s unless it ended by itself before.
        for how, options in (
            ("log-off", ("--query-end-after", "1000", "--kill-after", "15000")),
            ("killed", ("--kill-after", "1000")),
        ):
            fields, name = self.plant(b"MDMP")
            self.c.behave(INFO, "ok", body="true", delay_seconds=30)
            run = self.run_ulvane(self.command_line_of(fields, name), *options)
            if how == "log-off":
                self.check(run["answered"] == "1", "WM_QUERYENDSESSION answered 1")
                self.check(
                    run["ended"] == "1" and run["exit"] == "0",
                    "log-off: ended with 0 without waiting for the post (%s ms)" % run["wall_ms"],
                )
            self.check(
                not self.c.received(ARCHIVE) and not self.dump_file(name[:-4] + ".zip"),
                "%s: no archive built or posted" % how,
            )
            self.check(self.mark(name) == 0, "%s: mark 0, the crash still pending" % how)
            self.deliver_pending(name, how)

    def test_command_line(self):
        fields, name = self.first_crash()
        f = dict(fields)
        ident = f["hash_id"]
        base = "/Path:%s /Version:%s /App:Orv.exe /Email:" % (name, VERSION)
        self.c.behave(INFO, "ok", body="no")
        for line, what in (
            (base + " /Module:M.dll /ID:" + ident[:31], "31-character ID"),
            (base + " /Module:M.dll /ID:" + ident + "0", "33-character ID"),
            (base + " /ID:" + ident, "no /Module:"),
            (base + " /Module: /ID:" + ident, "empty /Module:"),
        ):
            self.fresh()
            run = self.run_ulvane(line)
            self.check(run["exit"] == "0" and not self.c.received(), "%s: exit 0, no network activity" % what)
        for start, what in (("/Start:report ", "report"), ("", "no /Start:"), ("/Start:Report ", "Report")):
            self.fresh()
            self.run_ulvane(start + base + " /Module:M.dll /ID:" + ident)
            self.check(len(self.c.received(INFO)) == 1, "%s uploads" % what)
        # An empty server setting ends the program at start-up.
        ini = os.path.join(self.install, "config.ini")
        saved = open(ini, "rb").read()
        try:
            open(ini, "w", newline="\r\n").write(
                "[network]\nBugURL=\nBugInfoUploadURL=%s\n" % self.c.base_url
            )
            self.fresh()
            run = self.run_ulvane(base + " /Module:M.dll /ID:" + ident)
            self.check(
                run["exit"] == "0" and not self.c.received(), "empty BugURL: exit 0, no network activity"
            )
        finally:
            open(ini, "wb").write(saved)
        # A /Path: without ".dmp" or reaching outside the dump folder: refused, nothing touched.
        notes = os.path.join(self.dumps, "notes.txt")
        for path in ("notes.txt", "..\\config.dmp", "..\\dump\\x.dmp"):
            self.fresh()
            open(notes, "wb").write(b"keep me")
            self.set_mark(path, 0)
            run = self.run_ulvane("/Path:%s /Version:%s /Module:M.dll /ID:%s" % (path, VERSION, ident))
            self.check(
                run["exit"] == "0"
                and not self.c.received()
                and os.listdir(self.dumps) == ["notes.txt"]
                and open(notes, "rb").read() == b"keep me"
                and self.mark(path) == 0,
                "/Path:%s refused, nothing touched" % path,
            )
        self.fresh()
        odd = "!#$%&'()*+,-.:;<=>?@[]^_`{|}~Zz0"
        self.run_ulvane(
            "/Path:x.dmp /Version:%s /App:My App.exe /Module:M.dll /Module:N.dll /ID:%s" % (VERSION, odd)
        )
        got = dict(self.c.received(INFO)[0].get("fields", [])) if self.c.received(INFO) else {}
        self.check(got.get("hash_id") == odd, "32 characters of any kind accepted: %r" % got.get("hash_id"))
        self.check(got.get("app") == "My" and got.get("module") == "M.dll", "cut at space, first switch wins")

    def test_library_round_trip(self):
        """Communication.dll driven directly: what the collector receives is what the record held."""
        dll = "Z:" + os.path.join(BIN, "product", "communication", "Communication.dll").replace("/", "\\")
        self.fresh()
        self.c.behave(INFO, "ok", body="true" + "x" * 5000)
        r = self.probe("post-fields", dll, self.c.base_url + "/" + INFO + "?q=1", "20")
        rec = self.c.received()[0] if self.c.received() else {}
        self.check(
            r["submit"] == "0x00000000" and r["callbacks"] == "1" and r["status"] == "0x000000c8",
            "fields: accepted, one callback, status 200 (%s)" % dict(r, response="..."),
        )
        self.check(
            rec.get("path") == "/" + INFO + "?q=1" and rec.get("method") == "POST", "fields: URL as written"
        )
        self.check(
            rec.get("fields")
            == [
                ["product", "Orv"],
                ["name with space", "a&b=c+d%e/f?g"],
                ["utf8", "\u00e9t\u00e9 \u4e2d\u6587 \U0001F600"],
                ["empty", ""],
                ["product", "second"],
            ],
            "fields: names, values, order %s" % rec.get("fields"),
        )
        self.check(bytes.fromhex(r["response"]) == b"true" + b"x" * 4092, "answer kept up to 4096 bytes")
        body = bytes(random.Random(3).getrandbits(8) for _ in range(300000))
        open(os.path.join(self.env["WINEPREFIX"], "drive_c", "round_trip.bin"), "wb").write(body)
        r = self.probe("post-body", dll, self.c.base_url + "/" + ARCHIVE, "50", "C:\\round_trip.bin")
        rec = self.c.received(ARCHIVE)[0] if self.c.received(ARCHIVE) else {}
        self.check(
            r["callbacks"] == "1" and self.c.body(rec) == body if rec else False, "body: bytes as they are"
        )
        self.check(
            rec.get("headers", {}).get("Content-Length") == str(len(body))
            and rec.get("headers", {}).get("Content-Type") == "application/octet-stream",
            "body: headers",
        )
        self.c.behave(INFO, "500", body="true")
        r = self.probe("post-fields", dll, self.c.base_url + "/" + INFO, "20")
        self.check(
            r["callbacks"] == "1" and r["status"] == "0x600001f4" and r["response"] == "",
            "500: one callback with 0x600001F4, no answer text",
        )
        r = self.probe("post-fields", dll, "http://127.0.0.1:9/", "20")
        self.check(
            r["callbacks"] == "1" and int(r["status"], 16) & 0x60000000,
            "refused: one failure callback %s" % r,
        )
        self.c.behave(INFO, "stall")
        r = self.probe("post-fields", dll, self.c.base_url + "/" + INFO, "2")
        self.check(
            r["callbacks"] == "1" and r["status"] == "0x60200000" and 2000 <= int(r["elapsed_ms"]) <= 4000,
            "stall: one time-limit callback after %s ms (limit 2 s)" % r["elapsed_ms"],
        )
        out = self.wine(self.probe_exe, "post-bad", dll).split()
        self.check(
            out == ["submit=0x60400000"] * 4 + ["callbacks=0"], "unusable records refused, no callback"
        )

    def test_version_with_a_space(self):
        """Kelvor passes "1.0 beta" as "1.0_beta" and keys the mark by it, so delivery removes it."""
        self.fresh()
        versions = MARK_KEY[: MARK_KEY.rfind("\\") + 1]
        key = versions + "1.0_beta"
        self.w.reg_delete(key)
        self.c.behave(INFO, "ok", body="true")
        self.crash_orv("--version", "1.0 beta")
        self.check(scenario.wait_for(lambda: self.c.received(ARCHIVE), 120) is not None, "archive posted")
        self.probe("wait-exit", "Ulvane.exe", "120000")
        info = self.c.received(INFO)
        f = dict(info[0].get("fields", [])) if info else {}
        self.check(f.get("version") == "1.0_beta" and f.get("app") == "Orv.exe", "version sent whole: %s" % f)
        names = [n for n in os.listdir(self.dumps) if n.lower().endswith(".dmp")]
        report = open(os.path.join(self.dumps, names[0][:-4] + ".txt"), "rb").read().decode("utf-16-le")
        self.check("Program Version:1.0_beta\r\n" in report, "the report names the same version")
        self.check(names and self.w.reg_dword(key, names[0]) is None, "mark under 1.0_beta removed")
        self.check(
            not self.w.reg_query(versions + "1.0 beta", names[0] if names else "x"),
            "no mark under the unsafe version",
        )
        self.w.reg_delete(key)

    def test_dump_folder_rules(self):
        fields, name = self.first_crash()
        f = dict(fields)
        line = "/Start:report /Path:abc.dmp /Version:%s /Module:M.dll /App:A.exe /ID:%s" % (
            VERSION,
            f["hash_id"],
        )
        drive_c = os.path.join(self.env["WINEPREFIX"], "drive_c")
        x = os.path.join(drive_c, "Program Files", "X")
        shutil.rmtree(x, ignore_errors=True)
        os.makedirs(os.path.join(x, "dump"))
        for item in ("Ulvane.exe", "Communication.dll", "config.ini"):
            shutil.copy(os.path.join(self.install, item), x)
        open(os.path.join(x, "dump", "abc.dmp"), "wb").write(b"installed")
        own = os.path.join(drive_c, "upload_own")
        shutil.rmtree(own, ignore_errors=True)
        shutil.copytree(x, own)
        open(os.path.join(own, "abc.dmp"), "wb").write(b"own folder")
        prod = os.path.join(drive_c, "Prod.dmp", "Vemko")
        shutil.rmtree(os.path.join(drive_c, "Prod.dmp"), ignore_errors=True)
        shutil.copytree(x, prod)
        try:
            # Only the file name's ".dmp" is replaced: a folder named Prod.dmp stays.
            for folder in ("C:\\Program Files\\X", "C:\\Prod.dmp\\Vemko"):
                self.w.reg_set(UNINSTALL_REG_PATH, "InstallDir", folder, view=32)
                self.w.reg_set(MARK_KEY, "abc.dmp", 0, "REG_DWORD")
                self.c.reset()
                self.c.behave(INFO, "ok", body="true")
                self.run_ulvane(line, folder=folder)
                z = self.posted_archive()
                self.check(
                    z is not None and z.namelist() == ["ABC.DMP"] and z.read("ABC.DMP") == b"installed",
                    "abc.dmp under %s is %s\\DUMP\\ABC.DMP" % (folder, folder.upper()),
                )
                self.check(self.mark("abc.dmp") is None, "%s: mark gone" % folder)
            # No uninstall key, or an empty InstallDir: Ulvane's own folder, config.ini included.
            for what, remove in (("without the uninstall key", True), ("with an empty InstallDir", False)):
                if remove:
                    self.w.reg_delete(UNINSTALL_REG_PATH, view=32)
                else:
                    self.w.reg_set(UNINSTALL_REG_PATH, "InstallDir", "", view=32)
                self.c.reset()
                self.c.behave(INFO, "ok", body="true")
                self.run_ulvane(line, folder="C:\\upload_own")
                z = self.posted_archive()
                self.check(
                    z is not None and z.read("ABC.DMP") == b"own folder",
                    "%s the dump folder is Ulvane's own folder" % what,
                )
        finally:
            self.install_product()
            self.w.reg_delete(MARK_KEY, "abc.dmp")
            shutil.rmtree(x, ignore_errors=True)
            shutil.rmtree(own, ignore_errors=True)
            shutil.rmtree(os.path.join(drive_c, "Prod.dmp"), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(scenario.main())

#!/usr/bin/env python3
"""Part of ./run demo: a crash travels the whole chain. Orv.exe crashes, Kelvor captures it and
starts Ulvane, Ulvane posts the crash's facts to the collector and, told "true", the zipped dump and
report. The collector holds each answer six seconds so the registry mark can be shown at every step (a
registry read through Wine takes about two seconds here).

Expects the environment of demo.sh (WINEPREFIX, SUITE_BUILD, the Wine settings) and an installed
product with Ulvane.exe and Communication.dll.
"""
import io
import os
import sys
import time
import zipfile

import scenario
from protocol_names import ARCHIVE_PATH, FIELD_HASH_ID, INFO_PATH, TRANSPORT_FILE_NAME, UPLOADER_FILE_NAME
from scenario import MARK_KEY, Collector

WINE = scenario.Wine(inherit=True)
INSTALL = WINE.install_folder
PROBE = os.path.join(scenario.BIN, "uploader", "ulvane_probe.exe")


def mark(name):
    value = WINE.reg_dword(MARK_KEY, name)
    return "%s: gone" % name if value is None else "%s = %d" % (name, value)


def wait_for(what, test, seconds=60):
    if scenario.wait_for(test, seconds, step=0.05):
        return True
    print("(gave up waiting for %s)" % what)
    return False


def main():
    for need in (UPLOADER_FILE_NAME, TRANSPORT_FILE_NAME):
        if not os.path.exists(os.path.join(INSTALL, need)):
            print("%s is not installed: the crash cannot be uploaded" % need)
            return 1
    dumps = os.path.join(INSTALL, "dump")
    with Collector() as c:
        scenario.write_config(INSTALL, c.base_url)
        c.behave(INFO_PATH, "ok", body="true", delay_seconds=6)
        c.behave(ARCHIVE_PATH, "ok", delay_seconds=6)
        print('collector listening at %s; it will answer "true" to the information post' % c.base_url)
        before = set(os.listdir(dumps))
        started = time.time()
        crashed = WINE.start(
            os.path.join(INSTALL, "Orv.exe"), "--full-dump", "0", "--wait-kelvor", "crash", "dll"
        )

        def new_dump():
            return sorted(f for f in set(os.listdir(dumps)) - before if f.lower().endswith(".dmp"))

        if not wait_for("Kelvor's dump", new_dump):
            return 1
        name = new_dump()[0]
        wait_for("Kelvor's mark", lambda: "gone" not in mark(name), 30)
        print(
            "crash captured by Kelvor: %s written %.1f s after the crash; mark: %s"
            % (name, time.time() - started, mark(name))
        )

        wait_for("the information post", lambda: c.received(INFO_PATH))
        info = c.received(INFO_PATH)[0]
        print(
            "\ninformation post received %.1f s after the crash (POST %s, %s):"
            % (info["time"] - started, info["path"], info["headers"].get("Content-Type"))
        )
        for key, value in info.get("fields", []):
            print("  %-8s %s" % (key, value))
        print("mark while the server is still answering: %s" % mark(name))

        wait_for("the archive post", lambda: c.received(ARCHIVE_PATH))
        posted = c.received(ARCHIVE_PATH)
        print(
            "\narchive post received %.1f s after the crash; mark after the accepted information post: %s"
            % (posted[0]["time"] - started, mark(name))
            if posted
            else "no archive was posted"
        )
        WINE.run(PROBE, "wait-exit", UPLOADER_FILE_NAME, "60000")
        print("Ulvane has ended; mark after the delivered archive: %s" % mark(name))
        crashed.wait()
        if not posted:
            return 1
        archive = zipfile.ZipFile(io.BytesIO(c.body(posted[0])))
        print(
            "\nthe archive (%d bytes), opened with Python's zipfile: test %s"
            % (posted[0]["size"], "ok" if archive.testzip() is None else "BROKEN")
        )
        for entry in archive.infolist():
            print("  %-36s %8d bytes, stored as %d" % (entry.filename, entry.file_size, entry.compress_size))
        report = [e for e in archive.namelist() if e.lower().endswith(".txt")]
        hash_id = dict(info.get("fields", [])).get(FIELD_HASH_ID)
        if report:
            text = archive.read(report[0]).decode("utf-16-le", "replace")
            code = [ln[len("HashCode:") :] for ln in text.split("\r\n") if ln.startswith("HashCode:")]
            print(
                "report HashCode %s %s hash_id %s"
                % (code[0] if code else "?", "equals" if code == [hash_id] else "DIFFERS FROM", hash_id)
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())

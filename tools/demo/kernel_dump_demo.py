#!/usr/bin/env python3
"""Second half of ./run demo: a kernel minidump is packed by Drummet.exe and delivered to the
reference collector on loopback, and what the collector received is opened and shown.

Expects the environment of demo.sh (WINEPREFIX and the Wine settings) and an installed product.
"""
import configparser
import io
import os
import sys
import time
import zipfile

import scenario
from protocol_names import INFO_FILE_NAME, KERNEL_REPORT_PATH, LAST_DMP_TIME_VALUE, MINIDUMP_DIR_VALUE
from scenario import CRASH_CONTROL_REG_PATH, UNINSTALL_REG_PATH, Collector

WINE = scenario.Wine(inherit=True)
INSTALL = WINE.install_folder
DUMPS_WIN = "C:\\DemoMinidump"
DUMPS = WINE.host_path(DUMPS_WIN)


def wine(*args):
    return WINE.run(*args, timeout=300)


def main():
    if not os.path.exists(os.path.join(INSTALL, "Drummet.exe")):
        print("Drummet.exe is not installed: no kernel dump can be reported")
        return 1
    # A stand-in for a kernel minidump: Windows names them MiniMMDDYY-NN.dmp.
    source = sorted(f for f in os.listdir(os.path.join(INSTALL, "dump")) if f.endswith(".dmp"))
    scenario.clear_folder(DUMPS)
    name = time.strftime("Mini%m%d%y-01.dmp")
    with open(os.path.join(INSTALL, "dump", source[0]) if source else "/dev/urandom", "rb") as f:
        body = f.read(1 << 20)
    with open(os.path.join(DUMPS, name), "wb") as f:
        f.write(body)
    print("planted %s (%d bytes) in %s" % (name, len(body), DUMPS_WIN))

    WINE.reg_set(CRASH_CONTROL_REG_PATH, MINIDUMP_DIR_VALUE, DUMPS_WIN, "REG_EXPAND_SZ")
    WINE.reg_delete(UNINSTALL_REG_PATH, LAST_DMP_TIME_VALUE, view=32)
    with Collector() as c:
        scenario.write_config(INSTALL, c.base_url)
        print("collector listening at %s" % c.base_url)
        started = time.time()
        rc = wine(os.path.join(INSTALL, "Drummet.exe")).returncode
        print("Drummet.exe ended with code %d after %.1f s" % (rc, time.time() - started))
        received = c.received(KERNEL_REPORT_PATH)
        if not received:
            print("the collector received nothing")
            return 1
        for rec in received:
            headers = {k.lower(): v for k, v in rec.get("headers", {}).items()}
            print(
                "received POST %s (%d bytes), User-Agent: %s, Referer: %s"
                % (rec.get("path"), len(c.body(rec)), headers.get("user-agent"), headers.get("referer"))
            )
            archive = zipfile.ZipFile(io.BytesIO(c.body(rec)))
            print("archive test: %s" % ("ok" if archive.testzip() is None else "BROKEN"))
            for info in archive.infolist():
                print(
                    "  %-22s %9d bytes, stored as %d (method %d)"
                    % (info.filename, info.file_size, info.compress_size, info.compress_type)
                )
            same = archive.read(name) == body
            print("  %s matches the planted dump byte for byte: %s" % (name, same))
            ini = configparser.ConfigParser()
            ini.read_string(archive.read(INFO_FILE_NAME).decode("mbcs" if os.name == "nt" else "latin-1"))
            for key, value in ini["info"].items():
                print("  info.ini %s=%s" % (key, value))
    last = wine("reg", "query", UNINSTALL_REG_PATH, "/v", LAST_DMP_TIME_VALUE, "/reg:32").out
    print("LastDmpTime now: %s" % " ".join(last.split()[-1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

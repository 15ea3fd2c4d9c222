"""The crash server with the real programs under Wine: the demo product crashes inside OrvCore.dll,
Kelvor captures it and Ulvane delivers it (information post, then the archive); a second crash of
the same kind joins the same group; Drummet delivers a kernel dump. Then headless Chromium loads the
pages. Runs from the Windows tree (SUITE_SOURCE, SUITE_BUILD, SUITE_BIN set by CTest).
"""
import html
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

import pytest

import protocol_names
import scenario
from scenario import MARK_KEY as BUG_KEY, SOURCE, UNINSTALL_REG_PATH as UNINSTALL, wait_for
from serverlib import TOKEN, Client, Server, chromium

CRASH_CONTROL = "HKLM\\" + protocol_names.CRASH_CONTROL_KEY
KERNEL_DUMPS_WIN = "C:\\ServerE2EMinidump"
SCREENSHOTS = os.path.join(os.environ.get("SUITE_BUILD", os.path.join(SOURCE, "build")), "screenshots")


@pytest.fixture(scope="module")
def world():
    wine = scenario.Wine()
    data = tempfile.mkdtemp(prefix="crashserver-e2e-")
    server = Server(data, "--symbols-token", "e2e-symbols").start()
    # The build's symbols, as a build machine uploads them (the modules installed are these builds).
    upload = subprocess.run(
        [
            sys.executable,
            os.path.join(SOURCE, "tools", "symbols", "symbols.py"),
            "--upload",
            server.url,
            "--token",
            "e2e-symbols",
            "--tree",
            os.environ["SUITE_BIN"],
            os.path.join(data, "collected"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert upload.returncode == 0, upload.stderr
    wine.install(quiet=False, BUG_URL=server.url + "/", BUG_INFO_URL=server.url + "/")
    install = wine.install_folder
    for f in ("Ulvane.exe", "Communication.dll"):
        assert os.path.exists(os.path.join(install, f)), "%s is not installed" % f
    yield {"wine": wine, "server": server, "client": Client([server]), "install": install}
    server.stop()
    shutil.rmtree(data, ignore_errors=True)


def wine(world, *args, timeout=180):
    return world["wine"].run(*args, timeout=timeout)


def crash_once(world):
    """Crashes Orv.exe inside OrvCore.dll; returns (report text, dump path, report path)."""
    dump_dir = os.path.join(world["install"], "dump")
    scenario.clear_folder(dump_dir)
    world["wine"].reg_delete(BUG_KEY)
    wine(world, os.path.join(world["install"], "Orv.exe"), "--wait-kelvor", "crash", "dll")
    reports = wait_for(lambda: [f for f in os.listdir(dump_dir) if f.lower().endswith(".txt")], 60, step=1)
    assert reports, "Kelvor wrote no report"
    report_path = os.path.join(dump_dir, reports[0])
    stem = os.path.splitext(reports[0])[0].lower()
    dumps = [f for f in os.listdir(dump_dir) if f.lower() == stem + ".dmp"]
    with open(report_path, "rb") as f:
        data = f.read()
    assert data[:2] == b"\xff\xfe"
    return data[2:].decode("utf-16-le"), (os.path.join(dump_dir, dumps[0]) if dumps else None), report_path


def test_crashes_delivered_grouped_and_shown(world):
    c = world["client"]
    text, dump, report = crash_once(world)
    crash_id = re.search(r"^HashCode:([0-9A-Fa-f]{32})\r?$", text, re.M).group(1).upper()
    stack = re.findall(r"^(0x[0-9A-F]+  0x[0-9A-F]+  .*?)\r?$", text.split("System Process:")[0], re.M)
    assert stack and "Module:OrvCore.dll" in text
    g = wait_for(lambda: (c.group(crash_id) or {}).get("archives") and c.group(crash_id), 150, step=1)
    assert g, "no archive arrived for crash ID %s" % crash_id
    assert (g["report_count"], g["archives"], g["module"]) == (1, 1, "OrvCore.dll")
    assert g["stack"] == stack
    # The worker names the frames with the uploaded debug file of exactly this OrvCore build.
    g = wait_for(lambda: (c.group(crash_id) or {}).get("title") and c.group(crash_id), 30, step=0.5)
    assert g and g["title"] == "OrvCoreFault in OrvCore.dll, orv_core_win.cpp:24"

    # The same crash again on the same machine joins the group; its archive is not asked for.
    text2, dump2, report2 = crash_once(world)
    assert crash_id in text2
    g = wait_for(
        lambda: len((c.group(crash_id) or {}).get("posts", [])) == 2 and c.group(crash_id), 150, step=1
    )
    assert g and (g["report_count"], g["machines"], g["archives"]) == (2, 1, 1)
    assert [p["answer"] for p in g["posts"]] == ["true", "false"]
    assert [x["hash_id"] for x in c.api("/groups")["groups"]] == [crash_id]

    # A kernel dump from Drummet (install.sh writes its base URL without a trailing "/").
    planted = plant_kernel_dump(world)
    try:
        wine(world, os.path.join(world["install"], "Drummet.exe"))
    finally:
        world["wine"].reg_delete(CRASH_CONTROL, "MinidumpDir")
    dumps = wait_for(lambda: c.api("/kernel-dumps")["kernel_dumps"], 20, step=1)
    assert dumps and len(dumps) == 1
    d = dumps[0]
    status, package, _ = c.get("/kernel-dumps/%d" % d["id"])
    members = zipfile.ZipFile(io.BytesIO(package))
    info = members.read("info.ini").decode("latin-1")
    assert (d["dump_name"], d["module"]) == (planted[0], "Driver")
    assert members.read(planted[0]) == planted[1]
    assert "id=%s\r\n" % d["machine_id"] in info and "version=%s\r\n" % d["version"] in info

    # A real browser on the pages, with the token and without it.
    url = world["server"].url
    os.makedirs(SCREENSHOTS, exist_ok=True)
    logged_in = (url, TOKEN)
    listing = chromium(url + "/?sort=count", os.path.join(SCREENSHOTS, "e2e-crash-list.png"), login=logged_in)
    group = chromium(
        url + "/groups/" + crash_id, os.path.join(SCREENSHOTS, "e2e-crash-group.png"), login=logged_in
    )
    kernel = chromium(
        url + "/kernel-dumps", os.path.join(SCREENSHOTS, "e2e-kernel-dumps.png"), login=logged_in
    )
    assert 'href="/groups/%s"' % crash_id in listing
    assert crash_id in group and all(html.escape(line) in group for line in stack)
    assert html.escape(d["machine_id"]) in kernel
    refused = chromium(url + "/groups/" + crash_id)
    assert "Log in" in refused and not any(html.escape(line) in refused for line in stack)


def plant_kernel_dump(world):
    folder = world["wine"].host_path(KERNEL_DUMPS_WIN)
    scenario.clear_folder(folder)
    name = time.strftime("Mini%m%d%y-01.dmp")
    body = b"PAGEDU64" + bytes(range(256)) * 512
    with open(os.path.join(folder, name), "wb") as f:
        f.write(body)
    world["wine"].reg_set(CRASH_CONTROL, "MinidumpDir", KERNEL_DUMPS_WIN, "REG_EXPAND_SZ")
    world["wine"].reg_delete(UNINSTALL, "LastDmpTime", view=32)
    return name, body

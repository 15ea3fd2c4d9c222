#!/usr/bin/env python3
"""The crash server in ./run demo, in three steps that demo.sh calls:

  server_demo.py start   starts the server on a free loopback port for the rest of the demo and
                         prints shell lines to eval: BUG_URL, BUG_INFO_URL and CRASH_SERVER_URL
  server_demo.py show    after the crash: waits for the crash to arrive, prints the group's URL and
                         saves pictures of the crash list and the group's page (headless Chromium)
                         under build/screenshots/
  server_demo.py stop    ends the server

The server ends with the shell that called "start" in any case. Expects the environment of demo.sh
(WINEPREFIX, SUITE_BUILD).
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

from serverlib import Client, chromium

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

BUILD = os.environ.get("SUITE_BUILD", os.path.join(ROOT, "build"))
STATE = os.path.join(BUILD, "server-demo", "state.json")
SCREENSHOTS = os.path.join(BUILD, "screenshots")


class Running:
    """The started server as seen from a later step (Client wants objects with a port)."""

    def __init__(self, state):
        self.url, self.port, self.token, self.pid = state["url"], state["port"], state["token"], state["pid"]


def start():
    data = os.path.join(BUILD, "server-demo", "data")
    if os.path.exists(STATE):
        stop()
    shutil.rmtree(data, ignore_errors=True)  # each demo starts from an empty server
    os.makedirs(data, exist_ok=True)
    token = os.urandom(12).hex()
    symbols_token = os.urandom(12).hex()
    log = open(os.path.join(BUILD, "server-demo", "server.log"), "w")
    proc = subprocess.Popen(
        [
            "/usr/bin/python3",
            "-m",
            "crashserver",
            "--port",
            "0",
            "--data",
            data,
            "--token",
            token,
            "--symbols-token",
            symbols_token,
            "--parent-pid",
            str(os.getppid()),
        ],
        cwd=os.path.join(ROOT, "server"),
        stdout=subprocess.PIPE,
        stderr=log,
        text=True,
        start_new_session=True,
    )
    line = proc.stdout.readline().split()
    if not line or line[0] != "SERVER":
        print("echo 'the crash server did not start (see %s)' >&2" % log.name)
        return 1
    url = dict(f.split("=", 1) for f in line[1:])["url"]
    with open(STATE, "w") as f:
        json.dump({"url": url, "port": int(url.rsplit(":", 1)[1]), "token": token, "pid": proc.pid}, f)
    # Ulvane adds the path to a base ending in "/"; Drummet adds "/cgi-bin/..." (the server takes "//").
    print(
        "export BUG_URL=%s/ BUG_INFO_URL=%s/ CRASH_SERVER_URL=%s CRASHSERVER_SYMBOLS_TOKEN=%s"
        % (url, url, url, symbols_token)
    )
    print("echo 'crash server listening at %s (data in %s)'" % (url, data))
    return 0


def show():
    with open(STATE) as f:
        server = Running(json.load(f))
    client = Client([server], server.token)
    print("waiting for the crash to arrive ...")
    deadline = time.time() + 120
    groups = []
    while time.time() < deadline:
        groups = [g for g in client.api("/groups?sort=last_seen")["groups"] if g["archives"]]
        if groups:
            break
        time.sleep(1)
    if not groups:
        print("no crash arrived at the server within 120 s")
        return 1
    g = client.group(groups[0]["hash_id"])
    # The worker names the frames once the archive is in; the demo's symbols went up before the crash.
    deadline = time.time() + 30
    while not g["title"] and time.time() < deadline:
        time.sleep(0.5)
        g = client.group(g["hash_id"])
    print("crash group: %s/groups/%s" % (server.url, g["hash_id"]))
    print(
        "  module %s, application %s, versions %s: %d report(s) from %d machine(s), %d archive(s)"
        % (g["module"], g["app"], ", ".join(g["versions"]), g["report_count"], g["machines"], g["archives"])
    )
    print("  stack:\n    " + "\n    ".join(g["stack"]))
    print("  title: %s" % (g["title"] or "(no symbols)"))
    frames = g["archive_list"][0]["symbolication"].get("frames", [])
    print("  symbolicated (GET /api/groups/%s):" % g["hash_id"])
    for f in frames:
        where = f["symbols"][0] if f.get("symbols") else None
        print(
            "    %s+0x%x  %s"
            % (
                f["module"],
                f["offset"] or 0,
                "%s  %s:%d" % (where["function"], os.path.basename(where["file"]), where["line"])
                if where
                else "(no symbols)",
            )
        )
    print("pages need the token: open %s/login and give it %s" % (server.url, server.token))
    os.makedirs(SCREENSHOTS, exist_ok=True)
    shots = [("crash-list.png", "/?sort=last_seen"), ("crash-group.png", "/groups/" + g["hash_id"])]
    for name, path in shots:
        out = os.path.join(SCREENSHOTS, name)
        chromium(server.url + path, out, login=(server.url, server.token), size="1280,1400")
        print("saved %s (%d bytes)" % (out, os.path.getsize(out)))
    return 0


def stop():
    try:
        with open(STATE) as f:
            pid = json.load(f)["pid"]
        os.remove(STATE)
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError, KeyError):
        pass
    return 0


if __name__ == "__main__":
    steps = {"start": start, "show": show, "stop": stop}
    if len(sys.argv) != 2 or sys.argv[1] not in steps:
        print(__doc__)
        sys.exit(2)
    sys.exit(steps[sys.argv[1]]())

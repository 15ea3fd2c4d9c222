#!/usr/bin/env python3
"""Kelvor's report window end to end under Wine's null display driver: install the product with a
recording stand-in as the uploader, then run window_scenarios.exe, which crashes the demo with the
window asked for and plays the user through window messages. The installed uploader is put back.
"""
import os
import shutil
import subprocess
import sys

SOURCE = os.environ["SUITE_SOURCE"]
sys.path.insert(0, os.path.join(SOURCE, "tools", "wine"))
from wine_env import wine_environment  # noqa: E402
BIN = os.environ["SUITE_BIN"]


def main():
    env = wine_environment()
    env["SUITE_BUILD"] = os.environ["SUITE_BUILD"]
    subprocess.run([os.path.join(SOURCE, "tools", "install", "install.sh")], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    install = os.path.join(env["WINEPREFIX"], "drive_c", "Program Files (x86)", "Vemko Antivirus")
    uploader = os.path.join(install, "Ulvane.exe")
    saved = uploader + ".saved"
    if os.path.exists(uploader):
        shutil.move(uploader, saved)
    shutil.copy(os.path.join(BIN, "reporter", "capture", "recorder", "Ulvane.exe"), uploader)
    subprocess.run(["wineserver", "-p"], env=env)
    try:
        driver = os.path.join(BIN, "reporter", "dialog", "window_scenarios.exe")
        rc = subprocess.run(["wine", driver, "--gtest_color=no"] + sys.argv[1:], env=env,
                            stdin=subprocess.DEVNULL).returncode
    finally:
        for name in ("Ulvane.exe", "Ulvane.received.txt"):
            path = os.path.join(install, name)
            if os.path.exists(path):
                os.remove(path)
        if os.path.exists(saved):
            shutil.move(saved, uploader)
    return rc


if __name__ == "__main__":
    sys.exit(main())

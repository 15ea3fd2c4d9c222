#!/usr/bin/env python3
"""Kelvor's report end to end under Wine: install the product, put a recording stand-in in place
of the uploader, add Plain.exe (the demo with its library import renamed, so no module on its
stack is ours), and run report_scenarios.exe, which crashes the demo and checks the report and
the uploader's command line. The installed uploader, if any, is put back afterwards.
"""
import os
import shutil
import subprocess
import sys

SOURCE = os.environ["SUITE_SOURCE"]
sys.path.insert(0, os.path.join(SOURCE, "tools", "wine"))
from wine_env import wine_environment  # noqa: E402
BIN = os.environ["SUITE_BIN"]


def main(driver=("reporter", "capture", "report_scenarios.exe")):
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

    demo = open(os.path.join(install, "Orv.exe"), "rb").read()
    if demo.count(b"OrvCore.dll") < 1:
        print("report_scenarios: the demo does not import OrvCore.dll by that name")
        return 1
    open(os.path.join(install, "Plain.exe"), "wb").write(demo.replace(b"OrvCore.dll", b"OrvXore.dll"))
    shutil.copy(os.path.join(install, "OrvCore.dll"), os.path.join(install, "OrvXore.dll"))

    subprocess.run(["wineserver", "-p"], env=env)
    try:
        rc = subprocess.run(["wine", os.path.join(BIN, *driver), "--gtest_color=no"] + sys.argv[1:], env=env,
                            stdin=subprocess.DEVNULL).returncode
    finally:
        for name in ("Plain.exe", "OrvXore.dll", "Ulvane.exe", "Ulvane.received.txt", "DbgHelp.dll", "My Orv.exe"):
            path = os.path.join(install, name)
            if os.path.exists(path):
                os.remove(path)
        if os.path.exists(saved):
            shutil.move(saved, uploader)
    return rc


if __name__ == "__main__":
    sys.exit(main())

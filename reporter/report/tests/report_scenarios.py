#!/usr/bin/env python3
"""Kelvor's report end to end under Wine: install the product, put a recording stand-in in place
of the uploader, add Plain.exe (the demo with its library import renamed, so no module on its
stack is ours), and run report_scenarios.exe, which crashes the demo and checks the report and
the uploader's command line. The installed uploader, if any, is put back afterwards. Arguments are
passed to the driver (--gtest_filter=...).
"""
import os
import shutil
import sys

import scenario

LEFT_BEHIND = ("Plain.exe", "OrvXore.dll", "DbgHelp.dll", "My Orv.exe")


class RecordingUploaderCase(scenario.ScenarioCase):
    """The installed product with the recording stand-in as its uploader and Plain.exe beside the
    demo; `driver` (a path under the Windows tree) is the gtest program that crashes it."""

    driver = ("reporter", "report", "report_scenarios.exe")
    driver_args = []
    driver_timeout = 840  # inside CTest's limit, so that the clean-up below still runs

    def test_driver(self):
        wine = scenario.Wine()
        wine.install()
        install = wine.install_folder
        with scenario.recording_uploader(install):
            try:
                demo = open(os.path.join(install, "Orv.exe"), "rb").read()
                self.assertGreaterEqual(
                    demo.count(b"OrvCore.dll"), 1, "the demo imports OrvCore.dll by that name"
                )
                open(os.path.join(install, "Plain.exe"), "wb").write(
                    demo.replace(b"OrvCore.dll", b"OrvXore.dll")
                )
                shutil.copy(os.path.join(install, "OrvCore.dll"), os.path.join(install, "OrvXore.dll"))
                wine.keep_server()
                run = wine.run(
                    os.path.join(scenario.BIN, *self.driver),
                    "--gtest_color=no",
                    *self.driver_args,
                    timeout=self.driver_timeout,
                    stderr=True,
                )
                print(run.out, flush=True)
                self.check(run.returncode == 0, "%s passed" % self.driver[-1])
            finally:
                for name in LEFT_BEHIND:
                    if os.path.exists(os.path.join(install, name)):
                        os.remove(os.path.join(install, name))


if __name__ == "__main__":
    RecordingUploaderCase.driver_args = sys.argv[1:]
    sys.exit(scenario.main([]))

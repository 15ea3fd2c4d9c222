#!/usr/bin/env python3
"""Kelvor's report window end to end under Wine's null display driver: the report scenarios' set-up
(install, a recording stand-in as the uploader, put back afterwards) with window_scenarios.exe,
which crashes the demo with the window asked for and plays the user through window messages.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.environ["SUITE_SOURCE"], "tools", "testing"))
sys.path.insert(0, os.path.join(os.environ["SUITE_SOURCE"], "reporter", "capture", "tests"))
import scenario  # noqa: E402
from report_scenarios import RecordingUploaderCase  # noqa: E402


class WindowScenarios(RecordingUploaderCase):
    driver = ("reporter", "dialog", "window_scenarios.exe")
    driver_timeout = 540


del RecordingUploaderCase  # run here only as WindowScenarios

if __name__ == "__main__":
    WindowScenarios.driver_args = sys.argv[1:]
    sys.exit(scenario.main([]))

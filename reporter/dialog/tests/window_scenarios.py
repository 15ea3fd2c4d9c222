#!/usr/bin/env python3
"""Kelvor's report window end to end under Wine's null display driver: the report scenarios' set-up
(install, a recording stand-in as the uploader, put back afterwards) with window_scenarios.exe,
which crashes the demo with the window asked for and plays the user through window messages.
"""
import sys

import scenario
from report_scenarios import RecordingUploaderCase


class WindowScenarios(RecordingUploaderCase):
    driver = ("reporter", "dialog", "window_scenarios.exe")
    driver_timeout = 540


del RecordingUploaderCase  # run here only as WindowScenarios

if __name__ == "__main__":
    WindowScenarios.driver_args = sys.argv[1:]
    sys.exit(scenario.main([]))

#!/usr/bin/env python3
"""Kelvor's report window end to end under Wine's null display driver: the report scenarios' set-up
(install, a recording stand-in as the uploader, put back afterwards) with window_scenarios.exe,
which crashes the demo with the window asked for and plays the user through window messages.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.environ["SUITE_SOURCE"], "reporter", "capture", "tests"))
import report_scenarios  # noqa: E402

if __name__ == "__main__":
    sys.exit(report_scenarios.main(("reporter", "dialog", "window_scenarios.exe")))

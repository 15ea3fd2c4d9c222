"""What the host-side scenario drivers share: the project's Wine prefix and programs run in it, the
installed product, registry values read and written through Wine, bounded waits, host <-> Wine
paths, the local HTTP test server (the collector, on 127.0.0.1 and a port of the system's choice)
and a unittest base whose checks go on after a failed one.

Contract: a Windows program's output goes to a temporary file, never to a pipe: a program it starts
that outlives it (an uploader, a child caught half-made when a test killed its parent) inherits that
file and cannot hold the caller's pipe, and so CTest's, open. Every wait has a bound. Nothing here
asserts; the drivers decide what a result means. SUITE_SOURCE, SUITE_BUILD and SUITE_BIN come from
CTest; outside it they default to this checkout's build/ and build/win/.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import protocol_names
from collector_client import Collector  # noqa: F401  (the local HTTP test server)
from wine_env import wine_environment

SOURCE = os.environ.get("SUITE_SOURCE") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
)
BUILD = os.environ.get("SUITE_BUILD") or os.path.join(SOURCE, "build")
BIN = os.environ.get("SUITE_BIN") or os.path.join(BUILD, "win")

INSTALL_WIN = "C:\\Program Files (x86)\\Vemko Antivirus"
VERSION = "1.0.0.1"
# Whole registry paths as reg.exe takes them (root first) for the installed product.
UNINSTALL_REG_PATH = "HKLM\\" + protocol_names.UNINSTALL_KEY
CRASH_CONTROL_REG_PATH = "HKLM\\" + protocol_names.CRASH_CONTROL_KEY
MARK_KEY = "HKCU\\" + protocol_names.BUG_MARK_KEY + "\\" + VERSION


class Run:
    """What a finished program left: its exit code and its output (stdout and stderr as asked)."""

    def __init__(self, returncode, out):
        self.returncode = returncode
        self.out = out


def wait_for(condition, timeout=60.0, step=0.2):
    """Asks `condition` every `step` seconds until it gives a true value (returned) or `timeout`
    seconds have passed (None)."""
    deadline = time.time() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.time() >= deadline:
            return None
        time.sleep(step)


def clear_folder(folder):
    """Makes `folder` exist and be empty."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def write_config(folder, bug_url, info_url=None):
    """The product's "config.ini" in `folder` as install.sh writes it: the report server, the
    information server (`bug_url` unless given) and the English report window."""
    text = "[network]\nBugURL=%s\nBugInfoUploadURL=%s\n[vkconfig]\nnLanguage=0\n"
    with open(os.path.join(folder, protocol_names.CONFIG_INI_NAME), "w", newline="\r\n") as f:
        f.write(text % (bug_url, bug_url if info_url is None else info_url))


def wine_path(host_path):
    """A host path as Wine shows it: the host's root is drive Z:."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


class Wine:
    """The project's prefix (or another one, for a display of its own) and what runs in it."""

    def __init__(self, prefix=None, inherit=False, **settings):
        """`prefix` names another prefix; `inherit` takes this process's environment as it is (a
        caller such as demo.sh that has prepared the prefix already)."""
        if prefix:
            os.environ["SUITE_WINEPREFIX"] = prefix
        self.env = dict(os.environ) if inherit else wine_environment(SOURCE)
        self.env.setdefault("SUITE_BUILD", BUILD)
        if not inherit:
            self.env["SUITE_BUILD"] = BUILD
        self.env.update(settings)

    @property
    def prefix(self):
        return self.env["WINEPREFIX"]

    @property
    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    @property
    def install_folder(self):
        """The installed product's folder on the host."""
        return self.host_path(INSTALL_WIN)

    def host_path(self, windows_path):
        """A Windows path of this prefix (C:\\... or Z:\\...) on the host."""
        drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
        if drive == "Z:":
            return "/" + rest
        return os.path.join(self.drive_c, rest) if drive == "C:" else windows_path

    def run(self, *args, timeout=300, stderr=False, env=None):
        """Runs `wine ARGS` to its end (TimeoutExpired after `timeout` seconds) with its output in a
        temporary file; `stderr` keeps the error output too."""
        with tempfile.TemporaryFile() as out:
            rc = subprocess.run(
                ["wine", *args],
                env=env or self.env,
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=subprocess.STDOUT if stderr else subprocess.DEVNULL,
                timeout=timeout,
            ).returncode
            out.seek(0)
            return Run(rc, out.read().decode("utf-8", "replace"))

    def output(self, *args, timeout=300):
        """The output of `wine ARGS`, with Windows line ends made plain."""
        return self.run(*args, timeout=timeout).out.replace("\r", "")

    def start(self, *args, stdout=subprocess.DEVNULL, env=None, **options):
        """Starts `wine ARGS` without waiting (a Popen)."""
        return subprocess.Popen(
            ["wine", *args],
            env=env or self.env,
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=subprocess.DEVNULL,
            **options,
        )

    def keep_server(self):
        """One wineserver for the whole run: every later start is quicker."""
        subprocess.run(
            ["wineserver", "-p"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )

    def end_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def install(self, folder=None, quiet=True, **settings):
        """tools/install/install.sh into this prefix; `settings` are its environment (BUG_URL,
        BUG_INFO_URL, SUITE_LANGUAGE)."""
        command = [os.path.join(SOURCE, "tools", "install", "install.sh")] + ([folder] if folder else [])
        subprocess.run(
            command, env=dict(self.env, **settings), check=True, stdout=subprocess.DEVNULL if quiet else None
        )

    # ---- registry, through Wine's own reg.exe ----
    @staticmethod
    def _view(view):
        return ["/reg:%d" % view] if view else []

    def reg_query(self, key, name, view=None):
        """(type, data text) of a value, None when it or its key is missing."""
        for line in self.output("reg", "query", key, "/v", name, *self._view(view)).split("\n"):
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[1], parts[2] if len(parts) > 2 else ""
        return None

    def reg_dword(self, key, name, view=None):
        """A REG_DWORD value as a number, None when missing or of another type."""
        found = self.reg_query(key, name, view)
        return int(found[1], 16) if found and found[0] == "REG_DWORD" else None

    def reg_set(self, key, name, value, kind="REG_SZ", view=None):
        self.run("reg", "add", key, "/v", name, "/t", kind, "/d", str(value), *self._view(view), "/f")

    def reg_delete(self, key, name=None, view=None):
        """Deletes one value, or the whole key when `name` is None."""
        self.run("reg", "delete", key, *(["/v", name] if name else []), *self._view(view), "/f")


# The recording stand-in for the uploader (reporter/report/test_tools/record_args_win.cpp): installed
# as "Ulvane.exe", it writes the command line it was started with into RECEIVED_FILE beside itself.
RECORDER = os.path.join(BIN, "reporter", "report", "recorder", "Ulvane.exe")
RECEIVED_FILE = "Ulvane.received.txt"


@contextlib.contextmanager
def recording_uploader(folder):
    """The recording stand-in as the uploader of the install folder `folder` (a host path) for the
    length of a `with`, with no record yet; yields the record's host path. An uploader already there
    is set aside and put back afterwards, when the stand-in and its record go."""
    uploader = os.path.join(folder, "Ulvane.exe")
    received = os.path.join(folder, RECEIVED_FILE)
    saved = uploader + ".saved"
    if os.path.exists(uploader):
        shutil.move(uploader, saved)
    if os.path.exists(received):
        os.remove(received)
    shutil.copy(RECORDER, uploader)
    try:
        yield received
    finally:
        for path in (uploader, received):
            if os.path.exists(path):
                os.remove(path)
        if os.path.exists(saved):
            shutil.move(saved, uploader)


class ScenarioCase(unittest.TestCase):
    """A unittest base for long end-to-end scenarios: check() prints every check and records a
    failure without ending the test, so one run shows everything that is wrong."""

    def check(self, ok, what):
        print(("  ok   " if ok else "  FAIL ") + what, flush=True)
        with self.subTest(what):
            self.assertTrue(ok, what)
        return ok


class _LineResult(unittest.TextTestResult):
    """Puts what a scenario prints on lines of its own, below its name."""

    def startTest(self, test):
        super().startTest(test)
        if self.showAll:
            self.stream.writeln()
            self.stream.flush()


def main(argv=None):
    """Runs the calling module's tests; arguments are name fragments that pick tests (all when none).
    Exit code 0 only when every test passed."""
    wanted = sys.argv[1:] if argv is None else argv
    loader = unittest.TestLoader()
    if wanted:
        loader.testNamePatterns = ["*%s*" % w for w in wanted]
    suite = loader.loadTestsFromModule(sys.modules["__main__"])
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=_LineResult).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun else 1

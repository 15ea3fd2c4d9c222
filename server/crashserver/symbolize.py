"""Turns the report's stack into named frames: each frame's address is placed in a module of the
dump's module list, the module's debug file of exactly that build is found in the symbol store, and
llvm-symbolizer names function, file and line (with inlined frames).

llvm-symbolizer runs as a child process with a time limit, a memory limit and a cap on what it may
print, so a debug file made to hang or flood it costs one bounded wait. Answers are cached per
build id and offset. A frame without a module, a debug file or an answer stays as the report gave
it.
"""
import json
import os
import posixpath
import re
import resource
import subprocess
import tempfile
import threading
from collections import OrderedDict

from crashserver import pe
from crashserver.minidump import module_at

FRAME = re.compile(r"^0x(?P<pc>[0-9A-Fa-f]+)  0x(?P<offset>[0-9A-Fa-f]+)  (?P<module>.*)$")
SYMBOLIZER = os.environ.get("CRASHSERVER_SYMBOLIZER", "/usr/bin/llvm-symbolizer")
TIMEOUT = float(os.environ.get("CRASHSERVER_SYMBOLIZER_TIMEOUT", "10"))
OUTPUT_LIMIT = 4 << 20
MEMORY_LIMIT = 2 << 30
CACHE_SIZE = 100_000
MAX_FRAMES = 256  # Kelvor writes at most 50; a report with more is not taken further than this
DEMANGLER = "/usr/bin/c++filt"


class Symbolizer:
    """llvm-symbolizer behind limits, with a cache per (build id, offset)."""

    def __init__(self, program=SYMBOLIZER, timeout=TIMEOUT):
        self.program = program
        self.timeout = timeout
        self.cache = OrderedDict()
        self.lock = threading.Lock()
        self.identities = {}
        self.calls = 0

    def identity(self, path):
        ident = self.identities.get(path)
        if ident is None:
            with open(path, "rb") as f:
                ident = pe.identify(f.read())
            self.identities[path] = ident
        return ident

    def lookup(self, debug_file, build_key, offsets):
        """{offset: [frame, ...innermost first] or None} for offsets (module-relative addresses)."""
        answers, missing = {}, []
        with self.lock:
            for off in offsets:
                hit = self.cache.get((build_key, off), ...)
                if hit is ...:
                    missing.append(off)
                else:
                    self.cache.move_to_end((build_key, off))
                    answers[off] = hit
        if missing:
            try:
                base = self.identity(debug_file)["image_base"]
            except (OSError, pe.NotAnImage):
                return dict(answers, **{off: None for off in missing})
            found = self._run(debug_file, [base + off for off in missing])
            with self.lock:
                for off in missing:
                    frames = found.get(base + off) if found is not None else None
                    answers[off] = frames
                    if found is not None:  # a failed run is tried again next time
                        self.cache[(build_key, off)] = frames
                while len(self.cache) > CACHE_SIZE:
                    self.cache.popitem(last=False)
        return answers

    def _run(self, debug_file, addresses):
        """{address: frames} from one bounded llvm-symbolizer run, or None when it failed."""
        self.calls += 1
        text = bounded(
            [
                self.program,
                "--obj=" + debug_file,
                "--inlining",
                "--demangle",
                "--functions=linkage",
                "--output-style=JSON",
            ]
            + ["0x%x" % a for a in addresses],
            self.timeout,
        )
        try:
            rows = json.loads(text) if text is not None else None
        except ValueError:
            rows = None
        if not isinstance(rows, list):
            return None
        result = {}
        for row in rows:
            try:
                address = int(row["Address"], 16)
                frames = [
                    {
                        "function": s.get("FunctionName") or "",
                        "file": tidy_path(s.get("FileName") or ""),
                        "line": int(s.get("Line") or 0),
                    }
                    for s in row.get("Symbol", [])[:64]
                ]
            except (KeyError, TypeError, ValueError, AttributeError):
                continue
            frames = [f for f in frames if f["function"] and f["function"] != "??"]
            result[address] = frames or None
        self._demangle([f for frames in result.values() if frames for f in frames])
        return result

    def _demangle(self, frames):
        """llvm-symbolizer leaves 32-bit mingw's C++ names mangled (it expects COFF's extra
        underscore); c++filt, bounded the same way, names them."""
        mangled = sorted({f["function"] for f in frames if f["function"].startswith("_Z")})
        if not mangled:
            return
        text = bounded([DEMANGLER], self.timeout, ("\n".join(mangled) + "\n").encode())
        names = text.decode("utf-8", "replace").split("\n") if text is not None else []
        if len(names) < len(mangled):
            return
        plain = dict(zip(mangled, names))
        for f in frames:
            f["function"] = plain.get(f["function"], f["function"])


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    resource.setrlimit(resource.RLIMIT_FSIZE, (OUTPUT_LIMIT, OUTPUT_LIMIT))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def bounded(args, timeout, stdin=b""):
    """What a child printed, or None when it failed, ran past the time-out (then it and its children
    are killed) or printed more than OUTPUT_LIMIT. Output goes to a file, never to memory unbounded."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as given:
        given.write(stdin)
        given.seek(0)
        try:
            proc = subprocess.Popen(
                args,
                stdin=given,
                stdout=out,
                stderr=subprocess.DEVNULL,
                preexec_fn=_limits,
                start_new_session=True,
            )
        except OSError:
            return None
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            with_kill(proc)
            return None
        if proc.returncode != 0:
            return None
        out.seek(0)
        text = out.read(OUTPUT_LIMIT + 1)
    return text if len(text) <= OUTPUT_LIMIT else None


def tidy_path(path):
    """/b/win/../../product/x.cpp -> /product/x.cpp: the build's relative source paths, resolved."""
    return posixpath.normpath(path) if path.startswith("/") else path


def with_kill(proc):
    try:
        os.killpg(proc.pid, 9)
    except OSError:
        pass
    proc.wait()


def parse_stack(lines):
    frames = []
    for line in lines[:MAX_FRAMES]:
        m = FRAME.match(line)
        if m:
            frames.append(
                {
                    "pc": int(m["pc"], 16),
                    "report_offset": int(m["offset"], 16),
                    "report_module": m["module"],
                    "raw": line,
                }
            )
    return frames


def symbolicate(stack_lines, modules, store, symbolizer):
    """The report's frames with module, offset and, where symbols exist, their names. Returns
    (frames, modules without symbols as "name/key")."""
    frames = parse_stack(stack_lines)
    wanted = {}
    for i, f in enumerate(frames):
        m = module_at(modules, f["pc"])
        f.update(
            module=m["name"] if m else f["report_module"],
            offset=f["pc"] - m["base"] if m else None,
            symbols=None,
        )
        if m:
            # A return address points after its call; the line of the call is one byte before.
            wanted.setdefault(id(m), (m, []))[1].append((i, f["offset"] - (1 if i and f["offset"] else 0)))
    missing = set()
    for m, items in wanted.values():
        debug = store.debug_file(m)
        key = (m["codeview"] or {}).get("key") or m["image_key"]
        if not debug:
            missing.add("%s/%s" % (m["name"], key))
            continue
        build = symbolizer.identity(debug)["codeview"]["key"]
        answers = symbolizer.lookup(debug, build, sorted({off for _, off in items}))
        for i, off in items:
            frames[i]["symbols"] = answers.get(off)
            frames[i]["build_id"] = build
    return frames, sorted(missing)


def frame_title(frame):
    """ "OrvCoreFault in OrvCore.dll, orv_core_win.cpp:24" for a frame with symbols, else None."""
    if not frame.get("symbols"):
        return None
    outer = frame["symbols"][-1]
    inner = frame["symbols"][0]
    where = os.path.basename(inner["file"].replace("\\", "/")) if inner["file"] else ""
    text = "%s in %s" % (outer["function"], frame["module"])
    if where and where != "??" and inner["line"]:
        text += ", %s:%d" % (where, inner["line"])
    return text


def frame_text(frame):
    """One line per frame for pages and search: symbols when there are any, else the raw line."""
    if not frame.get("symbols"):
        return frame["raw"]
    parts = []
    for s in frame["symbols"]:
        where = "%s:%d" % (s["file"], s["line"]) if s["file"] and s["line"] else ""
        parts.append("%s %s" % (s["function"], where))
    return "0x%08X  %s+0x%x  %s" % (
        frame["pc"],
        frame["module"],
        frame["offset"],
        " <- inlined in ".join(parts),
    )


REPORT_HEADINGS = ("Stack", "System Process", "Command", "Window Info", "System Memory", "UserContext")


def split_report(text):
    """The text report's sections by heading, for showing it whole on the page."""
    sections = []
    heading = "Header"
    body = []
    for line in text.split("\r\n"):
        # The user's description is the last section and may hold anything, headings too.
        if heading != "UserContext" and line.endswith(":") and line[:-1] in REPORT_HEADINGS:
            sections.append((heading, "\n".join(body).strip("\n")))
            heading, body = line[:-1], []
        else:
            body.append(line)
    sections.append((heading, "\n".join(body).strip("\n")))
    return [{"heading": h, "text": t} for h, t in sections if t or h != "Header"]

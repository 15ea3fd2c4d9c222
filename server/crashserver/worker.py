"""A symbolication worker: takes jobs from the database until stopped. `./run server` starts some;
more may run on other machines that share the database and the data folder:

    python3 -m crashserver.worker --data DIR [--database DSN] [--symbols DIR] [--parent-pid PID]
"""
import argparse
import os
import signal
import sys
import threading
import time

from crashserver import jobs, minidump
from crashserver.parsing import REPORT_LIMIT, BadUpload, Inflater, crash_members, open_zip
from crashserver.symbol_store import SymbolStore
from crashserver.symbolize import Symbolizer, frame_text, frame_title, split_report, symbolicate

ARCHIVE_LIMIT = 16 << 20  # stored archives are below 5 MB; anything larger is not one of them
DUMP_LIMIT = 128 << 20
MODULES_SHOWN = 400
FULL_SCAN_SECONDS = 30


def read_archive(path):
    """(report text, dump bytes or None, note) from a stored archive, inflating members in chunks
    under their limits."""
    try:
        with open(path, "rb") as f:
            archive = open_zip(f.read(ARCHIVE_LIMIT))
        reports, dumps = crash_members(archive.infolist())
        if len(reports) != 1 or len(dumps) > 1:
            return "", None, "the archive does not hold one report and at most one dump"
        inflater = Inflater(archive, REPORT_LIMIT + DUMP_LIMIT)
        raw = inflater.read(reports[0], REPORT_LIMIT)
        text = raw[2:].decode("utf-16-le", "replace") if raw[:2] == b"\xff\xfe" else ""
        if not dumps:
            return text, None, "no dump in the archive"
        if dumps[0].file_size > DUMP_LIMIT:
            return text, None, "the dump is larger than %d bytes" % DUMP_LIMIT
        return text, inflater.read(dumps[0], DUMP_LIMIT), ""
    except (OSError, BadUpload, ValueError) as e:
        return "", None, "the archive cannot be read: %s" % e


def process(storage, store, symbolizer, archive_id):
    """Symbolicates one archive and stores the result."""
    row = storage.archive(archive_id)
    if row is None:
        jobs.finish(storage, archive_id, {"error": "the archive is gone"}, "", "", [])
        return
    text, dump_data, note = read_archive(storage.files.path(row["sha256"]))
    result = {
        "dump": "none",
        "dump_note": note,
        "exception": None,
        "system": None,
        "modules": [],
        "threads": [],
        "registers": {},
        "frames": [],
        "sections": split_report(text) if text else [],
    }
    modules = []
    if dump_data is not None:
        try:
            dump = minidump.read(dump_data)
            modules = dump["modules"]
            result.update(
                dump="ok",
                exception=dump["exception"],
                system=dump["system"],
                modules=modules[:MODULES_SHOWN],
                module_count=len(modules),
                threads=[{k: v for k, v in t.items() if k != "registers"} for t in dump["threads"][:256]],
                thread_count=len(dump["threads"]),
            )
            crashed = dump["exception"]["registers"] if dump["exception"] else {}
            if not crashed:
                crashed = next((t["registers"] for t in dump["threads"] if t["crashed"]), {})
            result["registers"] = crashed
        except minidump.MalformedDump as e:
            result.update(dump="unreadable dump", dump_note=str(e))
    stack = row["stack"].split("\n") if row["stack"] else []
    frames, missing = symbolicate(stack, modules, store, symbolizer)
    result["frames"] = frames
    title = next((t for t in map(frame_title, frames) if t), "")
    # A frame in a module with symbols whose answer failed is tried again with the next upload too.
    missing += ["%s/failed" % f["module"] for f in frames if f.get("build_id") and not f.get("symbols")]
    jobs.finish(
        storage, archive_id, result, title, "\n".join(frame_text(f) for f in frames), sorted(set(missing))
    )


def run(storage, store, symbolizer, stop, idle=0.2):
    last_scan = 0.0
    while not stop.is_set():
        now = time.time()
        try:
            everything = now - last_scan > FULL_SCAN_SECONDS
            newer, waiting = jobs.work_waiting(storage)
            if newer or everything:
                jobs.queue_new_archives(storage, everything=everything)
            if everything:
                jobs.forget_deleted(storage)  # archives removed by retention take their results along
                last_scan = now
            archive_id = jobs.take(storage) if newer or waiting or everything else None
        except Exception as e:  # the database went away for a moment: try again shortly
            print("worker: %s" % e, file=sys.stderr, flush=True)
            stop.wait(1)
            continue
        if archive_id is None:
            stop.wait(idle)
            continue
        try:
            process(storage, store, symbolizer, archive_id)
        except Exception as e:  # one bad archive must not stop the queue; it is retried, then given up
            print("worker: archive %d: %r" % (archive_id, e), file=sys.stderr, flush=True)


def main(argv=None):
    from crashserver.storage import open_storage

    ap = argparse.ArgumentParser(description="symbolication worker")
    ap.add_argument("--data", required=True)
    ap.add_argument("--database", default=os.environ.get("CRASHSERVER_DATABASE"))
    ap.add_argument("--symbols", help="symbol store folder (default DATA/symbols)")
    ap.add_argument("--symbolizer", default=None, help="llvm-symbolizer to run")
    ap.add_argument("--parent-pid", type=int, default=0)
    args = ap.parse_args(argv)
    data = os.path.abspath(args.data)
    storage = open_storage(data, args.database)
    store = SymbolStore(args.symbols or os.path.join(data, "symbols"))
    symbolizer = Symbolizer(args.symbolizer) if args.symbolizer else Symbolizer()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    if args.parent_pid:

        def watch():
            while not stop.is_set():
                try:
                    os.kill(args.parent_pid, 0)
                except ProcessLookupError:
                    stop.set()
                except PermissionError:
                    pass
                time.sleep(0.5)

        threading.Thread(target=watch, daemon=True).start()
    run(storage, store, symbolizer, stop)
    storage.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Collects the Windows tree's modules and their debug files in the symbol store's layout, and
uploads them to a crash server.

    symbols.py [DIR]                          DIR (default build/symbols): <module>/<key>/<file>
    symbols.py --upload URL [--token T] [DIR] collects, then sends every file to URL/symbols/...
                                              (token: --token, else $CRASHSERVER_SYMBOLS_TOKEN)

A debug file whose build id is not its module's (a module rebuilt without its step) is left out.
"""
import argparse
import http.client
import os
import shutil
import sys
import urllib.parse

from crashserver import pe
from crashserver.symbol_store import debug_name

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def collect(tree, out):
    """Lays out every module with a debug file; returns [(module, key, file name, path)]."""
    files = []
    for folder, _, names in os.walk(tree):
        if "CMakeFiles" in folder:
            continue
        lower = {n.lower(): n for n in names}
        for n in sorted(names):
            if not n.lower().endswith((".exe", ".dll")) or debug_name(n).lower() not in lower:
                continue
            module_path = os.path.join(folder, n)
            debug_path = os.path.join(folder, lower[debug_name(n).lower()])
            try:
                with open(module_path, "rb") as f:
                    image = pe.identify(f.read())
                with open(debug_path, "rb") as f:
                    debug = pe.identify(f.read())
            except (OSError, pe.NotAnImage) as e:
                print("symbols: %s: %s" % (module_path, e), file=sys.stderr)
                continue
            if (
                not image["codeview"]
                or not debug["codeview"]
                or image["codeview"]["key"] != debug["codeview"]["key"]
            ):
                print(
                    "symbols: %s: its debug file is of another build; left out" % module_path, file=sys.stderr
                )
                continue
            for key, name, src in (
                (image["image_key"], n, module_path),
                (image["codeview"]["key"], debug_name(n), debug_path),
            ):
                dest = os.path.join(out, n.lower(), key.upper(), name.lower())
                os.makedirs(os.path.dirname(dest), exist_ok=True)
                shutil.copyfile(src, dest)
                files.append((n, key.upper(), name, dest))
    return files


def upload(url, token, files):
    parts = urllib.parse.urlsplit(url.rstrip("/"))
    conn_type = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
    counts = {"stored": 0, "already there": 0, "refused": 0}
    for module, key, name, path in files:
        with open(path, "rb") as f:
            body = f.read()
        conn = conn_type(parts.netloc, timeout=120)
        try:
            target = "%s/symbols/%s/%s/%s" % (
                parts.path,
                urllib.parse.quote(module),
                key,
                urllib.parse.quote(name),
            )
            conn.request(
                "PUT",
                target,
                body=body,
                headers={"Authorization": "Bearer " + token, "Content-Type": "application/octet-stream"},
            )
            r = conn.getresponse()
            text = r.read().decode("utf-8", "replace").strip()
        finally:
            conn.close()
        if r.status == 201:
            counts["stored"] += 1
        elif r.status == 200:
            counts["already there"] += 1
        else:
            counts["refused"] += 1
            print("symbols: %s/%s/%s refused (%d): %s" % (module, key, name, r.status, text), file=sys.stderr)
    print("uploaded to %s: %s" % (url, ", ".join("%d %s" % (v, k) for k, v in counts.items())))
    return counts["refused"] == 0


def main():
    build = os.environ.get("SUITE_BUILD", os.path.join(ROOT, "build"))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dir", nargs="?", default=os.path.join(build, "symbols"))
    ap.add_argument("--tree", default=os.path.join(build, "win"), help="the Windows build tree")
    ap.add_argument("--upload", metavar="URL")
    ap.add_argument("--token", default=os.environ.get("CRASHSERVER_SYMBOLS_TOKEN"))
    args = ap.parse_args()
    if args.upload and not args.token:
        ap.error("--upload needs --token or $CRASHSERVER_SYMBOLS_TOKEN")
    files = collect(args.tree, args.dir)
    modules = sorted({m for m, _, _, _ in files})
    print("collected %d files of %d modules in %s" % (len(files), len(modules), args.dir))
    if args.upload:
        return 0 if upload(args.upload, args.token, files) else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

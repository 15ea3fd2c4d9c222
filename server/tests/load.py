"""Concurrent uploaders against one base URL: each client makes the two-step exchange for several
crashes. Shared by the load test and ./run server-bench."""
import threading
import time
import urllib.parse

from serverlib import info_fields, make_archive, request

CRASH_IDS = ["%032X" % (0xC0FFEE00 + i) for i in range(10)]


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))] if ordered else 0.0


def run_load(
    ports,
    clients=50,
    rounds=2,
    paths=("/cgi-bin-py/security_dump.cgi", "/cgi-bin/bug_report_orv.cgi"),
    follow_answer=True,
):
    """Client i, round r: crash ID CRASH_IDS[(i + r) % 10], machine "LOAD-i" posting from its own
    loopback address 127.0.1.i, server ports[i % len(ports)] (a port or a server object; several
    processes sharing one database take turns). Returns a summary with
    every answer, latencies and failures (exceptions or non-2xx answers)."""
    archives = {h: make_archive(h, dump=bytes(range(256)) * 64, email="load@example.org") for h in CRASH_IDS}
    barrier = threading.Barrier(clients)
    lock = threading.Lock()
    result = {
        "latencies": [],
        "failures": [],
        "answers": [],
        "archives_sent": 0,
        "info_ms": [],
        "archive_ms": [],
    }

    def client(i):
        port = ports[i % len(ports)]
        source = "127.0.1.%d" % (i % 250 + 1)
        barrier.wait()
        for r in range(rounds):
            h = CRASH_IDS[(i + r) % len(CRASH_IDS)]
            form = urllib.parse.urlencode(info_fields(h, "LOAD-%02d" % i)).encode()
            try:
                start = time.perf_counter()
                status, answer, _ = request(
                    port,
                    "POST",
                    paths[0],
                    form,
                    {"Content-Type": "application/x-www-form-urlencoded"},
                    timeout=20,
                    source=source,
                )
                took = [time.perf_counter() - start]
                sent = False
                if status == 200 and (answer[:4] == b"true" or not follow_answer):
                    start = time.perf_counter()
                    status, answer2, _ = request(
                        port,
                        "POST",
                        paths[1],
                        archives[h],
                        {"Content-Type": "application/octet-stream"},
                        timeout=50,
                        source=source,
                    )
                    took.append(time.perf_counter() - start)
                    sent = status == 200
                    if status != 200:
                        raise RuntimeError("archive answered %d %r" % (status, answer2))
                elif status != 200:
                    raise RuntimeError("information post answered %d" % status)
                with lock:
                    result["latencies"] += took
                    result["info_ms"].append(took[0] * 1000)
                    result["archive_ms"] += [t * 1000 for t in took[1:]]
                    result["answers"].append((h, i, answer[:5]))
                    result["archives_sent"] += sent
            except Exception as e:  # counted, so the test can say what was lost
                with lock:
                    result["failures"].append("%s/%d: %r" % (h, i, e))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    result["seconds"] = time.perf_counter() - started
    result["requests"] = len(result["latencies"])
    result["rps"] = result["requests"] / result["seconds"]
    result["p99_ms"] = percentile(result["latencies"], 99) * 1000
    result["p50_ms"] = percentile(result["latencies"], 50) * 1000
    return result

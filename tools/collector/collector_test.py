#!/usr/bin/env python3
"""Checks the reference collector itself: storage per endpoint, answer modes, control, https."""
import http.client
import os
import socket
import ssl
import subprocess
import sys
import time
import unittest

from collector_client import Collector


def post(c, path, body, timeout=5):
    if c.scheme == "https":
        ctx = ssl._create_unverified_context()
        conn = http.client.HTTPSConnection(c.host, c.port, timeout=timeout, context=ctx)
    else:
        conn = http.client.HTTPConnection(c.host, c.port, timeout=timeout)
    conn.request("POST", path, body=body, headers={"User-Agent": "tester", "Referer": "http://x/"})
    r = conn.getresponse()
    data = r.read()
    conn.close()
    return r.status, r.getheader("Content-Length"), data


class CollectorTest(unittest.TestCase):
    def test_stores_bodies_per_endpoint_with_path_and_headers(self):
        with Collector() as c:
            self.assertEqual(post(c, "/cgi-bin/bug_report.cgi", b"zip-1")[0], 200)
            post(c, "//cgi-bin/bug_report.cgi", b"zip-2")
            post(c, "/cgi-bin-py/security_dump.cgi?x=1", b"info")
            recs = c.received("cgi-bin/bug_report.cgi")
            self.assertEqual([c.body(r) for r in recs], [b"zip-1", b"zip-2"])
            self.assertEqual(recs[1]["path"], "//cgi-bin/bug_report.cgi")
            self.assertEqual(recs[0]["headers"]["User-Agent"], "tester")
            self.assertEqual(recs[0]["headers"]["Referer"], "http://x/")
            other = c.received("cgi-bin-py/security_dump.cgi")
            self.assertEqual(len(other), 1)
            self.assertTrue(os.path.exists(os.path.join(c.store, "records.jsonl")))

    def test_answer_modes_and_queue(self):
        with Collector() as c:
            ep = "cgi-bin/bug_report_orv.cgi"
            self.assertEqual(post(c, "/" + ep, b"a")[1], "0")
            c.behave(ep, "ok-no-length", body="true")
            status, length, data = post(c, "/" + ep, b"b")
            self.assertEqual((status, length, data), (200, None, b"true"))
            c.behave(ep, "ok", queue=["404", "500"])
            self.assertEqual([post(c, "/" + ep, b"c")[0] for _ in range(3)], [404, 500, 200])
            c.behave(ep, "stall")
            with self.assertRaises(socket.timeout):
                post(c, "/" + ep, b"d", timeout=1)
            self.assertEqual(len(c.received(ep)), 6)
            c.reset()
            self.assertEqual(c.received(), [])

    def test_form_fields_recorded_in_order_and_delayed_answers(self):
        with Collector() as c:
            ep = "cgi-bin-py/security_dump.cgi"
            c.behave(ep, "ok", body="true", delay_seconds=1)
            conn = http.client.HTTPConnection(c.host, c.port, timeout=5)
            started = time.time()
            conn.request(
                "POST",
                "/" + ep,
                body=b"product=Orv&mail=&a%20b=%C3%A9%26+x",
                headers={"Content-Type": "application/x-www-form-urlencoded"},
            )
            r = conn.getresponse()
            self.assertEqual((r.status, r.read()), (200, b"true"))
            self.assertGreaterEqual(time.time() - started, 0.9)
            conn.close()
            rec = c.received(ep)[0]
            self.assertEqual(rec["fields"], [["product", "Orv"], ["mail", ""], ["a b", "\u00e9& x"]])
            post(c, "/cgi-bin/bug_report_orv.cgi", b"PK\x03\x04")
            self.assertNotIn("fields", c.received("cgi-bin/bug_report_orv.cgi")[0])

    def test_https_with_self_signed_certificate(self):
        with Collector(https=True) as c:
            self.assertEqual(c.scheme, "https")
            self.assertEqual(post(c, "/cgi-bin/bug_report.cgi", b"secure")[0], 200)
            self.assertEqual(c.body(c.received()[0]), b"secure")

    def test_ends_with_its_parent(self):
        here = os.path.dirname(os.path.abspath(__file__))
        # A parent that starts the collector and dies at once.
        parent = subprocess.Popen(
            [
                sys.executable,
                "-c",
                "import subprocess,sys; p=subprocess.Popen([sys.executable, %r, '--port', '0'],"
                " stdout=subprocess.PIPE, text=True); print(p.pid, p.stdout.readline().split()[3],"
                " flush=True)" % os.path.join(here, "collector.py"),
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        pid, port = parent.stdout.readline().split()
        parent.wait()
        parent.stdout.close()
        deadline = time.time() + 5
        alive = True
        while time.time() < deadline and alive:
            try:
                os.kill(int(pid), 0)
                time.sleep(0.2)
            except ProcessLookupError:
                alive = False
        self.assertFalse(alive, "collector outlived its parent")


if __name__ == "__main__":
    unittest.main()

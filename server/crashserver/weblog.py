"""The server's log: one line per request, per decision, per refusal and per login, to stderr and
optionally to a file. Values that came from strangers are escaped, so a line is always one line."""
import logging
import sys
import threading
import time

LOG = logging.getLogger("crashserver")


def setup(log_file=None):
    handlers = [logging.StreamHandler(sys.stderr)]
    if log_file:
        handlers.append(logging.FileHandler(log_file))
    fmt = logging.Formatter("%(asctime)s.%(msecs)03d %(message)s", "%Y-%m-%dT%H:%M:%S")
    fmt.converter = time.gmtime
    for h in handlers:
        h.setFormatter(fmt)
        LOG.addHandler(h)
    LOG.setLevel(logging.INFO)
    LOG.propagate = False


def esc(value):
    """A value for a log line: printable, no spaces or quotes left bare."""
    text = str(value)
    if text and all(0x21 <= ord(c) < 0x7F and c not in '"\\' for c in text):
        return text
    return '"%s"' % text.encode("unicode_escape").decode("ascii").replace('"', '\\"')


def line(kind, **fields):
    LOG.info("%s %s", kind, " ".join("%s=%s" % (k, esc(v)) for k, v in fields.items()))


class RequestLog:
    """WSGI middleware: the request line (time, address, method, path, status, bytes, ms), and the
    count of requests in flight that a draining server waits for."""

    def __init__(self, app):
        self.app = app
        self.lock = threading.Lock()
        self.in_flight = 0

    def __call__(self, environ, start_response):
        started = time.perf_counter()
        status = ["-"]
        size = [0]

        def start(s, headers, exc_info=None):
            status[0] = s.split(" ", 1)[0]
            return start_response(s, headers, exc_info)

        with self.lock:
            self.in_flight += 1
        result = ()
        try:
            result = self.app(environ, start)
            for chunk in result:
                size[0] += len(chunk)
                yield chunk
        finally:
            if hasattr(result, "close"):
                result.close()
            with self.lock:
                self.in_flight -= 1
            path = environ.get("PATH_INFO", "")
            if environ.get("QUERY_STRING"):
                path += "?" + environ["QUERY_STRING"]
            line(
                "REQUEST",
                address=environ.get("REMOTE_ADDR", "-"),
                method=environ.get("REQUEST_METHOD", "-"),
                path=path[:300],
                status=status[0],
                bytes=size[0],
                ms="%.1f" % ((time.perf_counter() - started) * 1000),
            )

"""The staff's login: the server's token, server-side sessions, and limits per address.

The token is never in a URL: it is typed into the login form (a POST) or sent by JSON clients as
"Authorization: Bearer". A login makes a random session key; the cookie carries the key and the
database only its SHA-256, with the token's fingerprint, a CSRF value for the page forms and an
expiry. Logging out deletes the row; a changed token makes every older session invalid.
"""
import hashlib
import hmac
import os
import secrets
import threading
import time
import urllib.parse

MIN_TOKEN = 16
SESSION_SECONDS = 12 * 3600


class TokenError(Exception):
    pass


def check_token(token, source):
    if token is None or len(token.strip()) < MIN_TOKEN or token != token.strip():
        raise TokenError(
            "the token from %s is blank, shorter than %d characters or padded with spaces; "
            "give a longer one" % (source, MIN_TOKEN)
        )
    return token


def load_token(data_dir, given=None, environ=os.environ):
    """(token, where it came from). DATA/token is made once, atomically and mode 0600; a blank file
    (a first start that died on a full disk) is made again, a short one refused."""
    if given is not None:
        return check_token(given, "--token"), "(given)"
    if environ.get("CRASHSERVER_TOKEN") is not None:
        return check_token(environ["CRASHSERVER_TOKEN"], "$CRASHSERVER_TOKEN"), "(environment)"
    path = os.path.join(data_dir, "token")
    return check_token(token_file(path), path), path


def token_file(path):
    """The token in the file at path, made once when there is none: atomically (processes starting
    together all read the same one) and mode 0600. A blank file (a first start that died on a full
    disk) is made again."""
    for _ in range(3):
        try:
            with open(path) as f:
                text = f.read()
        except FileNotFoundError:
            text = None
        if text is not None and text.strip():
            os.chmod(path, 0o600)
            return text.strip()
        if text is not None:
            os.remove(path)  # blank: never a usable token, never handed out
        temp = "%s.%d.%s" % (path, os.getpid(), secrets.token_hex(4))
        fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            with os.fdopen(fd, "w") as f:
                f.write(secrets.token_urlsafe(24) + "\n")
                f.flush()
                os.fsync(f.fileno())
            try:
                os.link(temp, path)  # never replaces a token another process made meanwhile
            except FileExistsError:
                pass
        finally:
            os.remove(temp)
    raise TokenError("could not make %s" % path)


def fingerprint(token):
    return hmac.new(token.encode(), b"crashserver token", hashlib.sha256).hexdigest()


def session_key_hash(key):
    return hashlib.sha256(key.encode("utf-8", "replace")).hexdigest()


def safe_next(target):
    """A path on this site to go to after the login, or "/": never another host ("//host",
    "/\\host", "https:..."), never control characters."""
    if not target or not target.startswith("/") or target[1:2] in ("/", "\\") or "\\" in target:
        return "/"
    if any(ord(c) < 0x21 or ord(c) == 0x7F for c in target):
        return "/"
    parts = urllib.parse.urlsplit(target)
    if parts.scheme or parts.netloc:
        return "/"
    return target


class Throttle:
    """At most `limit` events per address in each window of `seconds` (a fixed window, per process)."""

    def __init__(self, limit, seconds):
        self.limit, self.seconds = limit, seconds
        self.lock = threading.Lock()
        self.windows = {}

    def _window(self, address, now):
        start, count = self.windows.get(address, (now, 0))
        if now - start >= self.seconds:
            start, count = now, 0
        return start, count

    def blocked(self, address, now=None):
        if not self.limit:
            return False
        with self.lock:
            return self._window(address, now or time.time())[1] >= self.limit

    def hit(self, address, now=None):
        """Counts one event; True when it is over the limit."""
        if not self.limit:
            return False
        now = now or time.time()
        with self.lock:
            if len(self.windows) > 100_000:  # old windows of many addresses: forget the ended ones
                self.windows = {a: w for a, w in self.windows.items() if now - w[0] < self.seconds}
            start, count = self._window(address, now)
            self.windows[address] = (start, count + 1)
            return count + 1 > self.limit


class Sessions:
    def __init__(self, storage, token, seconds=SESSION_SECONDS):
        self.storage = storage
        self.token = token
        self.fp = fingerprint(token)
        self.seconds = seconds
        storage.purge_sessions(self.fp)

    def token_matches(self, given):
        return hmac.compare_digest(given.encode("utf-8", "replace"), self.token.encode())

    def start(self, remote):
        """A new session: (cookie value, CSRF value)."""
        key, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(24)
        self.storage.create_session(session_key_hash(key), self.fp, csrf, remote, time.time() + self.seconds)
        return key, csrf

    def find(self, key):
        """The session's CSRF value when the cookie names a live session of the current token."""
        if not key or len(key) > 128:
            return None
        row = self.storage.session(session_key_hash(key))
        if not row:
            return None
        token_fp, csrf, expires = row
        if expires < time.time() or not hmac.compare_digest(token_fp, self.fp):
            return None
        return csrf

    def end(self, key):
        if key and len(key) <= 128:
            self.storage.end_session(session_key_hash(key))

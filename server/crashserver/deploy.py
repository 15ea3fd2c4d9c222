"""The public front: Debian's nginx with TLS in front of one or more server processes on loopback.

nginx takes what the server itself can't refuse early enough: it answers 413 from the declared length
before reading a body (per location: information post 16 KiB, archive below 5,242,880 bytes, kernel
dump the server's --kernel-limit, forms 64 KiB), reads every body whole before the server sees it
(so a slow sender holds an nginx connection, never a server thread), drops clients that send their
header or body too slowly, limits connections per address, and sets X-Forwarded-For to the address
it saw (the server believes that header only from the proxy's own address).

    python3 -m crashserver --public [--public-host H] [--https-port N] [--http-port N] [--workers N]
                                    [--tls-cert FILE --tls-key FILE] [server options...]
    python3 -m crashserver --write-nginx-config DIR [...]   writes DIR/nginx.conf for an operator's own
        nginx (nginx -p DIR -c DIR/nginx.conf), in front of workers they start with --port P, P+1, ...
        --trusted-proxy 127.0.0.1 --secure-cookies (DIR/tmp must be writable by nginx's worker user)

Without --tls-cert a self-signed certificate for local use is made in DATA/tls/ once.
"""
import contextlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from crashserver.app import ARCHIVE_LIMIT, INFO_LIMIT
from crashserver.auth import TokenError, load_token
from crashserver.views import SYMBOL_UPLOAD_LIMIT
from protocol_names import ARCHIVE_PATH, INFO_PATH, KERNEL_REPORT_PATH

NGINX = "/usr/sbin/nginx"
FORM_LIMIT = 64 << 10

CONFIG = """# Made by crashserver.deploy; made again at each start of ./run server --public.
{user}worker_processes 1;
pid {prefix}/nginx.pid;
error_log {error_log} warn;
events {{ worker_connections {worker_connections}; }}
http {{
  server_tokens off;
  log_format front '$time_iso8601 $remote_addr "$request" $status $body_bytes_sent $request_time';
  access_log {access_log} front;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  fastcgi_temp_path {temp}/fastcgi;
  uwsgi_temp_path {temp}/uwsgi;
  scgi_temp_path {temp}/scgi;

  # Deadlines: the whole header within {header_timeout}s, no pause over {body_timeout}s in a body or answer.
  client_header_timeout {header_timeout}s;
  client_body_timeout {body_timeout}s;
  send_timeout {body_timeout}s;
  keepalive_timeout 15s;
  reset_timedout_connection on;
  client_header_buffer_size 1k;
  large_client_header_buffers 4 8k;
  client_body_buffer_size 64k;
  client_max_body_size {form_limit};

  limit_conn_zone $binary_remote_addr zone=per_address:10m;
  limit_conn per_address {conn_per_address};
  limit_conn_status 429;
  # Login attempts per address across all server processes (each also counts failures itself).
  limit_req_zone $binary_remote_addr zone=login:1m rate=20r/m;
  limit_req_status 429;

  upstream crashserver {{
{upstreams}
  }}

  # A connection per request (no upstream keepalive): a process that stops listening is then never
  # sent another request on a connection it is about to close.
  proxy_http_version 1.1;
  proxy_set_header Connection close;
  proxy_set_header Host $host;
  # Replaces whatever the client sent: the server takes the address nginx saw.
  proxy_set_header X-Forwarded-For $remote_addr;
  proxy_set_header X-Forwarded-Proto $scheme;
  proxy_request_buffering on;
  proxy_connect_timeout 5s;
  proxy_read_timeout 120s;
  # A process that stopped listening (drain at SIGTERM, restart) is skipped for the next one.
  proxy_next_upstream error timeout;

  server {{
    listen {listen_https} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:tls:1m;
{uploads}
    location = /login {{ limit_req zone=login burst=10 nodelay; proxy_pass http://crashserver; }}
    # Symbol uploads (behind their own token, TLS only): modules and debug files of a build.
    location /symbols/ {{ client_max_body_size {symbols}; proxy_pass http://crashserver; }}
    location / {{ proxy_pass http://crashserver; }}
  }}
{http_server}}}
"""

UPLOADS = """    location = /{info_path} {{
      client_max_body_size {info}; proxy_pass http://crashserver; }}
    location = /{archive_path} {{
      client_max_body_size {archive}; proxy_pass http://crashserver; }}
    location = /{kernel_path} {{
      client_max_body_size {kernel}; proxy_pass http://crashserver; }}
    location = /health {{ proxy_pass http://crashserver; }}
"""

# Plain HTTP for the programs, whose configured URL may be http: the upload paths only; the pages
# are sent to https.
HTTP_SERVER = """
  server {{
    listen {listen_http};
{uploads}
    location / {{ return 301 https://$host:{https_port}$request_uri; }}
  }}
"""


def nginx_config(
    prefix,
    temp,
    backends,
    cert,
    key,
    listen_https,
    listen_http=None,
    https_port=443,
    kernel_limit=32 << 20,
    conn_per_address=32,
    user=None,
    header_timeout=10,
    body_timeout=15,
    error_log=None,
    access_log=None,
    worker_connections=4096,
):
    uploads = UPLOADS.format(
        info=INFO_LIMIT,
        archive=ARCHIVE_LIMIT - 1,
        kernel=kernel_limit,
        info_path=INFO_PATH,
        archive_path=ARCHIVE_PATH,
        kernel_path=KERNEL_REPORT_PATH,
    )
    return CONFIG.format(
        user="user %s;\n" % user if user else "",
        prefix=prefix,
        temp=temp,
        error_log=error_log or os.path.join(prefix, "error.log"),
        access_log=access_log or os.path.join(prefix, "access.log"),
        worker_connections=worker_connections,
        header_timeout=header_timeout,
        body_timeout=body_timeout,
        form_limit=FORM_LIMIT,
        conn_per_address=conn_per_address,
        upstreams="\n".join("    server %s max_fails=0;" % b for b in backends),
        listen_https=listen_https,
        cert=cert,
        key=key,
        uploads=uploads,
        symbols=SYMBOL_UPLOAD_LIMIT,
        http_server=HTTP_SERVER.format(listen_http=listen_http, uploads=uploads, https_port=https_port)
        if listen_http
        else "",
    )


def self_signed(folder, names=("localhost",), addresses=("127.0.0.1",)):
    """(cert, key) in folder, made once with openssl: a certificate for local use and tests."""
    os.makedirs(folder, mode=0o700, exist_ok=True)
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        san = ",".join(["DNS:%s" % n for n in names] + ["IP:%s" % a for a in addresses])
        subprocess.run(
            [
                "openssl",
                "req",
                "-x509",
                "-newkey",
                "ec",
                "-pkeyopt",
                "ec_paramgen_curve:prime256v1",
                "-nodes",
                "-days",
                "825",
                "-subj",
                "/CN=%s" % names[0],
                "-addext",
                "subjectAltName=" + san,
                "-addext",
                "basicConstraints=critical,CA:TRUE",
                "-keyout",
                key,
                "-out",
                cert,
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.chmod(key, 0o600)
    return cert, key


def worker_temp(user):
    """nginx's body and proxy temp folders. As root the workers run as `user`, which must reach
    them: a folder of its own under /tmp instead of one inside the (0700) data folder."""
    temp = tempfile.mkdtemp(prefix="crashserver-nginx-")
    if os.geteuid() == 0 and user:
        entry = pwd.getpwnam(user)
        os.chown(temp, entry.pw_uid, entry.pw_gid)
    return temp


class Nginx:
    """A private nginx with a generated config; ends with stop() (and with its starter's tests)."""

    def __init__(self, prefix, **config):
        self.prefix = prefix
        os.makedirs(prefix, mode=0o700, exist_ok=True)
        self.user = config.pop("user", None)
        if os.geteuid() == 0 and not self.user:
            self.user = "www-data"
        self.temp = worker_temp(self.user)
        self.conf = os.path.join(prefix, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(nginx_config(prefix, self.temp, user=self.user if os.geteuid() == 0 else None, **config))
        self.proc = None

    def start(self, ports=()):
        pid_file = os.path.join(self.prefix, "nginx.pid")
        with contextlib.suppress(FileNotFoundError):
            os.remove(pid_file)
        self.proc = subprocess.Popen(
            [NGINX, "-e", "stderr", "-p", self.prefix, "-c", self.conf, "-g", "daemon off;"],
            stderr=open(os.path.join(self.prefix, "nginx.stderr"), "w"),
        )
        # nginx writes its pid file once it holds its ports; a port it can't take ends it.
        deadline = time.time() + 15
        while not (os.path.exists(pid_file) and all(listening(p) for p in ports)):
            if self.proc.poll() is not None or time.time() > deadline:
                self.stop()
                raise RuntimeError(
                    "nginx did not start: %s" % open(os.path.join(self.prefix, "nginx.stderr")).read()[-2000:]
                )
            time.sleep(0.05)
        return self

    def stop(self, graceful=False):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT if graceful else signal.SIGTERM)
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.temp, ignore_errors=True)


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def add_options(ap):
    g = ap.add_argument_group("public front (--public)")
    g.add_argument("--public-host", default="127.0.0.1", help="address nginx listens on (0.0.0.0: all)")
    g.add_argument("--https-port", type=int, default=8443)
    g.add_argument(
        "--http-port", type=int, default=8080, help="plain HTTP for the programs' uploads (0: none)"
    )
    g.add_argument("--workers", type=int, default=2, help="server processes behind nginx")
    g.add_argument("--tls-cert", help="the operator's certificate (PEM); a self-signed one when absent")
    g.add_argument("--tls-key")
    g.add_argument("--conn-per-address", type=int, default=32)
    g.add_argument("--write-nginx-config", metavar="DIR", help="only write DIR/nginx.conf for these options")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_arguments(args, port):
    """The options a worker process gets from the public command."""
    out = [
        "--host",
        "127.0.0.1",
        "--port",
        str(port),
        "--data",
        os.path.abspath(args.data),
        "--trusted-proxy",
        "127.0.0.1",
        "--secure-cookies",
    ]
    for name in (
        "database",
        "max_archives",
        "kernel_limit",
        "inflate_limit",
        "parse_slots",
        "info_limit",
        "session_hours",
        "threads",
        "drain_seconds",
        "archive_quota",
        "kernel_quota",
        "keep_per_group",
        "keep_days",
        "maintenance_seconds",
        "log_file",
        "symbol_workers",
        "symbolizer",
    ):
        value = getattr(args, name)
        if value is not None:
            out += ["--" + name.replace("_", "-"), str(value)]
    return out


def run_public(args, argv):
    data = os.path.abspath(args.data)
    os.makedirs(data, mode=0o700, exist_ok=True)
    try:
        token, source = load_token(data, args.token)
    except TokenError as e:
        print("crashserver: %s" % e, file=sys.stderr)
        return 2
    if args.tls_cert and args.tls_key:
        cert, key = os.path.abspath(args.tls_cert), os.path.abspath(args.tls_key)
    else:
        names = sorted({"localhost", socket.gethostname()})
        cert, key = self_signed(os.path.join(data, "tls"), names)
    # Written for an operator: the workers are started by them on --port, --port + 1, ...
    ports = (
        [args.port + i for i in range(args.workers)]
        if args.write_nginx_config
        else [free_port() for _ in range(args.workers)]
    )
    config = dict(
        backends=["127.0.0.1:%d" % p for p in ports],
        cert=cert,
        key=key,
        listen_https="%s:%d" % (args.public_host, args.https_port),
        listen_http="%s:%d" % (args.public_host, args.http_port) if args.http_port else None,
        https_port=args.https_port,
        kernel_limit=args.kernel_limit,
        conn_per_address=args.conn_per_address,
    )
    if args.write_nginx_config:
        prefix = os.path.abspath(args.write_nginx_config)
        os.makedirs(os.path.join(prefix, "tmp"), exist_ok=True)
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(nginx_config(prefix, os.path.join(prefix, "tmp"), **config))
        print("wrote %s" % os.path.join(prefix, "nginx.conf"))
        return 0
    env = dict(os.environ, CRASHSERVER_TOKEN=token)  # not on the command line, where ps shows it
    if args.symbols_token:
        env["CRASHSERVER_SYMBOLS_TOKEN"] = args.symbols_token
    workers = []
    for port in ports:
        p = subprocess.Popen(
            [sys.executable, "-m", "crashserver"] + server_arguments(args, port),
            env=env,
            stdout=subprocess.PIPE,
            text=True,
        )
        line = p.stdout.readline()
        if not line.startswith("SERVER "):
            print("crashserver: a worker did not start", file=sys.stderr)
            for w in workers + [p]:
                w.terminate()
            return 1
        workers.append(p)
    try:
        front = Nginx(os.path.join(data, "nginx"), **config).start(
            [args.https_port] + ([args.http_port] if args.http_port else [])
        )
    except (RuntimeError, OSError) as e:
        print("crashserver: %s" % e, file=sys.stderr)
        for w in workers:
            w.terminate()
            w.wait()
        return 1
    print(
        "PUBLIC url=https://%s:%d http=%s data=%s token-file=%s certificate=%s workers=%d"
        % (
            args.public_host,
            args.https_port,
            "http://%s:%d" % (args.public_host, args.http_port) if args.http_port else "-",
            data,
            source,
            cert,
            len(workers),
        ),
        flush=True,
    )

    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    rc = 0
    try:
        while front.proc.poll() is None and all(w.poll() is None for w in workers):
            time.sleep(0.5)
        print("crashserver: nginx or a worker ended; stopping", file=sys.stderr)
        rc = 1
    except (SystemExit, KeyboardInterrupt):
        pass
    finally:
        # nginx first (it stops accepting and finishes its requests), then the workers drain the rest.
        front.stop(graceful=True)
        for w in workers:
            if w.poll() is None:
                w.terminate()
        for w in workers:
            w.wait()
    return rc

#!/usr/bin/env python3
"""Loopback HTTPS server playing the matching, media-index and catalogue
services for the built-in client's tests.

Started by a test with --dir <empty temporary folder>. It makes a test CA and
two server certificates there with the openssl command (one for 127.0.0.1 and
localhost, one for another host), listens on two ephemeral ports of 127.0.0.1
and prints one JSON line: {"port": N, "wrong_host_port": M, "ca": "<path>"}.

It then reads one JSON command a line on stdin and answers each with one JSON
line on stdout:
  {"cmd": "script", ...}  replaces the scripted answers (keys below)
  {"cmd": "stats"}        counters: connections, requests, paths (the first 5000
                          in order), path_counts (every request target with
                          how often it came), user agents
  {"cmd": "reset_stats"}
  {"cmd": "quit"}
Script keys, each optional:
  "lookups":  {name: {"imdb": id, "tv": bool, "status": int}}
  "lookup_default": {"imdb": id, "tv": bool}   answers names without a route
  "movies":   {imdb id: bool}
  "corrections": body text, "find": body text
  "close_each": bool           answer every request with "Connection: close"
  "delay_ms": int              wait that long before every answer
  "faults": [{"path": substring of the request target, "action": one of
              "stall" | "delay" | "close_mid_body" | "oversize" |
              "oversize_chunked" | "redirect" | "status" | "body",
              "ms": int, "bytes": int, "status": int, "text": body text}]
The answers follow the built-in fake IO's, so that a scan gives the same
results through either.

Each connection is served on a thread of its own, kept alive between
requests; at most MAX_CONNECTIONS at once (a further one waits for a place,
and is closed when none frees up in time).

The server stops by itself: when stdin closes, after --max-seconds, or after
--idle-seconds without a command or a request. Every wait is bounded.
"""

import argparse
import http.server
import json
import os
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

NOT_FOUND = ('{"type":"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.5",'
             '"title":"Not Found","status":404}')
MAX_STALL_SECONDS = 30.0
KEEP_ALIVE_SECONDS = 30.0
MAX_CONNECTIONS = 512
CONNECTION_WAIT_SECONDS = 5.0
MAX_DISTINCT_PATHS = 100000

state_lock = threading.Lock()
script = {}
stats = {"connections": 0, "wrong_host_connections": 0, "requests": 0,
         "stalled": 0, "paths": [], "path_counts": {}, "user_agents": []}
last_activity = [time.monotonic()]
stop = threading.Event()


def touch():
    with state_lock:
        last_activity[0] = time.monotonic()


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def make_certs(d):
    ca_key, ca = os.path.join(d, "ca.key"), os.path.join(d, "ca.pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
            "-out", ca, "-days", "2", "-subj", "/CN=kelmcat test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    made = {}
    for name, san in (("server", "IP:127.0.0.1,DNS:localhost"),
                      ("wrong", "DNS:wrong-host.invalid")):
        key, csr, crt = (os.path.join(d, name + ext) for ext in (".key", ".csr", ".pem"))
        ext = os.path.join(d, name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n"
                    "extendedKeyUsage=serverAuth\n" % san)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                "-CAcreateserial", "-out", crt, "-days", "2", "-extfile", ext)
        made[name] = (crt, key)
    return ca, made


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = KEEP_ALIVE_SECONDS  # an idle kept-alive connection ends after this

    def setup(self):
        super().setup()
        # Headers and body go out as separate writes: without this, each answer
        # waits for the client's delayed acknowledgement.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.request.do_handshake()
        with state_lock:
            stats[self.server.counter] += 1

    def log_message(self, *args):
        pass

    def send(self, status, body, extra=()):
        data = body.encode("utf-8", "surrogateescape")
        self.send_response(status)
        self.send_header("Content-Length", str(len(data)))
        for k, v in extra:
            self.send_header(k, v)
        if script.get("close_each"):
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(data)

    def drop(self):
        self.close_connection = True
        try:
            self.request.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def do_GET(self):
        touch()
        with state_lock:
            stats["requests"] += 1
            if len(stats["paths"]) < 5000:
                stats["paths"].append(self.path)
            counts = stats["path_counts"]
            if self.path in counts or len(counts) < MAX_DISTINCT_PATHS:
                counts[self.path] = counts.get(self.path, 0) + 1
            ua = self.headers.get("User-Agent", "")
            if ua not in stats["user_agents"]:
                stats["user_agents"].append(ua)
            faults = [f for f in script.get("faults", []) if f.get("path", "") in self.path]
            delay = script.get("delay_ms", 0)
        if delay:
            stop.wait(min(delay / 1000.0, MAX_STALL_SECONDS))
        if faults and self.fault(faults[0]):
            return
        self.answer()

    # Returns True when the fault answered the request itself.
    def fault(self, f):
        action = f.get("action")
        if action == "stall":
            with state_lock:
                stats["stalled"] += 1
            stop.wait(min(f.get("ms", 10000) / 1000.0, MAX_STALL_SECONDS))
            self.drop()
            return True
        if action == "delay":
            stop.wait(min(f.get("ms", 100) / 1000.0, MAX_STALL_SECONDS))
            return False
        if action == "close_mid_body":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"x" * 10)
            self.wfile.flush()
            self.drop()
            return True
        if action == "oversize":
            self.send(200, "y" * f.get("bytes", 1000))
            return True
        if action == "oversize_chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            left = f.get("bytes", 1000)
            while left > 0:
                n = min(left, 4096)
                self.wfile.write(b"%x\r\n%s\r\n" % (n, b"z" * n))
                left -= n
            self.wfile.write(b"0\r\n\r\n")
            return True
        if action == "redirect":
            port = self.server.server_address[1]
            self.send(302, "", [("Location", "https://127.0.0.1:%d/moved" % port)])
            return True
        if action == "status":
            self.send(f.get("status", 500), "error")
            return True
        if action == "body":
            self.send(f.get("status", 200), f.get("text", ""))
            return True
        return False

    def answer(self):
        target = self.path
        if "/api/AAA/IsMovie?imdbId=" in target:
            imdb = target.split("imdbId=", 1)[1].split("&", 1)[0][:63]
            movies = script.get("movies", {})
            if imdb in movies:
                self.send(200, "true" if movies[imdb] else "false")
            elif imdb.startswith("tt"):
                self.send(200, "true")
            else:
                self.send(404, NOT_FOUND)
        elif "/api/MediaIndex/Corrections" in target:
            self.send(200, script.get("corrections") or "{}")
        elif "/api/MediaIndex/Find?" in target:
            self.send(200, script.get("find") or "[]")
        elif "/api/AAA/SendMessageQueue?" in target:
            self.send(200, "")
        else:
            raw = target.split("id=", 1)[1].split("&", 1)[0] if "id=" in target else ""
            name = urllib.parse.unquote(raw, errors="surrogateescape")
            route = script.get("lookups", {}).get(name)
            if route is None and script.get("lookup_default") is not None:
                route = script["lookup_default"]
            if route is None:
                self.send(404, NOT_FOUND)
                return
            status = route.get("status", 0)
            if status not in (0, 200):
                self.send(status, "" if status < 500 else "error")
                return
            self.send(200, '{"imDbId":"%s","title":"%s","isTVShow":%s}' % (
                route.get("imdb", ""), name, "true" if route.get("tv") else "false"))


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False
    # Room for a client opening many connections at once: with the default of
    # 5, further connection attempts are dropped and retried a second later.
    request_queue_size = MAX_CONNECTIONS

    def __init__(self, cert, counter):
        super().__init__(("127.0.0.1", 0), Handler)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*cert)
        self.socket = ctx.wrap_socket(self.socket, server_side=True,
                                      do_handshake_on_connect=False)
        self.counter = counter
        self.places = threading.BoundedSemaphore(MAX_CONNECTIONS)

    def process_request(self, request, client_address):
        if not self.places.acquire(timeout=CONNECTION_WAIT_SECONDS):
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except Exception:
            self.places.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.places.release()

    def handle_error(self, request, client_address):
        pass  # refused handshakes and dropped connections are part of the tests


def serve(server):
    server.serve_forever(poll_interval=0.05)


def commands(out):
    for line in sys.stdin:
        touch()
        try:
            cmd = json.loads(line)
        except ValueError:
            out({"ok": False})
            continue
        kind = cmd.pop("cmd", "")
        if kind == "script":
            global script
            with state_lock:
                script = cmd
            out({"ok": True})
        elif kind == "stats":
            with state_lock:
                out(dict(stats))
        elif kind == "reset_stats":
            with state_lock:
                for k in stats:
                    v = stats[k]
                    stats[k] = [] if isinstance(v, list) else {} if isinstance(v, dict) else 0
            out({"ok": True})
        elif kind == "quit":
            out({"ok": True})
            break
        else:
            out({"ok": False})
    stop.set()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--max-seconds", type=float, default=600)
    p.add_argument("--idle-seconds", type=float, default=120)
    a = p.parse_args()

    ca, certs = make_certs(a.dir)
    main_server = Server(certs["server"], "connections")
    wrong = Server(certs["wrong"], "wrong_host_connections")
    for s in (main_server, wrong):
        threading.Thread(target=serve, args=(s,), daemon=True).start()

    def out(obj):
        sys.stdout.write(json.dumps(obj) + "\n")
        sys.stdout.flush()

    out({"port": main_server.server_address[1],
         "wrong_host_port": wrong.server_address[1], "ca": ca})
    threading.Thread(target=commands, args=(out,), daemon=True).start()

    started = time.monotonic()
    while not stop.wait(0.2):
        now = time.monotonic()
        with state_lock:
            idle = now - last_activity[0]
        if now - started > a.max_seconds or idle > a.idle_seconds:
            break
    stop.set()
    for s in (main_server, wrong):
        s.shutdown()
        s.server_close()


if __name__ == "__main__":
    main()

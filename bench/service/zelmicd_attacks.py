#!/usr/bin/env python3
"""Runs the resource attacks of a hostile local user against a private zelmicd on 127.0.0.1 and
prints what the server held under each: connections, threads, resident memory, and how fast a
normal request to every listener was answered meanwhile.

    bench/service/zelmicd_attacks.py build/bin/zelmicd [--slow 1200] [--only slow,form,...]

Everything is bounded: a fixed number of connections and requests, each attack at most
--seconds long, every socket closed and the server (started here, soft descriptor limit 1024 as
a login shell has by default) ended by its PID. Nothing leaves loopback.
"""
import argparse
import base64
import hashlib
import hmac
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zlib

CLIENT_ID = "a3f18d0c72e94b5d16c8e2f07b9a4d35"
CLIENT_SECRET = "5e0b7c3a9d21f4e86a0c5b7d3e9f1a24"
HOST = "127.0.0.1"


def proc(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def sockets(pid):
    n = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                n += 1
        except OSError:
            pass
    return n


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def exchange(port, raw, timeout=10):
    """Sends raw bytes on a new connection and returns everything that comes back until it closes."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        s.sendall(raw)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


def http(port, raw, timeout=3.0):
    """Sends raw bytes, returns (status, seconds); status 0 when nothing usable came back."""
    start = time.monotonic()
    try:
        with socket.create_connection((HOST, port), timeout=timeout) as s:
            s.sendall(raw)
            data = b""
            while b"\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return 0, time.monotonic() - start
    status = int(data[9:12]) if data.startswith(b"HTTP/1.") and len(data) >= 12 else 0
    return status, time.monotonic() - start


class Server:
    def __init__(self, zelmicd, workdir):
        self.zelmicd = zelmicd
        self.dir = os.path.join(workdir, "data")
        self.work = workdir
        subprocess.run([zelmicd, "init", self.dir], check=True)
        pw = os.path.join(workdir, "pw")
        with open(pw, "w") as f:
            f.write("attack-test\n")
        args = [zelmicd, "add-user", self.dir, "ann", "--mount", "1"]
        # Older builds have no --password-file; they print the token the same way.
        newer = b"--password-file" in subprocess.run([zelmicd], capture_output=True).stderr
        if newer:
            args += ["--password-file", pw]
        self.refresh = subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()
        base = os.path.join(workdir, "base.bin")
        with open(base, "wb") as f:
            f.write(os.urandom(8192))
        subprocess.run([zelmicd, "put", self.dir, "--mount", "1", base, "/base.bin"], check=True)
        ready = os.path.join(workdir, "ready.json")

        def limit():
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))

        self.proc = subprocess.Popen(
            [zelmicd, "serve", self.dir, "--api-port", "0", "--token-port", "0", "--upload-port", "0",
             "--web-port", "0", "--ready-file", ready], preexec_fn=limit, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(ready):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise SystemExit("zelmicd did not start")
            time.sleep(0.05)
        time.sleep(0.1)
        with open(ready) as f:
            ports = json.load(f)
        self.ports = {k: ports[k] for k in ("api", "token", "upload", "web")}
        self.pid = self.proc.pid
        self.access = self.token()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def token(self):
        b = "XyZzy"
        body = "".join(f'--{b}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n' for k, v in (
            ("grant_type", "refresh_token"), ("refresh_token", self.refresh), ("client_id", CLIENT_ID),
            ("client_secret", CLIENT_SECRET))) + f"--{b}--\r\n"
        raw = (f"POST /oauth/token HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary={b}\r\n"
               f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n{body}").encode()
        data = exchange(self.ports["token"], raw, 10)
        return json.loads(data.split(b"\r\n\r\n", 1)[1])["access_token"]

    def signed(self, verb, path, extra=""):
        date = time.strftime("%a, %d %b %y %H:%M:%S GMT", time.localtime())
        msg = f"{verb.lower()}\n{date}\n1\n{path}".encode()
        sig = base64.b64encode(hmac.new(CLIENT_SECRET.encode(), msg, hashlib.sha1).digest()).decode()
        return (f"{verb} {path} HTTP/1.1\r\nHost: x\r\nx-zm-mount: 1\r\nDate: {date}\r\n"
                f"Authorization: {self.access}:{sig}\r\n{extra}Connection: close\r\n\r\n").encode()

    def call(self, verb, path, extra=""):
        data = exchange(self.ports["api"], self.signed(verb, path, extra), 10)
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head[9:12]), body

    def normal(self):
        """Seconds each listener took to answer a plain request ("fail" when it did not)."""
        probes = {
            "api": self.signed("GET", "/base%2Ebin"),
            "token": b"POST /oauth/token HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
            "upload": b"POST /upload_req HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: no\r\nConnection: close\r\n\r\n",
            "web": b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
        }
        out = {}
        for name, raw in probes.items():
            status, took = http(self.ports[name], raw)
            out[name] = f"{took * 1000:.0f} ms" if status else "fail"
        return out

    def figures(self):
        return {"sockets": sockets(self.pid), "fds": descriptors(self.pid),
                "threads": proc(self.pid, "Threads"), "rss_mb": proc(self.pid, "VmRSS") // 1024}


def attack_slow(srv, count, seconds):
    """count connections to the web listener, each sending one byte every 5 s."""
    conns = []
    for _ in range(count):
        try:
            s = socket.socket()
            s.settimeout(1)
            s.connect((HOST, srv.ports["web"]))
            s.setblocking(False)
            conns.append(s)
        except OSError:
            break
    request = b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 64
    end = time.monotonic() + seconds
    step = 0
    reset = 0
    while time.monotonic() < end:
        for s in conns:
            try:
                s.send(request[step:step + 1])
            except OSError:
                reset += 1
        step += 1
        time.sleep(min(5, max(0, end - time.monotonic())))
    seen = srv.figures()
    seen["normal"] = srv.normal()
    seen["opened"] = len(conns)
    for s in conns:
        s.close()
    return seen


def attack_form(srv, size):
    """An urlencoded body of size bytes of small, distinct fields to the form endpoints, no login."""
    parts, total, i = [], 0, 0
    while total < size:
        parts.append(b"f%d=1&" % i)
        total += len(parts[-1])
        i += 1
    body = b"".join(parts)
    results = {}
    for path in ("/upload", "/login"):
        before = proc(srv.pid, "VmRSS")
        peak = before
        try:
            with socket.create_connection((HOST, srv.ports["web"]), timeout=10) as s:
                s.sendall(f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                          f"Content-Length: {len(body)}\r\n\r\n".encode())
                for at in range(0, len(body), 1 << 20):
                    s.sendall(body[at:at + (1 << 20)])
                    peak = max(peak, proc(srv.pid, "VmRSS"))
                s.settimeout(10)
                status = int(s.recv(64)[9:12] or b"0")
        except (OSError, ValueError):
            status = "closed"
        time.sleep(0.5)
        results[path] = {"status": status, "peak_rss_mb": peak // 1024,
                         "after_rss_mb": proc(srv.pid, "VmRSS") // 1024}
    results["normal"] = srv.normal()
    return results


def attack_parts(srv, count, part):
    """count connections sending a full part for an upload session that does not exist."""
    conns = []
    head = (f"PUT /upload_part HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: bogus\r\n"
            f"x-zm-upload-range: 0-{part - 1}\r\nx-zm-upload-crc: 0\r\nContent-Length: {part}\r\n\r\n").encode()
    chunk = b"\0" * (1 << 20)
    refused = 0
    for _ in range(count):
        s = socket.create_connection((HOST, srv.ports["upload"]), timeout=5)
        conns.append(s)
        s.sendall(head)
        try:
            for _ in range(part // len(chunk) - 1):  # all but the last MiB: the body stays pending
                s.sendall(chunk)
        except OSError:
            refused += 1
    time.sleep(0.5)
    seen = srv.figures()
    seen["refused_early"] = refused
    seen["normal"] = srv.normal()
    for s in conns:
        s.close()
    return seen


def attack_sessions(srv, count):
    """count uploads registered and opened with "/upload_init", then abandoned."""
    opened = refused = 0
    for i in range(count):
        h = hashlib.sha1(f"abandoned {i}".encode()).hexdigest()
        status, body = srv.call("PUT", f"/abandoned/{i}", f"x-zm-filehash: {h}\r\nx-zm-filesize: 1000000\r\n")
        if status != 200:
            refused += 1
            continue
        pathhash = json.loads(body)["hash"]
        raw = (f"POST /upload_init HTTP/1.1\r\nHost: x\r\nx-zm-token: {srv.access}\r\n"
               f"x-zm-upload-pathhash: {pathhash}\r\nx-zm-upload-filehash: {h}\r\n"
               f"x-zm-upload-filesize: 1000000\r\nx-zm-upload-filename: f\r\nConnection: close\r\n\r\n").encode()
        st, _ = http(srv.ports["upload"], raw, 10)
        if st == 200:
            opened += 1
        else:
            refused += 1
    seen = srv.figures()
    seen.update(opened=opened, refused=refused, normal=srv.normal())
    return seen


def attack_matches(srv, list_size):
    """A match list of list_size bytes for an upload built on the 8 KiB stored version."""
    count = list_size // 10
    filesize = count * 4096
    h = hashlib.sha1(b"huge").hexdigest()
    status, body = srv.call("PUT", "/base%2Ebin", f"x-zm-filehash: {h}\r\nx-zm-filesize: {filesize}\r\n")
    pathhash = json.loads(body)["hash"]
    raw = (f"POST /upload_init HTTP/1.1\r\nHost: x\r\nx-zm-token: {srv.access}\r\n"
           f"x-zm-upload-pathhash: {pathhash}\r\nx-zm-upload-filehash: {h}\r\n"
           f"x-zm-upload-filesize: {filesize}\r\nx-zm-upload-filename: f\r\nConnection: close\r\n\r\n").encode()
    data = exchange(srv.ports["upload"], raw, 10)
    session = json.loads(data.split(b"\r\n\r\n", 1)[1])["session"]
    records = b"".join((i * 4096).to_bytes(8, "little") + b"\0\0" for i in range(count))
    before = proc(srv.pid, "VmRSS")
    head = (f"PUT /upload_checksum_result HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: {session}\r\n"
            f"x-zm-upload-crc: {zlib.crc32(records)}\r\nContent-Length: {len(records)}\r\n"
            f"Connection: close\r\n\r\n").encode()
    st, _ = http(srv.ports["upload"], head + records, 60)
    time.sleep(0.5)
    return {"status": st, "rss_before_mb": before // 1024, "rss_after_mb": proc(srv.pid, "VmRSS") // 1024}


def attack_space(srv, blocks):
    """A new version of the 8 KiB stored file made of one 4 KiB part and a match list naming its
    first block `blocks` times (10 bytes a record); under a 64 MiB quota when the build has one."""
    if b"--quota" in subprocess.run([srv.zelmicd], capture_output=True).stderr:
        args = [srv.zelmicd, "add-user", srv.dir, "ann", "--mount", "1", "--quota", "64M",
                "--password-file", os.path.join(srv.work, "pw")]
        srv.refresh = subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()
        srv.access = srv.token()
    with open(os.path.join(srv.work, "base.bin"), "rb") as f:
        block = f.read(4096)
    literal = os.urandom(4096)
    h = hashlib.sha1(literal)
    for _ in range(blocks):
        h.update(block)
    filesize = 4096 * (blocks + 1)
    seen = {"match_list_bytes": blocks * 10, "registered_bytes": filesize}
    status, body = srv.call("PUT", "/base%2Ebin",
                            f"x-zm-filehash: {h.hexdigest()}\r\nx-zm-filesize: {filesize}\r\n")
    seen["register"] = status

    def upload(path, headers, payload=b""):
        raw = (f"{'PUT' if payload else 'POST'} {path} HTTP/1.1\r\nHost: x\r\n{headers}"
               f"Content-Length: {len(payload)}\r\nConnection: close\r\n\r\n").encode() + payload
        data = exchange(srv.ports["upload"], raw, 120)
        return int(data[9:12]), data.split(b"\r\n\r\n", 1)[1]

    if status == 200:
        st, body = upload("/upload_init", f"x-zm-token: {srv.access}\r\nx-zm-upload-pathhash: "
                          f"{json.loads(body)['hash']}\r\nx-zm-upload-filehash: {h.hexdigest()}\r\n"
                          f"x-zm-upload-filesize: {filesize}\r\nx-zm-upload-filename: f\r\n")
        session = f"x-zm-upload-session: {json.loads(body)['session']}\r\n"
        records = b"".join((4096 * (i + 1)).to_bytes(8, "little") + b"\0\0" for i in range(blocks))
        seen["matches"], _ = upload("/upload_checksum_result",
                                    f"{session}x-zm-upload-crc: {zlib.crc32(records)}\r\n", records)
        seen["part"], _ = upload("/upload_part", f"{session}x-zm-upload-range: 0-4095\r\n"
                                 f"x-zm-upload-crc: {zlib.crc32(literal)}\r\n", literal)
        seen["finish"], _ = upload("/upload_finish", f"{session}x-zm-upload-filesize: 4096\r\n")
    sizes = [os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(os.path.join(srv.dir, "blobs"))
             for n in names]
    seen["largest_blob_bytes"] = max(sizes, default=0)
    return seen


def open_upload(srv, access, path, size):
    """Registers a file of size bytes under access's mount and opens its upload session."""
    h = hashlib.sha1(os.urandom(20)).hexdigest()
    saved, srv.access = srv.access, access
    try:
        status, body = srv.call("PUT", path, f"x-zm-filehash: {h}\r\nx-zm-filesize: {size}\r\n")
    finally:
        srv.access = saved
    if status != 200:
        raise SystemExit(f"PUT {path}: {status}")
    raw = (f"POST /upload_init HTTP/1.1\r\nHost: x\r\nx-zm-token: {access}\r\n"
           f"x-zm-upload-pathhash: {json.loads(body)['hash']}\r\nx-zm-upload-filehash: {h}\r\n"
           f"x-zm-upload-filesize: {size}\r\nx-zm-upload-filename: f\r\nConnection: close\r\n\r\n").encode()
    data = exchange(srv.ports["upload"], raw, 10)
    return json.loads(data.split(b"\r\n\r\n", 1)[1])["session"]


def attack_budget(srv, count):
    """count slow connections announce a 16 MiB part of one of ann's uploads; then another user
    sends a 1 MiB part of theirs."""
    part = 16 << 20
    ann = open_upload(srv, srv.access, "/budget.bin", 2 * part)
    conns = []
    head = (f"PUT /upload_part HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: {ann}\r\n"
            f"x-zm-upload-range: 0-{part - 1}\r\nx-zm-upload-crc: 0\r\nContent-Length: {part}\r\n\r\n").encode()
    for _ in range(count):
        s = socket.create_connection((HOST, srv.ports["upload"]), timeout=5)
        conns.append(s)
        s.sendall(head + b"\0" * 1024)
    time.sleep(0.5)
    pw = os.path.join(srv.work, "pw")
    args = [srv.zelmicd, "add-user", srv.dir, "bob", "--mount", "1"]
    if b"--password-file" in subprocess.run([srv.zelmicd], capture_output=True).stderr:
        args += ["--password-file", pw]
    saved = srv.refresh
    srv.refresh = subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()
    bob_access = srv.token()
    srv.refresh = saved
    bob = open_upload(srv, bob_access, "/bob.bin", 1 << 20)
    body = os.urandom(1 << 20)
    raw = (f"PUT /upload_part HTTP/1.1\r\nHost: x\r\nx-zm-upload-session: {bob}\r\n"
           f"x-zm-upload-range: 0-{len(body) - 1}\r\nx-zm-upload-crc: {zlib.crc32(body)}\r\n"
           f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body
    status, took = http(srv.ports["upload"], raw, 10)
    seen = srv.figures()
    seen.update(other_users_part=status, took_ms=round(took * 1000))
    for s in conns:
        s.close()
    return seen


def attack_listing(srv, count, seconds):
    """A mount of count files: the web page's first view, a LIST page of 100, and another member's
    GET while one member loops COMPARE and LIST in 4 threads. The files are written straight into
    the database (one transaction, all naming the stored 8 KiB content): the API would take minutes."""
    import sqlite3
    import statistics
    import threading

    def fetch(port, raw):
        """Sends raw bytes, returns (status, head, body) of the whole answer."""
        data = exchange(port, raw, 120)
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head[9:12]), head, body

    with open(os.path.join(srv.work, "base.bin"), "rb") as f:
        sha1 = hashlib.sha1(f.read()).hexdigest()
    db = sqlite3.connect(os.path.join(srv.dir, "zelmic.db"), timeout=30)
    now = int(time.time())
    ann = db.execute("SELECT id FROM users WHERE name = 'ann'").fetchone()[0]
    with db:
        for i in range(count):
            cur = db.execute("INSERT INTO files(uid, mount, path, version, cmd, dateline) "
                             "VALUES(?, 1, ?, 1, 1, ?)", (os.urandom(16).hex(), f"/f{i:05d}.bin", now))
            db.execute("INSERT INTO versions(file_id, version, filehash, filesize, user_id, machine, "
                       "dateline, cmd, download_key) VALUES(?, 1, ?, 8192, ?, 'bench', ?, 1, ?)",
                       (cur.lastrowid, sha1, ann, now, os.urandom(20).hex()))
    tokens = lambda: db.execute("SELECT COUNT(*) FROM tokens").fetchone()[0]
    body = "user=ann&password=attack-test"
    status, head, _ = fetch(srv.ports["web"], (
        f"POST /login HTTP/1.1\r\nHost: x\r\nOrigin: http://127.0.0.1:{srv.ports['web']}\r\n"
        f"Content-Type: application/x-www-form-urlencoded\r\n"
        f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n{body}").encode())
    cookie = head.split(b"Set-Cookie: ", 1)[1].split(b";", 1)[0].decode()
    before = tokens()
    start = time.monotonic()
    page_status, _, page = fetch(srv.ports["web"],
                            f"GET / HTTP/1.1\r\nHost: x\r\nCookie: {cookie}\r\nConnection: close\r\n\r\n".encode())
    page_ms = (time.monotonic() - start) * 1000
    minted = tokens() - before
    db.close()
    list_ms = []
    for i in range(20):
        start = time.monotonic()
        srv.call("LIST", "/", f"x-zm-start: {i * 400}\r\nx-zm-size: 100\r\n")
        list_ms.append((time.monotonic() - start) * 1000)
    bob = subprocess.run([srv.zelmicd, "add-user", srv.dir, "bob", "--mount", "1"], check=True,
                         capture_output=True, text=True).stdout.strip().splitlines()[-1]
    ann_refresh, srv.refresh = srv.refresh, bob
    bob_access, srv.refresh = srv.token(), ann_refresh
    stop = time.monotonic() + seconds
    loops = [0]

    def hammer(n):
        while time.monotonic() < stop:
            try:
                if n % 2:
                    srv.call("COMPARE", "/", "x-zm-version: 0\r\nx-zm-dateline: 0\r\n")
                else:
                    srv.call("LIST", "/", "x-zm-start: 0\r\nx-zm-size: 1000\r\n")
                loops[0] += 1
            except OSError:
                pass  # a call the server took longer than the client waits for
            n += 1

    threads = [threading.Thread(target=hammer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    gets = []
    while time.monotonic() < stop:
        date = time.strftime("%a, %d %b %y %H:%M:%S GMT", time.localtime())
        sig = base64.b64encode(hmac.new(CLIENT_SECRET.encode(), f"get\n{date}\n1\n/base%2Ebin".encode(),
                                        hashlib.sha1).digest()).decode()
        status, took = http(srv.ports["api"], (
            f"GET /base%2Ebin HTTP/1.1\r\nHost: x\r\nx-zm-mount: 1\r\nDate: {date}\r\n"
            f"Authorization: {bob_access}:{sig}\r\nConnection: close\r\n\r\n").encode(), 30)
        gets.append(took * 1000 if status == 200 else float("inf"))
        time.sleep(0.05)
    for t in threads:
        t.join()
    return {"files": count, "page_status": page_status, "page_first_view_ms": round(page_ms),
            "page_bytes": len(page), "page_tokens_minted": minted,
            "page_launch_links": page.count(b"plumet://"),
            "list100_median_ms": round(statistics.median(list_ms), 1),
            "other_get_median_ms": round(statistics.median(gets), 1),
            "other_get_max_ms": round(max(gets), 1), "other_gets": len(gets),
            "compare_list_calls": loops[0]}


def attack_smuggle(srv):
    """A login form framed both by Content-Length and as chunked to the web listener, followed on
    the same connection by a second request: whether that hidden request was answered."""
    hidden = b"GET /hidden-request HTTP/1.1\r\nHost: x\r\n\r\n"
    raw = (b"POST /login HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           b"Content-Length: %d\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" % len(b"0\r\n\r\n" + hidden)
           + hidden)
    data, closed = b"", False
    try:
        with socket.create_connection((HOST, srv.ports["web"]), timeout=3) as s:
            s.sendall(raw)
            deadline = time.monotonic() + 3
            while time.monotonic() < deadline:
                chunk = s.recv(65536)
                if not chunk:
                    closed = True
                    break
                data += chunk
    except OSError:
        pass
    statuses = [int(data[at + 9:at + 12]) for at in range(len(data)) if data.startswith(b"HTTP/1.", at)]
    return {"statuses": statuses, "hidden_answered": len(statuses) > 1, "closed_by_server": closed,
            "normal": srv.normal()}


def attack_guess(srv, seconds, guessers=8):
    """guessers threads post wrong passwords for ann to the login form for `seconds`, while another
    user fetches a download location over and over."""
    import statistics
    import threading
    web = srv.ports["web"]
    _, body = srv.call("GET", "/base%2Ebin")
    uri = json.loads(body)["uri"]
    download = f"GET {uri[uri.index('/download/'):]} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
    end = time.monotonic() + seconds
    answered, lock = {}, threading.Lock()

    def guess(n):
        i = 0
        while time.monotonic() < end:
            form = f"user=ann&password=wrong-{n}-{i}"
            raw = (f"POST /login HTTP/1.1\r\nHost: {HOST}:{web}\r\nOrigin: http://{HOST}:{web}\r\n"
                   f"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: {len(form)}\r\n"
                   f"Connection: close\r\n\r\n{form}").encode()
            st, _ = http(web, raw, 30)
            with lock:
                answered[st] = answered.get(st, 0) + 1
            i += 1

    threads = [threading.Thread(target=guess, args=(n,)) for n in range(guessers)]
    for t in threads:
        t.start()
    time.sleep(0.2)
    took = []
    while time.monotonic() < end:
        st, t = http(web, download.encode(), 10)
        took.append(t if st == 200 else 10.0)
        time.sleep(0.05)
    for t in threads:
        t.join()
    return {"guesses_answered": sum(n for st, n in answered.items() if st), "by_status": answered,
            "downloads": len(took), "download_median_ms": round(statistics.median(took) * 1000, 1),
            "download_max_ms": round(max(took) * 1000, 1)}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("zelmicd")
    p.add_argument("--slow", type=int, default=1200)
    p.add_argument("--seconds", type=float, default=12)
    p.add_argument("--form-mb", type=int, default=56)
    p.add_argument("--only", default="slow,form,parts,sessions,matches")
    a = p.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, a.slow + 256)), hard))
    for name in a.only.split(","):
        work = tempfile.mkdtemp(prefix="zelmicd-attack-")
        srv = Server(a.zelmicd, work)
        try:
            idle = srv.figures()
            if name == "slow":
                seen = attack_slow(srv, a.slow, a.seconds)
            elif name == "form":
                seen = attack_form(srv, a.form_mb << 20)
            elif name == "parts":
                seen = attack_parts(srv, 40, 16 << 20)
            elif name == "sessions":
                seen = attack_sessions(srv, 1100)
            elif name == "budget":
                seen = attack_budget(srv, 17)
            elif name == "matches":
                seen = attack_matches(srv, 64 << 20)
            elif name == "listing":
                seen = attack_listing(srv, 10000, a.seconds)
            elif name == "space":
                seen = attack_space(srv, 65536)
            elif name == "smuggle":
                seen = attack_smuggle(srv)
            elif name == "guess":
                seen = attack_guess(srv, a.seconds)
            else:
                raise SystemExit(f"unknown attack {name}")
            print(json.dumps({"attack": name, "idle": idle, "under": seen}))
            sys.stdout.flush()
        finally:
            srv.stop()
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

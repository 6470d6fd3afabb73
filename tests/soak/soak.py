#!/usr/bin/env python3
"""Soak: drives a running vendor-server with a seeded mix of valid and hostile requests from
raw-socket clients, samples its resident memory, and checks every valid answer byte for byte.

Started by tests/soak/run.sh, which builds the server and lays out the releases it serves; see
there for the command line. Exits 0 when every valid request was answered correctly, the server
is still running, and its VmRSS grew by no more than --bound-mib between the end of the warm-up
and the end of the run; 1 otherwise. Loopback only; it stops by itself after --minutes or
--max-requests, whichever comes first.
"""

import argparse
import hashlib
import json
import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

PRODUCT = "/prod/Orbisnap/"
OLD, NEWEST = "1.0.3", "1.0.4"
BIG = "bin/big.bin"


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body


class Closed(Exception):
    pass


class Reader:
    """Reads HTTP/1.1 answers from one socket, skipping interim 1xx answers."""

    def __init__(self, sock):
        self.sock = sock
        self.data = b""

    def fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise Closed()
        self.data += chunk

    def take(self, count):
        while len(self.data) < count:
            self.fill()
        out, self.data = self.data[:count], self.data[count:]
        return out

    def line(self):
        while b"\r\n" not in self.data:
            if len(self.data) > 65536:
                raise Closed()
            self.fill()
        out, _, self.data = self.data.partition(b"\r\n")
        return out

    def answer(self, head_only=False):
        while True:
            status_line = self.line()
            parts = status_line.split(b" ", 2)
            if len(parts) < 2 or not parts[0].startswith(b"HTTP/1."):
                raise Closed()
            status = int(parts[1])
            headers = {}
            while True:
                header = self.line()
                if not header:
                    break
                name, _, value = header.partition(b":")
                headers[name.strip().lower().decode("latin-1")] = value.strip().decode("latin-1")
            if 100 <= status < 200:
                continue
            break
        if head_only or status in (204, 304):
            return Answer(status, headers, b"")
        if headers.get("transfer-encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.line().split(b";")[0], 16)
                if size == 0:
                    while self.line():
                        pass
                    break
                body += self.take(size)
                self.take(2)
            return Answer(status, headers, body)
        if "content-length" in headers:
            return Answer(status, headers, self.take(int(headers["content-length"])))
        while True:
            try:
                self.fill()
            except Closed:
                break
        body, self.data = self.data, b""
        return Answer(status, headers, body)


def request(method, target, headers=(), body=b"", version="HTTP/1.1"):
    lines = [f"{method} {target} {version}".encode("latin-1"), b"Host: 127.0.0.1"]
    lines += [h if isinstance(h, bytes) else h.encode("latin-1") for h in headers]
    if (body or method == "POST") and not any(h.lower().startswith(b"content-length") or h.lower().startswith(b"transfer-encoding")
                        for h in (x if isinstance(x, bytes) else x.encode("latin-1") for x in headers)):
        lines.append(b"Content-Length: %d" % len(body))
    return b"\r\n".join(lines) + b"\r\n\r\n" + body


def form(fields):
    return "&".join(f"{k}={v}" for k, v in fields).encode()


class Expected:
    """What the server answers to the valid requests, read from its releases and its first answers."""

    def __init__(self, releases, port, token):
        self.port = port
        self.token = token
        with open(os.path.join(releases, NEWEST, BIG), "rb") as f:
            self.big = f.read()
        self.big_etag = '"' + hashlib.sha256(self.big).hexdigest() + '"'
        with open(os.path.join(releases, "ad.json"), "rb") as f:
            self.ad = json.load(f)
        with open(os.path.join(releases, "product-info.json"), "rb") as f:
            self.info = json.load(f)
        # The version answers are the server's own work; their first bytes are checked for
        # sense here and every later answer must be the same bytes.
        self.answers = {}
        for version in (OLD, NEWEST, "0.9.1"):
            answer = exchange(port, request("GET", f"{PRODUCT}getVersionDiff?version={version}"))
            if answer.status != 200:
                raise SystemExit(f"soak: getVersionDiff for {version} answered {answer.status}")
            document = json.loads(answer.body)
            if version == NEWEST and document != {}:
                raise SystemExit(f"soak: the newest version's answer is not {{}}: {answer.body[:200]!r}")
            if version != NEWEST and document.get("version") != NEWEST:
                raise SystemExit(f"soak: the answer for {version} does not lead to {NEWEST}: {answer.body[:200]!r}")
            self.answers[version] = (answer.body, answer.headers.get("etag", ""))


def exchange(port, data, timeout=10.0, head_only=False):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(data)
        return Reader(sock).answer(head_only)


def multipart_byteranges(answer):
    kind = answer.headers.get("content-type", "")
    if "boundary=" not in kind:
        return None
    boundary = b"--" + kind.split("boundary=", 1)[1].strip('"').encode()
    parts = []
    for piece in answer.body.split(boundary)[1:]:
        if piece.startswith(b"--"):
            break
        head, _, rest = piece.partition(b"\r\n\r\n")
        parts.append(rest[:-2] if rest.endswith(b"\r\n") else rest)
    return parts


class Client:
    """One client: valid requests it checks, and hostile ones whose answer (if any) it ignores."""

    def __init__(self, number, seed, expected, stats):
        self.rng = random.Random(seed * 1009 + number)
        self.expected = expected
        self.stats = stats
        self.valid = [
            (6, self.version_answer), (2, self.version_not_modified), (2, self.product_info),
            (2, self.use_report), (1, self.product_ad), (3, self.whole_file), (3, self.one_range),
            (2, self.several_ranges), (2, self.if_range), (1, self.head_file), (1, self.dashboard),
            (2, self.chunked_form), (1, self.expect_continue), (2, self.keep_alive), (1, self.multipart_refused),
        ]
        self.hostile = [
            (2, self.random_method), (3, self.bad_path), (2, self.huge_query), (2, self.huge_headers),
            (2, self.huge_form), (3, self.bad_form), (4, self.bad_multipart), (3, self.bad_chunked),
            (2, self.hostile_expect), (4, self.hostile_ranges), (2, self.hostile_conditions),
            (2, self.truncated), (1, self.pipelined_garbage),
        ]

    def pick(self, table):
        total = sum(weight for weight, _ in table)
        point = self.rng.uniform(0, total)
        for weight, action in table:
            point -= weight
            if point <= 0:
                return action
        return table[-1][1]

    def step(self):
        if self.rng.random() < 0.5:
            action = self.pick(self.valid)
            name = action.__name__
            try:
                problem = action()
            except (OSError, Closed, ValueError) as error:
                problem = f"no answer ({type(error).__name__}: {error})"
            self.stats.record(name, problem)
        else:
            action = self.pick(self.hostile)
            try:
                action()
            except (OSError, Closed, ValueError):
                pass
            self.stats.record(action.__name__, None)

    # Valid requests: each returns None when answered correctly, else what was wrong.

    def check(self, answer, status, body=None, what=""):
        if answer.status != status:
            return f"{what} answered {answer.status}, not {status}"
        if body is not None and answer.body != body:
            return f"{what} answered other bytes ({len(answer.body)} of {len(body)})"
        return None

    def port(self):
        return self.expected.port

    def version_answer(self):
        version = self.rng.choice([OLD, NEWEST, "0.9.1"])
        body, _ = self.expected.answers[version]
        answer = exchange(self.port(), request("GET", f"{PRODUCT}getVersionDiff?version={version}"))
        return self.check(answer, 200, body, f"getVersionDiff {version}")

    def version_not_modified(self):
        body, etag = self.expected.answers[OLD]
        answer = exchange(self.port(), request("GET", f"{PRODUCT}getVersionDiff?version={OLD}",
                                               [f"If-None-Match: W/\"x\", {etag}"]))
        return self.check(answer, 304, None, "getVersionDiff If-None-Match")

    def product_info(self):
        answer = exchange(self.port(), request("POST", f"{PRODUCT}getProductInfo?",
                                               ["Content-Type: application/x-www-form-urlencoded"],
                                               form([("version", OLD)])))
        if answer.status == 200 and json.loads(answer.body) != self.expected.info["*"]:
            return "getProductInfo answered another document"
        return self.check(answer, 200, None, "getProductInfo")

    def report_form(self):
        mac = "%012x" % self.rng.getrandbits(48)
        return form([("mac", mac), ("version", OLD), ("computerName", "soak%d" % self.rng.randrange(100)),
                     ("userName", "user"), ("useState", str(self.rng.randrange(256)))])

    def use_report(self):
        answer = exchange(self.port(), request("POST", f"{PRODUCT}useReport?",
                                               ["Content-Type: application/x-www-form-urlencoded"],
                                               self.report_form()))
        return self.check(answer, 200, b'{"ok":true}', "useReport")

    def product_ad(self):
        answer = exchange(self.port(), request("POST", f"{PRODUCT}getProductAd", [], b""))
        if answer.status == 200 and json.loads(answer.body) != self.expected.ad:
            return "getProductAd answered another document"
        return self.check(answer, 200, None, "getProductAd")

    def whole_file(self):
        answer = exchange(self.port(), request("GET", f"/releases/{NEWEST}/{BIG}"))
        return self.check(answer, 200, self.expected.big, "release file")

    def span(self):
        size = len(self.expected.big)
        first = self.rng.randrange(size)
        last = min(size - 1, first + self.rng.randrange(1, 70000))
        return first, last

    def one_range(self):
        first, last = self.span()
        answer = exchange(self.port(), request("GET", f"/releases/{NEWEST}/{BIG}", [f"Range: bytes={first}-{last}"]))
        return self.check(answer, 206, self.expected.big[first:last + 1], "range")

    def several_ranges(self):
        spans = sorted(self.span() for _ in range(self.rng.randrange(2, 4)))
        # Disjoint and apart, so the server cannot merge them.
        spans = [s for i, s in enumerate(spans) if i == 0 or s[0] > spans[i - 1][1] + 100]
        if len(spans) < 2:
            return None
        header = "Range: bytes=" + ",".join(f"{a}-{b}" for a, b in spans)
        answer = exchange(self.port(), request("GET", f"/releases/{NEWEST}/{BIG}", [header]))
        if answer.status != 206:
            return f"multi-range answered {answer.status}"
        parts = multipart_byteranges(answer)
        if parts != [self.expected.big[a:b + 1] for a, b in spans]:
            return "multi-range answered other parts"
        return None

    def if_range(self):
        first, last = self.span()
        matching = self.rng.random() < 0.5
        tag = self.expected.big_etag if matching else '"0000"'
        answer = exchange(self.port(), request("GET", f"/releases/{NEWEST}/{BIG}",
                                               [f"Range: bytes={first}-{last}", f"If-Range: {tag}"]))
        if matching:
            return self.check(answer, 206, self.expected.big[first:last + 1], "If-Range matching")
        return self.check(answer, 200, self.expected.big, "If-Range of another version")

    def head_file(self):
        answer = exchange(self.port(), request("HEAD", f"/releases/{NEWEST}/{BIG}"), head_only=True)
        if answer.headers.get("content-length") != str(len(self.expected.big)):
            return "HEAD gave another length"
        return self.check(answer, 200, None, "HEAD")

    def dashboard(self):
        path = self.rng.choice(["/dashboard", "/dashboard.json"])
        answer = exchange(self.port(), request("GET", path, [f"Authorization: Bearer {self.expected.token}"]))
        if answer.status == 200 and path.endswith(".json"):
            json.loads(answer.body)
        return self.check(answer, 200, None, path)

    def chunked_form(self):
        body = form([("version", OLD)])
        cut = self.rng.randrange(1, len(body))
        chunks = b"%x\r\n%s\r\n%x\r\n%s\r\n0\r\n\r\n" % (cut, body[:cut], len(body) - cut, body[cut:])
        answer = exchange(self.port(), request("POST", f"{PRODUCT}getProductInfo?",
                                               ["Content-Type: application/x-www-form-urlencoded",
                                                "Transfer-Encoding: chunked"], chunks))
        return self.check(answer, 200, None, "chunked getProductInfo")

    def expect_continue(self):
        body = self.report_form()
        with socket.create_connection(("127.0.0.1", self.port()), timeout=10) as sock:
            head = request("POST", f"{PRODUCT}useReport?", ["Content-Type: application/x-www-form-urlencoded",
                                                             "Expect: 100-continue", f"Content-Length: {len(body)}"])
            sock.sendall(head)
            reader = Reader(sock)
            sock.settimeout(1.0)
            try:
                reader.fill()  # 100 Continue, or nothing: a client then sends the body anyway
            except socket.timeout:
                pass
            sock.settimeout(10)
            sock.sendall(body)
            answer = reader.answer()
        return self.check(answer, 200, b'{"ok":true}', "useReport with Expect")

    def keep_alive(self):
        count = self.rng.randrange(2, 6)
        body, _ = self.expected.answers[OLD]
        with socket.create_connection(("127.0.0.1", self.port()), timeout=10) as sock:
            reader = Reader(sock)
            pipelined = self.rng.random() < 0.5
            one = request("GET", f"{PRODUCT}getVersionDiff?version={OLD}")
            if pipelined:
                sock.sendall(one * count)
            for _ in range(count):
                if not pipelined:
                    sock.sendall(one)
                problem = self.check(reader.answer(), 200, body, "keep-alive getVersionDiff")
                if problem:
                    return problem
        return None

    def multipart_refused(self):
        # A report as multipart is refused before its body is parsed: forms come url-encoded.
        boundary = "soak%08x" % self.rng.getrandbits(32)
        parts = "".join(f"--{boundary}\r\nContent-Disposition: form-data; name=\"{k}\"\r\n\r\n{v}\r\n"
                        for k, v in [("mac", "m"), ("version", OLD), ("computerName", "c"), ("userName", "u"),
                                     ("useState", "1")])
        body = (parts + f"--{boundary}--\r\n").encode()
        answer = exchange(self.port(), request("POST", f"{PRODUCT}useReport?",
                                               [f"Content-Type: multipart/form-data; boundary={boundary}"], body))
        return self.check(answer, 415, None, "multipart useReport")

    # Hostile requests: sent, their answer read for a moment, the connection then closed.

    def noise(self, size, alphabet=None):
        if alphabet is None:
            return self.rng.randbytes(size)
        return "".join(self.rng.choices(alphabet, k=size)).encode("latin-1")

    def target(self):
        return self.rng.choice([
            f"{PRODUCT}getVersionDiff", f"{PRODUCT}getProductInfo", f"{PRODUCT}useReport",
            f"{PRODUCT}getProductAd", "/dashboard", "/dashboard.json", f"/releases/{NEWEST}/{BIG}",
            f"/releases/{OLD}/bin/f01.dll", "/releases/objects/" + "0" * 64, "/", "/releases/", "/nothing",
        ])

    def send_hostile(self, data, wait=0.3, half_close=False):
        with socket.create_connection(("127.0.0.1", self.port()), timeout=5) as sock:
            try:
                sock.sendall(data)
                if half_close:
                    sock.shutdown(socket.SHUT_WR)
                sock.settimeout(wait)
                while sock.recv(65536):
                    pass
            except OSError:
                pass

    def random_method(self):
        method = self.rng.choice([self.noise(self.rng.randrange(1, 20), "ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                                  self.noise(self.rng.randrange(1, 40)), b"GET", b"POST", b"PUT", b"DELETE",
                                  b"OPTIONS", b"TRACE", b"CONNECT", b"PATCH"])
        version = self.rng.choice([b"HTTP/1.1", b"HTTP/1.0", b"HTTP/2.0", b"HTTP/1.1\x00", self.noise(8)])
        self.send_hostile(method + b" " + self.target().encode() + b" " + version + b"\r\nHost: x\r\n\r\n",
                          half_close=True)

    def bad_path(self):
        pieces = ["%", "%z", "%zz", "%0", "%00", "\x00", "..", "%2e%2e", "\\", "%5c", "//", "?", "#", "%ff",
                  "\xff", " ", "%25", "version=", "&", "=", "+"]
        path = self.target() + "".join(self.rng.choice(pieces) for _ in range(self.rng.randrange(1, 30)))
        self.send_hostile(b"GET " + path.encode("latin-1") + b" HTTP/1.1\r\nHost: x\r\n\r\n", half_close=True)

    def huge_query(self):
        size = self.rng.choice([1000, 4000, 8000, 8200, 20000])
        query = "version=" + self.noise(size, "0123456789.%&=abc").decode() + "&channel=" + "s" * 100
        self.send_hostile(f"GET {PRODUCT}getVersionDiff?{query} HTTP/1.1\r\nHost: x\r\n\r\n".encode(),
                          half_close=True)

    def huge_headers(self):
        headers = []
        for _ in range(self.rng.randrange(1, 200)):
            name = self.noise(self.rng.randrange(1, 40), "abcdefghijklmnopqrstuvwxyz-")
            value = self.noise(self.rng.choice([10, 100, 1000, 8000, 9000]), "abcdefgh ,;=\"\t")
            headers.append(name + b": " + value)
        self.send_hostile(request("GET", self.target(), headers), half_close=True)

    def huge_form(self):
        size = self.rng.choice([60000, 65536, 70000, 200000, 1000000])
        body = form([("version", OLD), ("pad", "x" * size)])
        self.send_hostile(request("POST", f"{PRODUCT}" + self.rng.choice(["getProductInfo?", "useReport?"]),
                                  ["Content-Type: application/x-www-form-urlencoded"], body), half_close=True)

    def bad_form(self):
        fields = [(self.rng.choice(["version", "mac", "useState", "computerName", "userName", "v%", "%zz", ""]),
                   self.rng.choice([OLD, "%", "%g0", "\x00", "9" * 300, "x" * self.rng.randrange(2000), "%e9"]))
                  for _ in range(self.rng.randrange(1, 3000))]
        body = form(fields)[:65000]
        self.send_hostile(request("POST", f"{PRODUCT}" + self.rng.choice(["getProductInfo?", "useReport?"]),
                                  ["Content-Type: application/x-www-form-urlencoded"], body), half_close=True)

    def bad_multipart(self):
        boundary = self.rng.choice(["b", "x" * 70, "x" * 300, "soak%d" % self.rng.randrange(1000), ""])
        parts = []
        for _ in range(self.rng.randrange(1, 1500)):
            name = self.rng.choice(["version", "mac", "f", "x" * self.rng.randrange(200), ""])
            disposition = self.rng.choice([
                f'Content-Disposition: form-data; name="{name}"',
                f'Content-Disposition: form-data; name="{name}"; filename="{name}.bin"',
                "Content-Disposition: " + "a" * self.rng.randrange(3000),
                "Content-Type: text/plain"])
            value = self.noise(self.rng.choice([0, 5, 100, 2000]), "abc\r\n-")
            parts.append(f"--{boundary}\r\n{disposition}\r\n\r\n".encode() + value + b"\r\n")
        body = b"".join(parts)[:self.rng.choice([1000, 30000, 65000, 70000])]
        if self.rng.random() < 0.5:
            body += f"--{boundary}--\r\n".encode()
        self.send_hostile(request("POST", f"{PRODUCT}" + self.rng.choice(["useReport?", "getProductInfo?",
                                                                         "getProductAd"]),
                                  [f"Content-Type: multipart/form-data; boundary={boundary}"], body), half_close=True)

    def bad_chunked(self):
        pieces = []
        for _ in range(self.rng.randrange(1, 400)):
            kind = self.rng.randrange(6)
            data = self.noise(self.rng.randrange(1, 300), "abc=&%")
            if kind == 0:
                pieces.append(b"%x\r\n%s\r\n" % (len(data), data))
            elif kind == 1:
                pieces.append(b"%x;ext=%s\r\n%s\r\n" % (len(data), b"e" * 100, data))
            elif kind == 2:
                pieces.append(b"zz\r\n" + data + b"\r\n")
            elif kind == 3:
                pieces.append(b"ffffffffffffffff\r\n" + data)
            elif kind == 4:
                pieces.append(b"%x\r\n%s" % (len(data) + 10, data))
            else:
                pieces.append(b"%x\r\n%s\r\n" % (len(data), data))
        body = b"".join(pieces)
        if self.rng.random() < 0.5:
            body += b"0\r\n" + b"Trailer: x\r\n" * self.rng.randrange(3) + b"\r\n"
        self.send_hostile(request("POST", f"{PRODUCT}" + self.rng.choice(["useReport?", "getProductInfo?"]),
                                  ["Transfer-Encoding: chunked",
                                   "Content-Type: application/x-www-form-urlencoded"], body), half_close=True)

    def hostile_expect(self):
        length = self.rng.choice([10, 60000, 70000, 10 ** 12, -1])
        head = request("POST", f"{PRODUCT}useReport?", [
            "Content-Type: " + self.rng.choice(["application/x-www-form-urlencoded", "multipart/form-data; boundary=b"]),
            "Expect: " + self.rng.choice(["100-continue", "100-continue, 100-continue", "200-ok", "x" * 3000]),
            f"Content-Length: {length}"])
        body = self.noise(self.rng.randrange(0, 2000), "abc=&") if self.rng.random() < 0.5 else b""
        self.send_hostile(head + body, half_close=True)

    def hostile_ranges(self):
        size = len(self.expected.big)
        kind = self.rng.randrange(6)
        if kind == 0:
            ranges = ",".join(f"{self.rng.randrange(size)}-{self.rng.randrange(size)}"
                            for _ in range(self.rng.randrange(50, 1000)))
        elif kind == 1:
            ranges = ",".join("0-" for _ in range(self.rng.randrange(100, 1500)))
        elif kind == 2:
            ranges = ",".join(f"-{self.rng.randrange(1, size)}" for _ in range(self.rng.randrange(10, 500)))
        elif kind == 3:
            ranges = f"{10 ** 30}-{10 ** 31}"
        elif kind == 4:
            ranges = self.noise(self.rng.randrange(1, 8000), "0123456789-, ").decode()
        else:
            ranges = ",".join(f"{i}-{i}" for i in range(0, self.rng.randrange(100, 1500) * 3, 3))
        unit = self.rng.choice(["bytes=", "bytes =", "items=", ""])
        headers = [("Range: " + unit + ranges)[:8100]]
        if self.rng.random() < 0.3:
            headers.append("If-Range: " + self.rng.choice([self.expected.big_etag, '"x"', "Wed, 21 Oct 2015 07:28:00 GMT"]))
        self.send_hostile(request(self.rng.choice(["GET", "HEAD"]), self.rng.choice(
            [f"/releases/{NEWEST}/{BIG}", f"/releases/{OLD}/bin/f01.dll", f"{PRODUCT}getVersionDiff?version={OLD}"]),
            headers), wait=0.2, half_close=True)

    def hostile_conditions(self):
        tags = ", ".join(self.rng.choice(['"x"', "W/\"y\"", "*", self.expected.big_etag, "", '"' + "a" * 200 + '"'])
                         for _ in range(self.rng.randrange(1, 300)))
        headers = [("If-None-Match: " + tags)[:8100]]
        if self.rng.random() < 0.5:
            headers.append("If-Range: " + tags[:8000])
            headers.append("Range: bytes=0-10")
        self.send_hostile(request("GET", self.rng.choice([f"/releases/{NEWEST}/{BIG}",
                                                         f"{PRODUCT}getVersionDiff?version={OLD}"]), headers),
                          wait=0.2, half_close=True)

    def truncated(self):
        whole = request("POST", f"{PRODUCT}useReport?", ["Content-Type: application/x-www-form-urlencoded"],
                        self.report_form())
        with socket.create_connection(("127.0.0.1", self.port()), timeout=5) as sock:
            sock.sendall(whole[:self.rng.randrange(1, len(whole))])

    def pipelined_garbage(self):
        good = request("GET", f"{PRODUCT}getVersionDiff?version={OLD}")
        self.send_hostile(good + self.noise(self.rng.randrange(1, 5000)) + good, half_close=True)


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.sent = 0
        self.valid = 0
        self.failures = []

    def record(self, name, problem):
        with self.lock:
            self.sent += 1
            self.counts[name] = self.counts.get(name, 0) + 1
            if problem is not None:
                self.failures.append((time.monotonic(), name, problem))
            if name in VALID_NAMES:
                self.valid += 1


VALID_NAMES = {"version_answer", "version_not_modified", "product_info", "use_report", "product_ad", "whole_file",
               "one_range", "several_ranges", "if_range", "head_file", "dashboard", "chunked_form",
               "expect_continue", "keep_alive", "multipart_refused"}


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise OSError("no VmRSS")


def memory_by_kind(pid):
    """Resident KiB by kind of mapping: thread stacks (the 8 MiB anonymous mappings threads get),
    the malloc heap and arenas (other anonymous memory), and mapped files."""
    kinds = {"thread stacks": 0, "heap and arenas": 0, "files and other": 0}
    kind = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:
                start, end = (int(x, 16) for x in fields[0].split("-"))
                name = fields[5] if len(fields) > 5 else ""
                if name == "" and end - start == 8 * 1024 * 1024:
                    kind = "thread stacks"
                elif name in ("", "[heap]"):
                    kind = "heap and arenas"
                else:
                    kind = "files and other"
            elif fields[0] == "Rss:":
                kinds[kind] += int(fields[1])
    return ", ".join(f"{name} {kib / 1024:.1f} MiB" for name, kib in kinds.items())


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--work", required=True, help="folder holding releases/ and token (made by run.sh)")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=2, help="minutes before the memory bound applies")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--max-requests", type=int, default=2_000_000)
    parser.add_argument("--bound-mib", type=float, default=8)
    parser.add_argument("--sample-seconds", type=float, default=10)
    options = parser.parse_args()

    releases = os.path.join(options.work, "releases")
    with open(os.path.join(options.work, "token")) as f:
        token = f.read().strip()
    log = open(os.path.join(options.work, "server.err"), "wb")
    server = subprocess.Popen([options.server, "--releases", releases, "--reports",
                               os.path.join(options.work, "reports.sqlite"), "--host", "127.0.0.1",
                               "--port", str(options.port), "--dashboard-token", os.path.join(options.work, "token")],
                              stdout=subprocess.DEVNULL, stderr=log)
    try:
        return soak(options, server, token, releases)
    finally:
        if server.poll() is None:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def soak(options, server, token, releases):
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", options.port), timeout=1).close()
            break
        except OSError:
            if server.poll() is not None:
                print(f"soak: vendor-server exited with {server.returncode} at start", file=sys.stderr)
                return 1
            time.sleep(0.1)
    expected = Expected(releases, options.port, token)
    stats = Stats()
    start = time.monotonic()
    deadline = start + options.minutes * 60
    stop = threading.Event()

    def client(number):
        worker = Client(number, options.seed, expected, stats)
        try:
            while not stop.is_set() and time.monotonic() < deadline and stats.sent < options.max_requests:
                worker.step()
        except Exception as error:  # a fault of the driver itself must fail the run, not thin it out
            stats.record("driver", f"client {number} stopped: {type(error).__name__}: {error}")
            raise

    print(f"soak: seed {options.seed}, {options.clients} clients, {options.minutes:g} min "
          f"(bound {options.bound_mib:g} MiB after {options.warmup:g} min), load {load_average()}", flush=True)
    threads = [threading.Thread(target=client, args=(n,), daemon=True) for n in range(options.clients)]
    for thread in threads:
        thread.start()
    samples = []
    warm = None
    print("soak:   time   requests   valid  failed   VmRSS MiB   load", flush=True)
    while any(thread.is_alive() for thread in threads):
        now = time.monotonic()
        if server.poll() is not None:
            print(f"soak: vendor-server exited with {server.returncode} while driven", file=sys.stderr)
            stop.set()
            return 1
        rss = rss_kib(server.pid)
        samples.append((now - start, rss))
        if warm is None and now - start >= options.warmup * 60:
            warm = rss
            print(f"soak: after the warm-up: {memory_by_kind(server.pid)}", flush=True)
        print(f"soak: {now - start:6.0f}s {stats.sent:10d} {stats.valid:7d} {len(stats.failures):7d} "
              f"{rss / 1024:10.1f}   {load_average()}", flush=True)
        stop.wait(options.sample_seconds)
    for thread in threads:
        thread.join()
    if server.poll() is not None:
        print(f"soak: FAILED: vendor-server exited with {server.returncode} at the end of the run")
        return 1
    end_rss = rss_kib(server.pid)
    print(f"soak: at the end: {memory_by_kind(server.pid)}", flush=True)
    samples.append((time.monotonic() - start, end_rss))
    cpu = cpu_seconds(server.pid)
    alive = server.poll() is None

    print(f"soak: {stats.sent} requests ({stats.valid} valid) in {samples[-1][0]:.0f} s; server CPU {cpu:.1f} s; "
          f"load {load_average()}")
    print("soak: by kind: " + ", ".join(f"{k} {v}" for k, v in sorted(stats.counts.items())))
    failed = False
    for _, name, problem in stats.failures[:10]:
        print(f"soak: FAILED {name}: {problem}")
    if stats.failures:
        print(f"soak: {len(stats.failures)} valid request(s) answered wrongly")
        failed = True
    if not alive:
        print("soak: FAILED: vendor-server is no longer running")
        failed = True
    if warm is None:
        print("soak: FAILED: the run ended before its warm-up did")
        return 1
    after = [rss for t, rss in samples if t >= options.warmup * 60]
    growth = (max(after) - warm) / 1024
    print(f"soak: VmRSS {samples[0][1] / 1024:.1f} MiB at start, {warm / 1024:.1f} MiB after the warm-up, "
          f"{max(after) / 1024:.1f} MiB at most after it, {end_rss / 1024:.1f} MiB at the end: "
          f"growth {growth:.1f} MiB (bound {options.bound_mib:g})")
    if growth > options.bound_mib:
        print("soak: FAILED: memory still grows after the warm-up")
        failed = True
    print("soak: " + ("FAILED" if failed else "passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

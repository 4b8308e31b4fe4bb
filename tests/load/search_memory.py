#!/usr/bin/env python3
"""Search memory: what guests can make the server hold with searches they never close.

Starts tbsmb1s-serve on loopback over a temporary folder of N files, opens C
guest connections (each from its own loopback address, 127.0.0.10 and up) and
has each run up to 256 FIND_FIRST2 of '\\*' without closing any. It prints the
server's resident memory before, after and at its peak, and what each
connection pinned, then checks:

- every search either succeeds or is refused with INSUFFICIENT_RESOURCES;
- once a search has been refused, an earlier one still answers FIND_NEXT2;
- the peak stays under the bound: the session budget per connection plus the
  server's own start size and some slack (with --large: under 1 GiB).

    tests/load/search_memory.py [--serve BIN] [--entries N] [--conns C] [--searches S]
    tests/load/search_memory.py --large     # 100,000 entries, 16 connections
    tests/load/search_memory.py --measure   # print the figures, check nothing

Loopback only; a deadline bounds the whole run.
"""

import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

STATUS_SUCCESS = 0
STATUS_NO_SUCH_FILE = 0xC000000F
STATUS_INSUFFICIENT_RESOURCES = 0xC000009A
BUDGET = 32 << 20  # bytes of search listings one session may hold
MIB = 1 << 20


class Client:
    """A tiny SMB1 client: negotiate, guest logon, tree connect, searches."""

    def __init__(self, port, source, timeout):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0))
        self.uid = 0
        self.tid = 0
        self.mid = 0

    def close(self):
        self.sock.close()

    def _recv(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("connection closed by the server")
            out += chunk
        return out

    def call(self, cmd, words, data, flags2=0xC001):
        """Sends one SMB1 request; the reply's status, words and bytes."""
        self.mid += 1
        hdr = b"\xffSMB" + struct.pack("<BIBHH8sHHHHH", cmd, 0, 0x18, flags2, 0, b"\0" * 8, 0, self.tid,
                                         0x1234, self.uid, self.mid)
        msg = hdr + bytes([len(words) // 2]) + words + struct.pack("<H", len(data)) + data
        self.sock.sendall(struct.pack(">I", len(msg)) + msg)
        while True:
            nb = self._recv(4)
            n = struct.unpack(">I", nb)[0] & 0x1FFFF
            body = self._recv(n)
            if nb[0] == 0 and len(body) >= 33:
                break
        status = struct.unpack_from("<I", body, 5)[0]
        self.uid = struct.unpack_from("<H", body, 28)[0] or self.uid
        wc = body[32]
        words = body[33:33 + 2 * wc]
        rest = body[33 + 2 * wc:]
        bcc = struct.unpack_from("<H", rest, 0)[0] if len(rest) >= 2 else 0
        return status, body, words, rest[2:2 + bcc]

    def logon(self, share):
        st, _, _, _ = self.call(0x72, b"", b"\x02NT LM 0.12\x00", flags2=0xC001)
        if st:
            raise RuntimeError("negotiate: status %08x" % st)
        # 13-word logon with empty responses and no account: a guest.
        words = struct.pack("<BBHHHHIHHII", 0xFF, 0, 0, 16644, 2, 1, 0, 0, 0, 0, 0x0000D054)
        data = b"\x00" + "".join(s + "\0" for s in ("", "", "Unix", "load")).encode("utf-16-le")
        st, _, _, _ = self.call(0x73, words, data)
        if st:
            raise RuntimeError("guest logon: status %08x" % st)
        words = struct.pack("<BBHHH", 0xFF, 0, 0, 0x0008, 1)
        data = b"\x00" + ("\\\\127.0.0.1\\" + share + "\0").encode("utf-16-le") + b"?????\x00"
        st, body, _, _ = self.call(0x75, words, data)
        if st:
            raise RuntimeError("tree connect: status %08x" % st)
        self.tid = struct.unpack_from("<H", body, 24)[0]

    def trans2(self, sub, params):
        poff = 32 + 1 + 30 + 2 + 3
        words = struct.pack("<HHHHBBHIHHHHHBBH", len(params), 0, 10, 0xFFFF, 0, 0, 0, 0, 0, len(params), poff, 0,
                            poff + len(params), 1, 0, sub)
        st, body, w, _ = self.call(0x32, words, b"\0\0\0" + params)
        out = b""
        if len(w) >= 20:
            pcount, poffset = struct.unpack_from("<HH", w, 6)
            out = body[poffset:poffset + pcount]
        return st, out

    def find_first(self):
        """FIND_FIRST2 of '\\*' that asks for nothing to be closed: (status, SID)."""
        params = struct.pack("<HHHHI", 0x16, 10, 0, 0x0104, 0) + "\\*\0".encode("utf-16-le")
        st, p = self.trans2(1, params)
        sid = struct.unpack_from("<H", p, 0)[0] if len(p) >= 2 else 0
        return st, sid

    def find_next(self, sid):
        params = struct.pack("<HHHIH", sid, 10, 0x0104, 0, 0) + "\0".encode("utf-16-le")
        return self.trans2(2, params)[0]


def mem_of(pid):
    """The server's resident and peak resident memory, in bytes."""
    with open("/proc/%d/status" % pid) as f:
        text = f.read()
    rss = int(re.search(r"VmRSS:\s+(\d+) kB", text).group(1)) * 1024
    hwm = int(re.search(r"VmHWM:\s+(\d+) kB", text).group(1)) * 1024
    return rss, hwm


def fill(folder, n):
    os.makedirs(folder)
    for i in range(n):
        with open(os.path.join(folder, "file-%06d.dat" % i), "wb"):
            pass


def start_server(serve, folder, conns):
    proc = subprocess.Popen([serve, "--listen", "127.0.0.1:0", "--share", "big=" + folder, "--option",
                             "max_clients=%d" % max(16, conns + 4)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    m = re.search(r" port (\d+)", line)
    if not m:
        proc.kill()
        raise RuntimeError("tbsmb1s-serve did not start: " + line + proc.stdout.read())
    threading.Thread(target=proc.stdout.read, daemon=True).start()  # drain what it prints
    return proc, int(m.group(1))


def run(args):
    work = tempfile.mkdtemp(prefix="tbsmb1s-search-")
    proc = None
    try:
        folder = os.path.join(work, "big")
        t0 = time.monotonic()
        fill(folder, args.entries)
        proc, port = start_server(args.serve, folder, args.conns)
        clients = []
        for i in range(args.conns):
            c = Client(port, "127.0.0.%d" % (10 + i), args.timeout)
            c.logon("big")
            clients.append(c)
        rss0, _ = mem_of(proc.pid)

        results = [None] * args.conns
        deadline = time.monotonic() + args.timeout

        def searches(i):
            c = clients[i]
            ok, refused, other, sids = 0, 0, [], []
            for _ in range(args.searches):
                if time.monotonic() > deadline:
                    other.append("deadline")
                    break
                st, sid = c.find_first()
                if st == STATUS_SUCCESS:
                    ok += 1
                    sids.append(sid)
                elif st == STATUS_INSUFFICIENT_RESOURCES:
                    refused += 1
                else:
                    other.append("%08x" % st)
            # An earlier search goes on answering after refusals.
            later = c.find_next(sids[0]) if sids else None
            results[i] = (ok, refused, other, later)

        threads = [threading.Thread(target=searches, args=(i,)) for i in range(args.conns)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        rss1, hwm = mem_of(proc.pid)
        for c in clients:
            c.close()

        ok = sum(r[0] for r in results)
        refused = sum(r[1] for r in results)
        print("search_memory: %d entries, %d connections x %d searches: %d answered, %d refused "
              "(INSUFFICIENT_RESOURCES), %.1f s" % (args.entries, args.conns, args.searches, ok, refused,
                                                    time.monotonic() - t0))
        print("search_memory: server RSS %.1f MiB before the searches, %.1f MiB after, peak %.1f MiB; "
              "pinned per connection %.1f MiB" % (rss0 / MIB, rss1 / MIB, hwm / MIB,
                                                  (rss1 - rss0) / MIB / args.conns))
        if args.measure:
            return 0
        failures = []
        for i, (c_ok, c_refused, other, later) in enumerate(results):
            if other:
                failures.append("connection %d: unexpected answers %s" % (i, other[:5]))
            if c_ok == 0:
                failures.append("connection %d: no search answered" % i)
            if c_refused and later not in (STATUS_SUCCESS, STATUS_NO_SUCH_FILE):
                failures.append("connection %d: an earlier search failed after a refusal: %s" % (i, later))
        bound = args.bound * MIB if args.bound else rss0 + args.conns * (BUDGET + BUDGET // 2) + 64 * MIB
        if hwm > bound:
            failures.append("peak %.1f MiB over the bound %.1f MiB" % (hwm / MIB, bound / MIB))
        for f in failures:
            print("search_memory: FAIL: " + f)
        return 1 if failures else 0
    finally:
        if proc:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
        shutil.rmtree(work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--serve", default=os.path.join(ROOT, "build", "tbsmb1s-serve"))
    ap.add_argument("--entries", type=int, default=3000)
    ap.add_argument("--conns", type=int, default=2)
    ap.add_argument("--searches", type=int, default=256)
    ap.add_argument("--bound", type=float, default=0, help="peak bound in MiB (default: from the budget)")
    ap.add_argument("--timeout", type=float, default=120, help="seconds the searches may take")
    ap.add_argument("--large", action="store_true", help="100,000 entries, 16 connections, peak under 1 GiB")
    ap.add_argument("--measure", action="store_true", help="print the figures only")
    args = ap.parse_args()
    if args.large:
        args.entries, args.conns, args.bound, args.timeout = 100000, 16, 1024, 1200
    if not os.access(args.serve, os.X_OK):
        sys.exit("search_memory: no server program at %s (build first)" % args.serve)
    sys.exit(run(args))


if __name__ == "__main__":
    main()

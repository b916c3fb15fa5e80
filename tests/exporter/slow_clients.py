#!/usr/bin/python3
"""Slow HTTP clients: opens N connections to HOST:PORT that send a request's head one line every
INTERVAL seconds (none with INTERVAL 0), prints "open N" once all are open, then counts the
connections the server closes until UNTIL are closed or LIMIT seconds have passed, prints
"closed K", and holds the rest open until LIMIT. Every connection ends with the process.
    slow_clients.py HOST:PORT N INTERVAL UNTIL LIMIT"""
import selectors
import socket
import sys
import time

host, port = sys.argv[1].rsplit(":", 1)
n, interval, until, limit = int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
start = time.monotonic()
sel = selectors.DefaultSelector()
for _ in range(n):
    s = socket.create_connection((host, int(port)), timeout=limit)
    s.setblocking(False)
    if interval > 0:
        s.send(b"GET /metrics HTTP/1.1\r\n")
    sel.register(s, selectors.EVENT_READ)
print(f"open {n}", flush=True)
closed = 0
next_line = start + interval
while closed < until and time.monotonic() < start + limit:
    wake = start + limit if interval == 0 else min(next_line, start + limit)
    for key, _ in sel.select(max(0.0, wake - time.monotonic())):
        try:
            data = key.fileobj.recv(4096)
        except BlockingIOError:
            continue
        except OSError:
            data = b""
        if not data:
            sel.unregister(key.fileobj)
            key.fileobj.close()
            closed += 1
    if interval > 0 and time.monotonic() >= next_line:
        for key in list(sel.get_map().values()):
            try:
                key.fileobj.send(b"X-Slow: 1\r\n")
            except OSError:
                pass
        next_line += interval
print(f"closed {closed}", flush=True)
if sel.get_map():
    time.sleep(max(0.0, start + limit - time.monotonic()))

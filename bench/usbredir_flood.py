#!/usr/bin/env python3
"""A request flood against `vboard serve --usbredir`, on 127.0.0.1 only.

Starts the server, connects one peer that sends a hello and then N
GET_DESCRIPTOR control packets without reading a reply, closes it, and
measures how long until (a) a second peer gets the server's hello and
(b) the server, sent SIGTERM while the flood is being taken in, has ended.

    bench/usbredir_flood.py build/bin/vboard 50000 100000 200000
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

PORT = 47811


def hello():
    version = b"flood".ljust(64, b"\0")
    return struct.pack("<III", 0, 64 + 4, 0) + version + struct.pack("<I", 0)


def requests(n):
    # usb-redir header (type 100: control packet, length, 32-bit id), then
    # endpoint, request, request type, status, value, index, length.
    one = [struct.pack("<III", 100, 10, i) + struct.pack("<BBBBHHH", 0x80, 6, 0x80, 0, 0x0100, 0, 18) for i in range(n)]
    return b"".join(one)


def connect():
    deadline = time.monotonic() + 30
    while True:
        try:
            return socket.create_connection(("127.0.0.1", PORT), timeout=120)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def send_quietly(s, data):
    try:
        s.sendall(data)
    except OSError:
        pass  # the server has gone


def greeted():
    """A peer once the server has said hello and announced the board."""
    while True:
        s = connect()
        try:
            s.sendall(hello())
            if s.recv(1):
                time.sleep(0.3)  # the device connect follows
                return s
        except OSError:
            pass
        s.close()  # refused while the previous peer is still held
        time.sleep(0.01)


def flood(n):
    s = greeted()
    s.sendall(requests(n))  # the server takes it in as it reads
    s.close()
    return time.monotonic()


def run(vboard, n):
    server = subprocess.Popen([vboard, "serve", "--usbredir", str(PORT), "--firmware-loaded"],
                              stderr=None if os.environ.get("FLOOD_LOG") else subprocess.DEVNULL)
    try:
        sent = flood(n)
        peer = greeted()
        served = time.monotonic() - sent - 0.3
        peer.close()
        # Again, with SIGTERM half a second into the flood.
        flooder = greeted()
        data = requests(n)
        sender = threading.Thread(target=lambda: send_quietly(flooder, data))
        sender.start()
        time.sleep(0.5)
        t0 = time.monotonic()
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=300)
        ended = time.monotonic() - t0
        sender.join()
        flooder.close()
        return served, ended
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()


def main():
    vboard = sys.argv[1]
    for n in [int(a) for a in sys.argv[2:]] or [50000, 100000, 200000]:
        served, ended = run(vboard, n)
        print(f"{n} requests: next peer served {served:.2f} s after the flooder closed; "
              f"SIGTERM to exit {ended:.2f} s", flush=True)


if __name__ == "__main__":
    main()

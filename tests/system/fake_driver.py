#!/usr/bin/env python3
"""A minimal user-space driver for system tests of the socket transport (docs/driver-protocol.md).

Usage: fake_driver.py FOLDER. Commands on standard input, one a line:
  publish NAME | unpublish NAME | clutch NAME ENGAGED TYPE | stall NAME | sync NAME | quit
(stall: from then on NAME answers no request and no cancel, as a hung driver would; sync: the
driver opens NAME itself, so that every open made before has been printed when "synced NAME" is)
Every event is printed on standard output, one line each, flushed:
  published NAME | open NAME PID | close NAME | request NAME CODE | clutched NAME |
  unpublished NAME | synced NAME
(PID: the process that opened; an open is printed before it is answered, in the order of opening)
"""
import os
import socket
import struct
import sys
import threading

CLASS = "#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}"
WAITS = {0x222824, 0x22283C, 0x222840, 0x223058, 0x223080, 0x223634, 0xFFFFFFFF}
WAIT_CLUTCH_EVENT = 0x223634
DEVICE_TYPE = bytes.fromhex("1a5b0c8e3d6f2b4c9a7e1d2f3a4b5c6d")
ANSWERS = {
    0x223000: (0, DEVICE_TYPE),        # device type
    0x222818: (0, bytes(16)),          # member GUID
    0x22281C: (0, bytes(16)),          # controller GUID
    0x222828: (0, bytes(4)),           # active profile id: none
    0x222804: (31, b""),               # profile path: no profile
    0x222848: (0, bytes(16)),          # shift state
    0xFFFFFFFE: (50, b""),             # no HID input
}

lock = threading.Lock()
devices = {}  # name -> {"listener": socket, "connections": [...], "clutch": [(conn, id)]}


def say(line):
    with lock:
        print(line, flush=True)


def read_exactly(conn, size):
    data = b""
    while len(data) < size:
        chunk = conn.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def answer(conn, request_id, status, output):
    try:
        conn.sendall(struct.pack("<IQII", 20 + len(output), request_id, status, len(output)) + output)
    except OSError:
        pass


def serve(name, conn):
    pending = {}
    while True:
        header = read_exactly(conn, 24)
        if header is None:
            break
        length, request_id, code, in_len, out_len = struct.unpack("<IQIII", header)
        if length > 24 and read_exactly(conn, length - 24) is None:
            break
        with lock:
            stalled = devices.get(name, {}).get("stalled", False)
        if stalled:
            say("request %s 0x%X unanswered" % (name, code))
            continue
        if code == 0:
            with lock:
                device = devices.get(name)
                if device:
                    device["clutch"] = [w for w in device["clutch"] if w != (conn, request_id)]
            answer(conn, request_id, 995, b"")
            continue
        say("request %s 0x%X" % (name, code))
        if code in WAITS:
            if code == WAIT_CLUTCH_EVENT:
                with lock:
                    devices[name]["clutch"].append((conn, request_id))
            continue
        status, output = ANSWERS.get(code, (0, b""))
        answer(conn, request_id, status, output[:out_len])
    say("close " + name)


def accept_loop(name, listener):
    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            return
        pid = struct.unpack("3i", conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]
        say("open %s %d" % (name, pid))
        conn.sendall(struct.pack("<II", 8, 0))
        with lock:
            devices[name]["connections"].append(conn)
        threading.Thread(target=serve, args=(name, conn), daemon=True).start()


def publish(folder, name):
    path = os.path.join(folder, name + CLASS)
    hidden = os.path.join(folder, "." + name + CLASS)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if os.path.exists(hidden):
        os.unlink(hidden)
    listener.bind(hidden)
    listener.listen(16)
    os.rename(hidden, path)
    with lock:
        devices[name] = {"listener": listener, "connections": [], "clutch": [], "path": path}
    threading.Thread(target=accept_loop, args=(name, listener), daemon=True).start()
    say("published " + name)


def unpublish(name):
    with lock:
        device = devices.pop(name, None)
    if device is None:
        return
    os.unlink(device["path"])
    device["listener"].shutdown(socket.SHUT_RDWR)
    device["listener"].close()
    for conn in device["connections"]:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    say("unpublished " + name)


def sync(name):
    with lock:
        device = devices.get(name)
    if device is not None:
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        probe.connect(device["path"])
        read_exactly(probe, 8)  # the open answer: every earlier open has been printed
        probe.close()
    say("synced " + name)


def clutch(name, engaged, event_type):
    with lock:
        device = devices.get(name)
        waits = device["clutch"] if device else []
        if not waits:
            say("no-wait " + name)
            return
        conn, request_id = waits.pop(0)
    answer(conn, request_id, 0, struct.pack("<HH", engaged, event_type))
    say("clutched " + name)


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "publish":
            publish(folder, words[1])
        elif words[0] == "unpublish":
            unpublish(words[1])
        elif words[0] == "clutch":
            clutch(words[1], int(words[2]), int(words[3]))
        elif words[0] == "sync":
            sync(words[1])
        elif words[0] == "stall":
            with lock:
                if words[1] in devices:
                    devices[words[1]]["stalled"] = True
            say("stalled " + words[1])
        elif words[0] == "quit":
            break
    for name in list(devices):
        unpublish(name)


if __name__ == "__main__":
    main()

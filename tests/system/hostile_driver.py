#!/usr/bin/env python3
"""A hostile user-space driver on the socket transport (docs/driver-protocol.md).

It publishes controllers and answers every request at random: success with random bytes and
lengths, every error status, a bytes-returned field larger than the bytes carried, answers to
unknown request ids, malformed and oversized frames, connections closed mid-request, refused
opens, requests never answered, clutch and other wait events with random contents, and
controllers vanishing and returning. A service must survive all of it.

Every choice comes from one random generator seeded by --seed, and the driver runs on one thread,
so a run can be replayed with the same seed (up to the service's own timing).

Usage: hostile_driver.py FOLDER --seed N [--controllers K] [--duration S]
With --duration the driver is hostile for S seconds and ends; without it, it reads commands on
standard input, one a line:
  chaos      answer at random, controllers vanish and return
  calm       answer every request as a well-behaved driver would; every controller arrives anew
  remove     unpublish every controller and close every connection (then stays calm)
  stats      print the counters as one JSON line
  quit       end (after printing the counters)
Each command is acknowledged on standard output with "ok COMMAND". The counters say how often
each kind of fault was served.
"""
import argparse
import json
import os
import random
import selectors
import socket
import struct
import sys
import time

CLASS = "#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}"
MAX_FRAME = 1 << 24
WAIT_CLUTCH_EVENT = 0x223634
WAIT_CODES = {0x222824, 0x22283C, 0x222840, 0x223058, 0x223080, WAIT_CLUTCH_EVENT, 0xFFFFFFFF}
ERRORS = [1, 2, 5, 6, 21, 31, 87, 122, 234, 995, 1167, 0xFFFFFFFF, 0x80000005]


def guid_bytes(text):
    parts = text.split("-")
    return (struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16))
            + bytes.fromhex(parts[3] + parts[4]))


# Device types with a shipped output configuration, so that sessions get as far as they can.
DEVICE_TYPES = [guid_bytes("8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D"),
                guid_bytes("2B6F0C4E-51A3-4D7E-8C19-7A0E3F6B2D84")]
MEMBER = guid_bytes("4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40")
CONTROLLER = guid_bytes("C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C")


class Connection:
    def __init__(self, controller, sock):
        self.controller = controller
        self.sock = sock
        self.inbox = b""
        self.outbox = b""
        self.pending = {}  # request id -> (code, output length) of requests left unanswered
        self.closing = False


class Controller:
    def __init__(self, name):
        self.name = name
        self.listener = None
        self.connections = []
        self.profile_id = 0
        self.loaded = {}  # id -> path bytes


class HostileDriver:
    def __init__(self, folder, seed, controllers):
        self.folder = folder
        self.rng = random.Random(seed)
        self.selector = selectors.DefaultSelector()
        self.controllers = [Controller("H%d" % i) for i in range(controllers)]
        self.hostile = False
        self.counts = {}
        self.timers = []  # (due time, sequence, function)
        self.sequence = 0
        self.next_vanish = 0.0
        self.next_event = 0.0

    # Counters and timers.
    def count(self, what, n=1):
        self.counts[what] = self.counts.get(what, 0) + n

    def later(self, delay, function):
        self.sequence += 1
        self.timers.append((time.monotonic() + delay, self.sequence, function))

    # Publishing.
    def path(self, controller, hidden=False):
        return os.path.join(self.folder, ("." if hidden else "") + controller.name + CLASS)

    def publish(self, controller):
        if controller.listener is not None:
            return
        hidden = self.path(controller, True)
        if os.path.exists(hidden):
            os.unlink(hidden)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(hidden)
        listener.listen(64)
        listener.setblocking(False)
        os.rename(hidden, self.path(controller))
        controller.listener = listener
        self.selector.register(listener, selectors.EVENT_READ, ("listener", controller))
        self.count("published")

    def unpublish(self, controller):
        if controller.listener is None:
            return
        os.unlink(self.path(controller))
        self.selector.unregister(controller.listener)
        controller.listener.close()
        controller.listener = None
        for connection in list(controller.connections):
            self.close(connection)
        controller.profile_id = 0
        self.count("vanished")

    # Connections.
    def accept(self, controller):
        try:
            sock, _ = controller.listener.accept()
        except OSError:
            return
        sock.setblocking(False)
        connection = Connection(controller, sock)
        controller.connections.append(connection)
        self.selector.register(sock, selectors.EVENT_READ, ("connection", connection))
        self.count("opens")
        roll = self.rng.random() if self.hostile else 1.0
        if roll < 0.06:
            self.send(connection, struct.pack("<II", 8, self.rng.choice([2, 5, 31, 1167])))
            self.count("opens refused")
            self.close_after_send(connection)
        elif roll < 0.08:
            self.count("opens closed unanswered")
            self.close(connection)
        elif roll < 0.10:
            self.send(connection, struct.pack("<II", self.rng.choice([0, 4, 12, 1 << 30]), 0))
            self.count("opens malformed")
            self.close_after_send(connection)
        elif roll < 0.102:
            self.count("opens never answered")  # the service gives up after its open limit
        else:
            self.send(connection, struct.pack("<II", 8, 0))

    def close(self, connection):
        if connection.sock is None:
            return
        try:
            self.selector.unregister(connection.sock)
        except (KeyError, ValueError):
            pass
        connection.sock.close()
        connection.sock = None
        if connection in connection.controller.connections:
            connection.controller.connections.remove(connection)

    def close_after_send(self, connection):
        connection.closing = True
        self.flush(connection)

    def send(self, connection, data):
        if connection.sock is None:
            return
        connection.outbox += data
        self.flush(connection)

    def flush(self, connection):
        if connection.sock is None:
            return
        try:
            while connection.outbox:
                sent = connection.sock.send(connection.outbox[:65536])
                connection.outbox = connection.outbox[sent:]
        except BlockingIOError:
            pass
        except OSError:
            self.close(connection)
            return
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if connection.outbox else 0)
        self.selector.modify(connection.sock, events, ("connection", connection))
        if connection.closing and not connection.outbox:
            self.close(connection)

    def readable(self, connection):
        try:
            data = connection.sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.close(connection)
            return
        connection.inbox += data
        while connection.sock is not None and len(connection.inbox) >= 24:
            length, request_id, code, in_len, out_len = struct.unpack_from("<IQIII", connection.inbox)
            if length < 24 or length > MAX_FRAME:
                self.count("bad request frames")
                self.close(connection)
                return
            if len(connection.inbox) < length:
                break
            payload = connection.inbox[24:length]
            connection.inbox = connection.inbox[length:]
            self.request(connection, request_id, code, payload, out_len)

    # Answers.
    def answer(self, connection, request_id, status, output, returned=None):
        connection.pending.pop(request_id, None)
        if returned is None:
            returned = len(output)
        self.send(connection, struct.pack("<IQII", 20 + len(output), request_id, status & 0xFFFFFFFF,
                                          returned & 0xFFFFFFFF) + output)

    def sound_output(self, connection, code, payload, out_len):
        """The answer a well-behaved driver gives: (status, output)."""
        controller = connection.controller
        if code == 0x223000:
            return 0, self.rng.choice(DEVICE_TYPES)
        if code == 0x222818:
            return 0, MEMBER
        if code == 0x22281C:
            return 0, CONTROLLER
        if code == 0x222828:
            return 0, struct.pack("<I", controller.profile_id)
        if code == 0x222800:
            new_id = len(controller.loaded) + 1
            controller.loaded[new_id] = payload[10:]
            return 0, struct.pack("<I", new_id)
        if code == 0x22280C and len(payload) >= 8:
            profile_id = struct.unpack_from("<I", payload, 4)[0]
            if profile_id in controller.loaded:
                controller.profile_id = profile_id
                return 0, bytes(4)
            return 87, b""
        if code == 0x222808:
            controller.profile_id = 0
            return 0, b""
        if code == 0x222804 and len(payload) >= 8:
            profile_id = struct.unpack_from("<I", payload, 4)[0]
            path = controller.loaded.get(profile_id)
            if path is None:
                return 31, b""
            path = path.rstrip(b"\0")
            return 0, struct.pack("<IH", len(path) // 2, 0) + path + b"\0\0"
        if code == 0x222848:
            return 0, bytes(16)
        if code == 0xFFFFFFFE:
            return 0, struct.pack("<H", self.rng.choice([0, 0, 8, 64]))
        if code in (0x222844, 0x223004, 0x223084, 0x22363C):
            return 0, b""
        return 1, b""

    def random_bytes(self, size):
        return bytes(self.rng.getrandbits(8) for _ in range(size))

    def random_length(self, out_len):
        return self.rng.choice([0, 1, 2, 3, max(0, out_len - 1), out_len, out_len + 1,
                                out_len + self.rng.randint(1, 300), self.rng.randint(0, 2048)])

    def request(self, connection, request_id, code, payload, out_len):
        self.count("requests")
        if code == 0:
            self.cancel(connection, request_id)
            return
        connection.pending[request_id] = (code, out_len)
        if code in WAIT_CODES:
            self.count("wait requests")
            if code == WAIT_CLUTCH_EVENT and not self.hostile:
                self.count("clutch waits while calm")
            return  # completed later by an event, an error or a vanishing controller
        if not self.hostile:
            status, output = self.sound_output(connection, code, payload, out_len)
            self.answer(connection, request_id, status, output[:out_len])
            return
        self.hostile_answer(connection, request_id, code, payload, out_len)

    def cancel(self, connection, request_id):
        self.count("cancels")
        roll = self.rng.random() if self.hostile else 0.0
        if request_id not in connection.pending or roll < 0.7:
            if request_id in connection.pending:
                self.answer(connection, request_id, 995, b"")
        elif roll < 0.85:
            self.count("cancels ignored")
        else:
            self.count("cancels answered with success")
            code, out_len = connection.pending[request_id]
            self.answer(connection, request_id, 0, self.random_bytes(out_len))

    def hostile_answer(self, connection, request_id, code, payload, out_len):
        roll = self.rng.random()
        if roll < 0.45:
            self.count("sound answers")
            status, output = self.sound_output(connection, code, payload, out_len)
            self.answer(connection, request_id, status, output[:out_len])
        elif roll < 0.60:
            self.count("random success answers")
            self.answer(connection, request_id, 0, self.random_bytes(self.random_length(out_len)))
        elif roll < 0.68:
            self.count("error answers")
            self.answer(connection, request_id, self.rng.choice(ERRORS), b"")
        elif roll < 0.73:
            self.count("bytes returned beyond the carried")
            output = self.random_bytes(self.rng.randint(0, out_len))
            self.answer(connection, request_id, 0, output,
                        returned=len(output) + self.rng.choice([1, 4, 1000, 0xFFFFFFFF - len(output)]))
        elif roll < 0.78:
            self.count("answers to unknown ids")
            self.answer(connection, request_id ^ (1 << self.rng.randint(0, 63)), 0,
                        self.random_bytes(self.random_length(out_len)))
            self.answer(connection, request_id, 0, self.random_bytes(out_len))
        elif roll < 0.82:
            self.count("answers given twice")
            output = self.random_bytes(out_len)
            self.answer(connection, request_id, 0, output)
            self.answer(connection, request_id, self.rng.choice(ERRORS), output)
        elif roll < 0.89:
            self.count("late answers")
            delay = self.rng.choice([0.01, 0.05, 0.1, 0.3, 0.5, 1.0, 2.0, 11.0] + [0.02] * 42)
            self.later(delay, lambda: self.late_answer(connection, request_id, code, payload, out_len))
        elif roll < 0.892:
            self.count("requests never answered")
        elif roll < 0.92:
            self.count("malformed frames")
            self.send(connection, struct.pack("<I", self.rng.randint(0, 19)) + self.random_bytes(20))
        elif roll < 0.935:
            self.count("oversized frames")
            self.send(connection, struct.pack("<IQII", MAX_FRAME + self.rng.randint(1, 1 << 20),
                                              request_id, 0, 16))
        elif roll < 0.95:
            self.count("answers cut off by a close")
            frame = struct.pack("<IQII", 36, request_id, 0, 16) + self.random_bytes(16)
            self.send(connection, frame[:self.rng.randint(1, len(frame) - 1)])
            self.close_after_send(connection)
        elif roll < 0.97:
            self.count("connections closed mid-request")
            self.close(connection)
        else:
            self.count("answers in pieces")
            status, output = self.sound_output(connection, code, payload, out_len)
            output = output[:out_len]
            frame = struct.pack("<IQII", 20 + len(output), request_id, status, len(output)) + output
            connection.pending.pop(request_id, None)
            cut = self.rng.randint(1, len(frame) - 1)
            self.send(connection, frame[:cut])
            self.later(self.rng.choice([0.01, 0.2]), lambda: self.send(connection, frame[cut:]))

    def late_answer(self, connection, request_id, code, payload, out_len):
        if connection.sock is None:
            return
        status, output = self.sound_output(connection, code, payload, out_len)
        self.answer(connection, request_id, status, output[:out_len])

    # Events.
    def raise_event(self):
        waits = [(c, rid, code, out_len) for controller in self.controllers
                 for c in controller.connections for rid, (code, out_len) in c.pending.items()
                 if code in WAIT_CODES]
        if not waits:
            return
        connection, request_id, code, out_len = self.rng.choice(waits)
        roll = self.rng.random()
        if code == WAIT_CLUTCH_EVENT and roll < 0.8:
            self.count("clutch events")
            output = struct.pack("<HH", self.rng.choice([0, 1, 1, 5, 0xFFFF]),
                                 self.rng.choice([0, 1, 2, 3, 4, 5, 6, 7, 8, 0xFFFF]))
            self.answer(connection, request_id, 0, output[:self.rng.choice([4, 4, 4, 2, 0, 8])])
        elif roll < 0.9:
            self.count("wait events")
            self.answer(connection, request_id, 0, self.random_bytes(self.random_length(out_len)))
        else:
            self.count("wait errors")
            self.answer(connection, request_id, self.rng.choice(ERRORS), b"")

    def vanish_or_return(self):
        controller = self.rng.choice(self.controllers)
        if controller.listener is None:
            self.publish(controller)
        else:
            self.unpublish(controller)
            if self.rng.random() < 0.7:
                self.later(self.rng.uniform(0.05, 1.5), lambda: self.hostile and self.publish(controller))

    def tick(self):
        now = time.monotonic()
        due = [t for t in self.timers if t[0] <= now]
        if due:
            self.timers = [t for t in self.timers if t[0] > now]
            for _, _, function in sorted(due):
                function()
        if not self.hostile:
            return
        if now >= self.next_event:
            self.raise_event()
            self.next_event = now + self.rng.expovariate(200.0)
        if now >= self.next_vanish:
            self.vanish_or_return()
            self.next_vanish = now + self.rng.expovariate(1.5)

    # Commands.
    def command(self, word):
        if word == "chaos":
            self.hostile = True
            for controller in self.controllers:
                self.publish(controller)
        elif word == "calm":
            # Every controller arrives anew: one whose connection the driver closed counts as
            # removed until its socket appears again.
            self.hostile = False
            self.timers = []
            for controller in self.controllers:
                self.unpublish(controller)
                self.publish(controller)
        elif word == "remove":
            self.hostile = False
            self.timers = []
            for controller in self.controllers:
                self.unpublish(controller)
        elif word == "stats":
            print(json.dumps(self.counts, sort_keys=True), flush=True)
        elif word == "quit":
            return False
        print("ok " + word, flush=True)
        return True

    def run(self, duration):
        os.makedirs(self.folder, exist_ok=True)
        stdin_open = duration is None
        if duration is not None:
            self.command("chaos")
            end = time.monotonic() + duration
        else:
            os.set_blocking(sys.stdin.fileno(), False)
            self.selector.register(sys.stdin, selectors.EVENT_READ, ("stdin", None))
            end = None
        pending_input = ""
        while True:
            if end is not None and time.monotonic() >= end:
                break
            for key, events in self.selector.select(timeout=0.002):
                kind, subject = key.data
                if kind == "listener":
                    self.accept(subject)
                elif kind == "connection":
                    if subject.sock is None:
                        continue
                    if events & selectors.EVENT_WRITE:
                        self.flush(subject)
                    if subject.sock is not None and events & selectors.EVENT_READ:
                        self.readable(subject)
                elif kind == "stdin" and stdin_open:
                    chunk = sys.stdin.read()
                    if not chunk:
                        stdin_open = False
                        self.selector.unregister(sys.stdin)
                        end = time.monotonic()
                        continue
                    pending_input += chunk
                    while "\n" in pending_input:
                        line, pending_input = pending_input.split("\n", 1)
                        if line.strip() and not self.command(line.strip()):
                            end = time.monotonic()
            self.tick()
        for controller in self.controllers:
            self.unpublish(controller)
        print(json.dumps(self.counts, sort_keys=True), flush=True)


def main():
    parser = argparse.ArgumentParser(description="A hostile driver on the socket transport.")
    parser.add_argument("folder")
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--controllers", type=int, default=3)
    parser.add_argument("--duration", type=float)
    args = parser.parse_args()
    HostileDriver(args.folder, args.seed, args.controllers).run(args.duration)


if __name__ == "__main__":
    main()

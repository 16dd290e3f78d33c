#!/usr/bin/env python3
"""Soak benchmark of the service process over the socket transport.

Starts SKYHELM (the service program), publishes two controllers as a well-behaved user-space
driver (docs/driver-protocol.md), and completes N clutch events on them, both controllers at
once; every K events both controllers are removed and published again. An event is lost when the
service does not issue its next clutch wait on that controller within 10 seconds (--limit).
Prints events per second, lost events, and resident size, threads, open descriptors and CPU time
of the service at start and at end (both taken with the two controllers attached and idle).

Usage: soak.py SKYHELM [--events N] [--every K] [--json] [--min-events-per-s R] [--limit S]
Exit status 1, with each reason on standard error, when the controllers were not attached, an
event was lost, a controller was not attached again, a thread or descriptor was left behind, the
service ended by itself or wrote a sanitizer report, or (with --min-events-per-s) fewer than R
events per second were handled; 0 otherwise.
"""
import argparse
import json
import os
import selectors
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

CLASS = "#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}"
WAIT_CLUTCH_EVENT = 0x223634
WAIT_CODES = {0x222824, 0x22283C, 0x222840, 0x223058, 0x223080, WAIT_CLUTCH_EVENT, 0xFFFFFFFF}
DEVICE_TYPE = bytes.fromhex("1a5b0c8e3d6f2b4c9a7e1d2f3a4b5c6d")  # 8E0C5B1A-6F3D-4C2B-9A7E-...
MEMBER = bytes.fromhex("912e7d4a6c3b804fa1d59e8c7b6a5f40")
# The clutch events played in turn on each controller: engage, step, step back, step, enter or
# load the entry, release.
EVENTS = [(1, 0), (1, 5), (1, 1), (1, 5), (1, 3), (0, 0)]
REARM_LIMIT_S = 10.0


class Controller:
    def __init__(self, folder, name):
        self.name = name
        self.path = os.path.join(folder, name + CLASS)
        self.hidden = os.path.join(folder, "." + name + CLASS)
        self.listener = None
        self.connections = {}  # socket -> inbox bytes
        self.armed = []        # (socket, request id) of outstanding clutch waits
        self.waiting_since = None  # when the last event was completed and no wait is armed yet
        self.step = 0
        self.loaded = {}
        self.active = 0


class SoakDriver:
    def __init__(self, folder):
        self.folder = folder
        self.selector = selectors.DefaultSelector()
        self.controllers = [Controller(folder, "SOAK0"), Controller(folder, "SOAK1")]

    def publish(self, controller):
        if os.path.exists(controller.hidden):
            os.unlink(controller.hidden)
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(controller.hidden)
        listener.listen(64)
        listener.setblocking(False)
        os.rename(controller.hidden, controller.path)
        controller.listener = listener
        self.selector.register(listener, selectors.EVENT_READ, (controller, None))

    def unpublish(self, controller):
        os.unlink(controller.path)
        self.selector.unregister(controller.listener)
        controller.listener.close()
        controller.listener = None
        for sock in list(controller.connections):
            self.drop(controller, sock)
        controller.armed = []
        controller.waiting_since = None
        controller.active = 0

    def drop(self, controller, sock):
        self.selector.unregister(sock)
        sock.close()
        del controller.connections[sock]
        controller.armed = [(s, i) for s, i in controller.armed if s is not sock]

    def answer(self, sock, request_id, status, output):
        sock.setblocking(True)
        try:
            sock.sendall(struct.pack("<IQII", 20 + len(output), request_id, status, len(output)) + output)
        except OSError:
            pass
        sock.setblocking(False)

    def output_of(self, controller, code, payload):
        if code == 0x223000:
            return 0, DEVICE_TYPE
        if code == 0x222818:
            return 0, MEMBER
        if code == 0x22281C:
            return 0, bytes(16)
        if code == 0x222828:
            return 0, struct.pack("<I", controller.active)
        if code == 0x222800:
            new_id = len(controller.loaded) + 1
            controller.loaded[new_id] = payload[10:].rstrip(b"\0")
            return 0, struct.pack("<I", new_id)
        if code == 0x22280C:
            controller.active = struct.unpack_from("<I", payload, 4)[0]
            return 0, bytes(4)
        if code == 0x222808:
            controller.active = 0
            return 0, b""
        if code == 0x222804:
            path = controller.loaded.get(struct.unpack_from("<I", payload, 4)[0])
            if path is None:
                return 31, b""
            return 0, struct.pack("<IH", len(path) // 2, 0) + path + b"\0\0"
        if code == 0x222848:
            return 0, bytes(16)
        if code == 0xFFFFFFFE:
            return 0, struct.pack("<H", 0)
        return 0, b""

    def readable(self, controller, sock):
        if sock is None:
            try:
                conn, _ = controller.listener.accept()
            except OSError:
                return
            conn.setblocking(False)
            controller.connections[conn] = b""
            self.selector.register(conn, selectors.EVENT_READ, (controller, conn))
            conn.sendall(struct.pack("<II", 8, 0))  # the open answer: opened
            return
        try:
            data = sock.recv(65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            self.drop(controller, sock)
            return
        inbox = controller.connections[sock] + data
        while len(inbox) >= 24:
            length, request_id, code, _, out_len = struct.unpack_from("<IQIII", inbox)
            if len(inbox) < length:
                break
            payload = inbox[24:length]
            inbox = inbox[length:]
            if code == 0:
                if (sock, request_id) in controller.armed:
                    controller.armed.remove((sock, request_id))
                self.answer(sock, request_id, 995, b"")
            elif code == WAIT_CLUTCH_EVENT:
                controller.armed.append((sock, request_id))
                controller.waiting_since = None
            elif code not in WAIT_CODES:
                status, output = self.output_of(controller, code, payload)
                self.answer(sock, request_id, status, output[:out_len])
        controller.connections[sock] = inbox

    def poll(self, timeout):
        for key, _ in self.selector.select(timeout):
            controller, sock = key.data
            if sock is not None and sock not in controller.connections:
                continue
            self.readable(controller, sock)


def process_figures(pid):
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return {
        "rss_kb": int(status["VmRSS"].split()[0]),
        "threads": int(status["Threads"].strip()),
        "fds": len(os.listdir("/proc/%d/fd" % pid)),
        "cpu_s": round((int(fields[11]) + int(fields[12])) / ticks, 2),
    }


class SoakFailure(Exception):
    """A reason the soak cannot go on; the run then fails with it."""


def check_running(service):
    if service.poll() is not None:
        raise SoakFailure("the service ended by itself with status %d" % service.returncode)


def figures_of(service):
    check_running(service)
    try:
        return process_figures(service.pid)
    except OSError as error:
        raise SoakFailure("the service's figures could not be read: %s" % error)


def armed_all(driver, service, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if all(c.armed for c in driver.controllers):
            return True
        check_running(service)
        driver.poll(0.01)
    return False


def idle_figures(driver, service, when):
    # Both controllers attached and waiting, each with only its own connection open (the
    # sessions of the last events have ended), and the figures steady for half a second.
    end = time.monotonic() + REARM_LIMIT_S
    while not all(c.armed and len(c.connections) == 1 for c in driver.controllers):
        if time.monotonic() >= end:
            raise SoakFailure("the controllers were not idle %s within %d s" % (when, REARM_LIMIT_S))
        check_running(service)
        driver.poll(0.01)
    steady = []
    while len(steady) < 5 and time.monotonic() < end + REARM_LIMIT_S:
        driver.poll(0.1)
        figures = figures_of(service)
        if steady and (figures["threads"], figures["fds"]) != (steady[-1]["threads"], steady[-1]["fds"]):
            steady = []
        steady.append(figures)
    return steady[-1]


def soak(args, driver, service, failures):
    """Plays the events; returns the result, adds what went wrong to failures."""
    if not armed_all(driver, service, REARM_LIMIT_S):
        raise SoakFailure("the controllers were not attached within %d s of the start" % REARM_LIMIT_S)
    start_figures = idle_figures(driver, service, "at start")
    started = time.monotonic()
    done = lost = cycles = 0
    since_cycle = 0
    while done < args.events:
        now = time.monotonic()
        for controller in driver.controllers:
            if done >= args.events or since_cycle >= args.every:
                break
            if controller.armed:
                sock, request_id = controller.armed.pop(0)
                engaged, kind = EVENTS[controller.step % len(EVENTS)]
                controller.step += 1
                driver.answer(sock, request_id, 0, struct.pack("<HH", engaged, kind))
                controller.waiting_since = now
                done += 1
                since_cycle += 1
            elif controller.waiting_since is not None and now - controller.waiting_since > REARM_LIMIT_S:
                lost += 1
                controller.waiting_since = None
                since_cycle = args.every  # a fresh attach gets the controller going again
        if since_cycle >= args.every:
            # Detach and attach both controllers once their last event has been handled.
            end = time.monotonic() + REARM_LIMIT_S
            while time.monotonic() < end and not all(c.armed for c in driver.controllers):
                driver.poll(0.005)
            for controller in driver.controllers:
                if not controller.armed and controller.waiting_since is not None:
                    lost += 1
                driver.unpublish(controller)
            for controller in driver.controllers:
                driver.publish(controller)
            cycles += 1
            since_cycle = 0
            if not armed_all(driver, service, REARM_LIMIT_S):
                raise SoakFailure("the controllers were not attached again after cycle %d" % cycles)
        driver.poll(0.0005)
    # The last events are handled when their waits are armed again.
    end = time.monotonic() + REARM_LIMIT_S
    while time.monotonic() < end and any(c.waiting_since is not None for c in driver.controllers):
        driver.poll(0.005)
    lost += sum(1 for c in driver.controllers if c.waiting_since is not None)
    elapsed = time.monotonic() - started
    end_figures = idle_figures(driver, service, "at the end")
    result = {
        "events": done, "every": args.every, "detach_attach_cycles": cycles,
        "seconds": round(elapsed, 1), "events_per_s": round(done / elapsed, 1), "lost": lost,
        "start": start_figures, "end": end_figures,
    }
    if lost:
        failures.append("%d events lost" % lost)
    if end_figures["threads"] != start_figures["threads"]:
        failures.append("threads %d at start, %d at end" % (start_figures["threads"], end_figures["threads"]))
    if end_figures["fds"] != start_figures["fds"]:
        failures.append("descriptors %d at start, %d at end" % (start_figures["fds"], end_figures["fds"]))
    if args.min_events_per_s is not None and result["events_per_s"] < args.min_events_per_s:
        failures.append("%.1f events/s, below the floor of %.1f" % (result["events_per_s"], args.min_events_per_s))
    return result


def report(args, result):
    if args.json:
        print(json.dumps(result))
        return
    print("%d events on 2 controllers, detach/attach every %d (%d cycles): %.1f s, %.1f events/s, %d lost"
          % (result["events"], args.every, result["detach_attach_cycles"], result["seconds"],
             result["events_per_s"], result["lost"]))
    for when in ("start", "end"):
        figures = result[when]
        print("%-5s rss %d kB, threads %d, descriptors %d, cpu %.2f s"
              % (when, figures["rss_kb"], figures["threads"], figures["fds"], figures["cpu_s"]))


def main():
    global REARM_LIMIT_S
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("skyhelm")
    parser.add_argument("--events", type=int, default=100000)
    parser.add_argument("--every", type=int, default=50)
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--min-events-per-s", type=float, default=None)
    parser.add_argument("--limit", type=float, default=REARM_LIMIT_S,
                        help="seconds a controller may take to be attached or to wait again")
    args = parser.parse_args()
    REARM_LIMIT_S = args.limit

    work = tempfile.mkdtemp(prefix="skyhelm-soak-")
    root = os.path.join(work, "root")
    run = os.path.join(work, "run")
    devices = os.path.join(run, "devices")
    for folder in ("documents", "windows", "registry"):
        os.makedirs(os.path.join(root, folder))
    os.makedirs(devices)
    os.chmod(run, 0o700)
    profiles = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "profiles")
    shutil.copytree(profiles, os.path.join(root, "documents", "Corvane"))
    env = dict(os.environ, SKYHELM_ROOT=root, SKYHELM_DEVICE_DIR=devices, XDG_RUNTIME_DIR=run)
    env.pop("SKYHELM_LOG", None)

    driver = SoakDriver(devices)
    for controller in driver.controllers:
        driver.publish(controller)
    errors = open(os.path.join(work, "skyhelm.err"), "w+")
    failures = []
    service = None
    try:
        service = subprocess.Popen([args.skyhelm], env=env, stderr=errors)
        result = soak(args, driver, service, failures)
        check_running(service)
        report(args, result)
    except SoakFailure as failure:
        failures.append(str(failure))
    except Exception as error:  # anything unforeseen fails the run too, with its reason
        failures.append("%s: %s" % (type(error).__name__, error))
    finally:
        if service is not None and service.poll() is None:
            service.terminate()
            try:
                service.wait(5)
            except subprocess.TimeoutExpired:
                service.kill()
                service.wait()
        errors.seek(0)
        report_text = errors.read()
        if "Sanitizer" in report_text or "runtime error" in report_text:
            failures.append("sanitizer report:\n" + report_text[-4000:])
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure, file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

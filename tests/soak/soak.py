#!/usr/bin/python3
"""The soak run: the services under steady use for MINUTES, watched for growth and lost bytes.

Two systems run side by side, each with two modems (COM3 and COM4) on one telephone line:
  mdmd       the built service over the emulated usbfs (usbfs_soak_host keeps the bus and runs
             mdmd against it); a modem is unplugged and plugged back in now and then, and mdmd
             is restarted with SIGTERM twice, early, so that the rest of the run is one process;
  serve      mdmsim serve with its simulated bus.
On each, one worker goes round: a call from one modem to the other with lrzsz's sz and rz on
their terminals (the direction alternates), pyserial clients connecting over RFC 2217, asking
"ati9" and leaving, and a firmware update by mdmflash --headless over RFC 2217 (COM3 and COM4
in turn).

A line a minute: each process's resident memory, open descriptors and threads (from /proc),
mdmd's pool blocks as its last stop reported them, the bytes moved and the bytes lost. The run
fails when a byte is lost, an operation fails, a stop leaves pool blocks, or memory, descriptors
or threads grow without bound: the largest figure of the last third of a process's samples
above the largest of its first third by more than a margin.

Usage: soak.py [--no-updates] BUILD_DIR [MINUTES]
  (exit 0: passed, 1: failed, 2: could not start)
--no-updates leaves mdmflash out, to watch the rest for long while a fault of the updates is
open.
"""
import os
import random
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

import serial

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE_SECONDS = 10
LINE_SECONDS = 60
# Growth beyond these, from the first third of a process's samples to its last, fails the run.
MARGINS = {"rss": lambda first: 8 * 1024 + first // 20, "fds": lambda first: 3,
           "threads": lambda first: 2}


class Failure(Exception):
    pass


class Totals:
    """Bytes moved and lost, operations done and the failures seen, from every worker."""

    def __init__(self):
        self.lock = threading.Lock()
        self.moved = 0
        self.lost = 0
        self.operations = 0
        self.failures = []

    def add(self, moved, lost=0):
        with self.lock:
            self.moved += moved
            self.lost += lost
            self.operations += 1

    def fail(self, text):
        with self.lock:
            self.failures.append(text)
        print("soak: FAILED: " + text, flush=True)


def free_port_run(count):
    """A TCP port on 127.0.0.1 with the `count` after it free too."""
    for _ in range(200):
        base = random.randint(20000, 60000)
        sockets = []
        try:
            for offset in range(count):
                s = socket.socket()
                s.bind(("127.0.0.1", base + offset))
                sockets.append(s)
            return base
        except OSError:
            continue
        finally:
            for s in sockets:
                s.close()
    raise Failure("no free TCP ports")


def wait_for(what, limit, step=0.05):
    deadline = time.time() + limit
    while time.time() < deadline:
        if what():
            return True
        time.sleep(step)
    return what()


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


class Terminal:
    """A served modem's terminal, raw, as a program on a serial line opens it."""

    def __init__(self, link):
        self.fd = os.open(os.readlink(link), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.got = b""

    def send(self, data):
        os.write(self.fd, data)

    def await_text(self, text, limit):
        deadline = time.time() + limit
        while text not in self.got and time.time() < deadline:
            if select.select([self.fd], [], [], 0.1)[0]:
                try:
                    self.got += os.read(self.fd, 4096)
                except OSError:
                    break
        return text in self.got

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
        self.fd = -1


class System:
    """Two served modems and their users: calls, pyserial clients and updates."""

    def __init__(self, name, root, url_of, totals, scratch, mdmflash, mdmreg, flash_of=None):
        self.name = name
        self.root = root
        self.url_of = url_of  # COM number -> rfc2217://127.0.0.1:PORT
        self.totals = totals
        self.scratch = os.path.join(scratch, name)
        self.mdmflash = mdmflash
        self.mdmreg = mdmreg
        self.flash_of = flash_of  # COM number -> (size, hash) of the modem's flash, or None
        self.rounds = 0
        self.updates = True
        os.makedirs(self.scratch)
        self.remotes = {n: self.remote_root(n) for n in (3, 4)}

    def link(self, number):
        return os.path.join(self.root, "dosdevices", "com%d" % number)

    def remote_root(self, number):
        """A user's platform root whose COMn is the system's RFC 2217 server for COMn."""
        remote = os.path.join(self.scratch, "remote%d" % number)
        os.makedirs(os.path.join(remote, "dosdevices"))
        os.symlink(self.url_of(number), os.path.join(remote, "dosdevices", "com%d" % number))
        com = "COM%d" % number
        subprocess.run([self.mdmreg, "set", "HKLM\\Hardware\\Devicemap\\Serialcomm", com, "REG_SZ",
                        com], cwd=remote, env=dict(os.environ, MDM_ROOT=remote), check=True,
                       stdout=subprocess.DEVNULL, timeout=30)
        return remote

    def call(self, caller, callee, size):
        """A file of `size` bytes from the caller's terminal to the callee's with sz and rz."""
        data = random.randbytes(size)
        folder = os.path.join(self.scratch, "call")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "in"))
        sent = os.path.join(folder, "file.bin")
        with open(sent, "wb") as f:
            f.write(data)
        called = Terminal(self.link(callee))
        calling = Terminal(self.link(caller))
        try:
            called.send(b"ATS0=1\r")
            if not called.await_text(b"OK", 10):
                raise Failure("COM%d did not take ATS0=1: %r" % (callee, called.got))
            calling.send(b"ATS0=0\rATD%d\r" % callee)
            if not calling.await_text(b"CONNECT", 30) or not called.await_text(b"CONNECT", 30):
                raise Failure("no call from COM%d to COM%d: %r / %r"
                              % (caller, callee, calling.got, called.got))
            receiver = subprocess.Popen(["rz", "-b", "-y"], stdin=called.fd, stdout=called.fd,
                                        stderr=subprocess.DEVNULL, cwd=os.path.join(folder, "in"))
            sender = subprocess.run(["sz", "-b", sent], stdin=calling.fd, stdout=calling.fd,
                                    stderr=subprocess.DEVNULL, timeout=120)
            # The caller hangs up (its terminal closes: DTR drops); the callee's terminal hangs
            # up with the carrier, and rz ends.
            calling.close()
            try:
                receiver.wait(timeout=60)
            except subprocess.TimeoutExpired:
                receiver.kill()
                receiver.wait()
        finally:
            calling.close()
            called.close()
        got = read_bytes(os.path.join(folder, "in", "file.bin"))
        same = matching_prefix(data, got)
        lost = size - same if got != data else 0
        self.totals.add(size, lost)
        if lost or sender.returncode != 0:
            raise Failure("call COM%d -> COM%d: sz %d, %d of %d bytes arrived intact"
                          % (caller, callee, sender.returncode, same, size))

    def clients(self, number, count):
        """pyserial clients over RFC 2217, one after the other: ati9 and gone."""
        for _ in range(count):
            port = serial.serial_for_url(self.url_of(number), baudrate=57600, timeout=5)
            try:
                port.reset_input_buffer()
                port.write(b"ati9\r\n")
                answer = b""
                deadline = time.time() + 10
                while b"OK\r\n" not in answer and time.time() < deadline:
                    answer += port.read(port.in_waiting or 1)
            finally:
                port.close()
            if b"OK\r\n" not in answer:
                self.totals.add(len(answer), 1)
                raise Failure("COM%d over RFC 2217 answered %r" % (number, answer))
            self.totals.add(len(answer))

    def update(self, number, size):
        """mdmflash updates COMn over RFC 2217 with an image of `size` bytes."""
        remote = self.remotes[number]
        image = random.randbytes(size)
        path = os.path.join(remote, "firmware.bin")
        with open(path, "wb") as f:
            f.write(image)
        run = subprocess.run([self.mdmflash, "--headless", "--image", path], cwd=remote,
                             env=dict(os.environ, MDM_ROOT=remote, DISPLAY=""),
                             capture_output=True, text=True, timeout=150)
        lost = 0 if run.returncode == 0 else size
        if lost == 0 and self.flash_of is not None and self.flash_of(number) != flash_digest(image):
            lost = size
        self.totals.add(size, lost)
        if lost:
            raise Failure("update of COM%d: exit %d, %s" % (number, run.returncode,
                                                           (run.stdout + run.stderr)[-400:]))

    def round(self):
        first, second = (3, 4) if self.rounds % 2 == 0 else (4, 3)
        self.call(first, second, 48 * 1024)
        if self.updates:
            self.update(first, 12 * 1024)
        self.clients(first, 2)
        self.clients(second, 2)
        self.rounds += 1


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def matching_prefix(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[n] == b[n]:
        n += 1
    return n


def flash_digest(image):
    value = 2166136261
    for byte in image:
        value = ((value ^ byte) * 16777619) & 0xFFFFFFFF
    return "flash %d %08x" % (len(image), value)


class SoakHost:
    """usbfs_soak_host: the emulated bus with two modems, and mdmd on it."""

    def __init__(self, build, root, log, rfc2217_base):
        self.log = log
        self.process = subprocess.Popen(
            [os.path.join(build, "usbfs_soak_host"),
             os.path.join(build, "mdmd"), log, "2", str(rfc2217_base)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, MDM_ROOT=root))
        self.lock = threading.Lock()
        if self.process.stdout.readline().strip() != "ready":
            raise Failure("usbfs_soak_host did not start")
        self.pid = 0
        self.pools = []  # the pool report of each stop

    def ask(self, command):
        with self.lock:
            try:
                self.process.stdin.write(command + "\n")
                self.process.stdin.flush()
                answer = self.process.stdout.readline()
            except OSError:
                answer = ""
            if not answer:
                raise Failure("usbfs_soak_host ended (status %s) at %r"
                              % (self.process.wait(), command))
            return answer.strip()

    def served(self, number):
        """How often mdmd has served COMn so far."""
        return read_text(self.log).count("mdmd: COM%d: USB modem" % number)

    def start(self):
        """mdmd started; the first time, the modems are plugged in one after the other, so that
        the first is bound to COM3 (its number on the line is 3) and the second to COM4."""
        first = self.pid == 0 and not self.pools
        before = {n: self.served(n) for n in (3, 4)}
        self.pid = int(self.ask("start").split()[1])
        for index, number in enumerate((3, 4)):
            if first:
                self.ask("plug %d" % index)
            if not wait_for(lambda: self.served(number) > before[number], 60):
                raise Failure("mdmd did not serve COM%d:\n%s" % (number, read_text(self.log)[-2000:]))

    def stop(self):
        stops = read_text(self.log).count("mdmd: stopped by")
        status = self.ask("stop")
        self.pid = 0
        if status != "exit 143":
            raise Failure("mdmd stopped with " + status)
        text = read_text(self.log)
        reports = re.findall(r"mdmd: pool: (.*)", text)
        self.pools.append(reports[-1] if reports else "no report")
        if text.count("mdmd: stopped by") <= stops or reports[-1:] != ["no block outstanding"]:
            raise Failure("mdmd's stop: pool %s" % self.pools[-1])

    def replug(self, index):
        number = 3 + index
        served = self.served(number)
        departures = read_text(self.log).count("departure: USB modem")
        self.ask("unplug %d" % index)
        if not wait_for(lambda: read_text(self.log).count("departure: USB modem") > departures, 30):
            raise Failure("mdmd did not see modem %d leave" % index)
        self.ask("plug %d" % index)
        if not wait_for(lambda: self.served(number) > served, 30):
            raise Failure("COM%d was not served again after a replug" % number)

    def pool_blocks(self):
        if not self.pools:
            return "-"
        last = self.pools[-1]
        return "0" if last == "no block outstanding" else last.split()[0]

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def proc_figures(pid):
    """Resident memory (KiB), open descriptors and threads of a process, or None."""
    try:
        status = read_text("/proc/%d/status" % pid)
        rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
        threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
        fds = len(os.listdir("/proc/%d/fd" % pid))
        return {"rss": rss, "fds": fds, "threads": threads}
    except (OSError, AttributeError):
        return None


def grown(samples):
    """What grew without bound in a process's samples: the last third's largest figure above
    the first third's by more than its margin."""
    third = len(samples) // 3
    if third == 0:
        return []
    found = []
    for key, margin in MARGINS.items():
        first = max(s[key] for s in samples[:third])
        last = max(s[key] for s in samples[-third:])
        if last > first + margin(first):
            found.append("%s %d -> %d" % (key, first, last))
    return found


def describe(figures):
    if figures is None:
        return "-"
    return "rss %.1f MiB fds %d threads %d" % (figures["rss"] / 1024, figures["fds"],
                                               figures["threads"])


def worker(system, deadline, totals, between=None):
    while time.time() < deadline and not totals.failures:
        try:
            system.round()
            if between is not None:
                between(system.rounds)
        except (Failure, OSError, serial.SerialException, subprocess.TimeoutExpired) as error:
            totals.fail("%s: %s" % (system.name, error))
            return


def main():
    args = sys.argv[1:]
    updates = "--no-updates" not in args
    args = [a for a in args if a != "--no-updates"]
    if len(args) not in (1, 2):
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(args[0])
    minutes = float(args[1]) if len(args) == 2 else 30
    for program in ("sz", "rz"):
        if shutil.which(program) is None:
            print("soak: %s is missing (Debian package lrzsz)" % program, file=sys.stderr)
            return 2
    scratch = tempfile.mkdtemp(prefix="mdm-soak-")
    totals = Totals()
    stopped = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopped.set())
    signal.signal(signal.SIGINT, lambda *_: stopped.set())
    start = time.time()
    deadline = start + minutes * 60
    host = serve = None
    try:
        mdmd_root = os.path.join(scratch, "mdmd-root")
        serve_root = os.path.join(scratch, "serve-root")
        os.makedirs(mdmd_root)
        os.makedirs(serve_root)
        open(os.path.join(mdmd_root, ".scratch"), "w").close()
        open(os.path.join(serve_root, ".scratch"), "w").close()
        mdmd_base = free_port_run(10)
        serve_base = free_port_run(2)
        host = SoakHost(build, mdmd_root, os.path.join(scratch, "mdmd.log"), mdmd_base)
        host.start()
        serve_log = open(os.path.join(scratch, "serve.log"), "w")
        serve = subprocess.Popen(
            [os.path.join(build, "mdmsim"), "serve", "--modems", "2", "--rfc2217-port",
             str(serve_base), "--line-rate", "1000000"],
            stdout=serve_log, stderr=subprocess.STDOUT, env=dict(os.environ, MDM_ROOT=serve_root))
        if not wait_for(lambda: "serving in real time" in read_text(serve_log.name), 60):
            raise Failure("mdmsim serve did not start:\n" + read_text(serve_log.name))
        mdmflash = os.path.join(build, "mdmflash")
        mdmreg = os.path.join(build, "mdmreg")
        served_by_mdmd = System("mdmd", mdmd_root, lambda n: "rfc2217://127.0.0.1:%d" % (mdmd_base + n),
                                totals, scratch, mdmflash, mdmreg,
                                flash_of=lambda n: host.ask("flash %d" % (n - 3)))
        served_by_sim = System("serve", serve_root,
                               lambda n: "rfc2217://127.0.0.1:%d" % (serve_base + n - 3), totals,
                               scratch, mdmflash, mdmreg)
        served_by_mdmd.updates = served_by_sim.updates = updates
        # mdmd is stopped with SIGTERM and started again twice, in the first fifth of the run;
        # a modem is pulled out and plugged back in every third round.
        restarts = [start + minutes * 60 * f for f in (0.1, 0.2)]

        def between_mdmd_rounds(rounds):
            if restarts and time.time() >= restarts[0]:
                restarts.pop(0)
                host.stop()
                host.start()
            if rounds % 3 == 0:
                host.replug((rounds // 3) % 2)

        workers = [threading.Thread(target=worker, args=(served_by_mdmd, deadline, totals,
                                                         between_mdmd_rounds)),
                   threading.Thread(target=worker, args=(served_by_sim, deadline, totals))]
        for w in workers:
            w.start()
        samples = {"mdmd": [], "serve": [], "host": []}
        next_line = start + LINE_SECONDS
        while any(w.is_alive() for w in workers) and not stopped.is_set():
            time.sleep(SAMPLE_SECONDS)
            now = {"mdmd": proc_figures(host.pid) if host.pid else None,
                   "serve": proc_figures(serve.pid), "host": proc_figures(host.process.pid)}
            for name, figures in now.items():
                if figures is not None:
                    # mdmd's samples count from its last start: a restart begins a new process.
                    if name == "mdmd" and samples["mdmd"] and samples["mdmd"][-1]["pid"] != host.pid:
                        samples["mdmd"] = []
                    figures["pid"] = host.pid if name == "mdmd" else 0
                    samples[name].append(figures)
            if time.time() >= next_line:
                next_line += LINE_SECONDS
                print("soak: %4.1f min | mdmd %s | serve %s | bus %s | pool blocks %s | "
                      "moved %d B | lost %d B | operations %d"
                      % ((time.time() - start) / 60, describe(now["mdmd"]), describe(now["serve"]),
                         describe(now["host"]), host.pool_blocks(), totals.moved, totals.lost,
                         totals.operations), flush=True)
        if stopped.is_set():
            totals.fail("stopped by a signal")
            deadline = 0
        for w in workers:
            w.join()
        host.stop()
        serve.send_signal(signal.SIGTERM)
        if serve.wait(timeout=60) != 143:
            totals.fail("mdmsim serve stopped with %d" % serve.returncode)
        for name, series in samples.items():
            for what in grown(series):
                totals.fail("%s grew: %s" % (name, what))
        if totals.lost:
            totals.fail("%d bytes lost" % totals.lost)
    except Failure as error:
        totals.fail(str(error))
    finally:
        if serve is not None and serve.poll() is None:
            serve.kill()
            serve.wait()
        if host is not None:
            host.close()
    print("soak: %.1f min, %d operations, %d bytes moved, %d lost, mdmd pool at its stops: %s"
          % ((time.time() - start) / 60, totals.operations, totals.moved, totals.lost,
             ", ".join(host.pools) if host else "-"))
    if totals.failures:
        print("soak: failed (logs in %s)" % scratch)
        return 1
    shutil.rmtree(scratch, ignore_errors=True)
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

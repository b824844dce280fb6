#!/usr/bin/python3
"""What one idle served modem costs: the share of a core and the wake-ups (voluntary and
involuntary context switches) per second, over SECONDS (default 10) once the port is served.

  mdmsim serve --modems 1, as a whole (the simulated bus and device included);
  mdmd over the emulated usbfs, its own threads one by one, apart from the process that
  emulates the bus and the device (usbfs_soak_host, printed as well).

Usage: idle_cost.py BUILD_DIR [SECONDS]
"""
import glob
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")


def task_figures(task):
    """(name, CPU ticks, context switches) of a /proc task folder, or None once it has gone."""
    try:
        with open(task + "/stat") as f:
            stat = f.read()
        with open(task + "/status") as f:
            status = f.read()
    except OSError:
        return None
    name = stat[stat.index("(") + 1:stat.rindex(")")]
    fields = stat[stat.rindex(")") + 2:].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    switches = sum(int(v) for v in re.findall(r"(?:non)?voluntary_ctxt_switches:\s+(\d+)", status))
    return name, ticks, switches


def threads(pid):
    found = {}
    for task in glob.glob("/proc/%d/task/*" % pid):
        figures = task_figures(task)
        if figures is not None:
            found[os.path.basename(task)] = figures
    return found


def measure(pid, seconds):
    """Per thread over `seconds`: name -> (share of a core in %, wake-ups a second)."""
    before, start = threads(pid), time.time()
    time.sleep(seconds)
    after, took = threads(pid), time.time() - start
    result = {}
    for tid, (name, ticks, switches) in after.items():
        was = before.get(tid, (name, 0, 0))
        key = "%s (%s)" % (name, tid)
        result[key] = (100.0 * (ticks - was[1]) / TICKS / took, (switches - was[2]) / took)
    return result


def total(figures):
    return sum(v[0] for v in figures.values()), sum(v[1] for v in figures.values())


def report(title, figures, per_thread):
    cpu, wakeups = total(figures)
    print("%-44s %5.1f %% of a core, %6.0f wake-ups/s" % (title, cpu, wakeups))
    if per_thread:
        for key, (cpu, wakeups) in sorted(figures.items(), key=lambda kv: -kv[1][1]):
            print("    %-40s %5.1f %%, %6.0f wake-ups/s" % (key, cpu, wakeups))


def wait_for_text(path, text, limit):
    deadline = time.time() + limit
    while time.time() < deadline:
        with open(path, errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.1)
    return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve_cost(build, folder, seconds):
    root = os.path.join(folder, "serve")
    os.makedirs(root)
    log = os.path.join(folder, "serve.log")
    with open(log, "w") as out:
        serve = subprocess.Popen([os.path.join(build, "mdmsim"), "serve", "--modems", "1",
                                  "--rfc2217-port", str(free_port())], stdout=out,
                                 stderr=subprocess.STDOUT, env=dict(os.environ, MDM_ROOT=root))
    try:
        if not wait_for_text(log, "serving in real time", 60):
            sys.exit("idle_cost: mdmsim serve did not start")
        time.sleep(2)
        report("mdmsim serve --modems 1 (whole process)", measure(serve.pid, seconds), False)
    finally:
        serve.terminate()
        serve.wait()


def mdmd_cost(build, folder, seconds):
    root = os.path.join(folder, "mdmd")
    os.makedirs(root)
    log = os.path.join(folder, "mdmd.log")
    host = subprocess.Popen([os.path.join(build, "usbfs_soak_host"),
                             os.path.join(build, "mdmd"), log, "1", str(free_port() - 3)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, MDM_ROOT=root))
    try:
        if host.stdout.readline().strip() != "ready":
            sys.exit("idle_cost: usbfs_soak_host did not start")
        host.stdin.write("start\n")
        host.stdin.flush()
        pid = int(host.stdout.readline().split()[1])
        host.stdin.write("plug 0\n")
        host.stdin.flush()
        host.stdout.readline()
        if not wait_for_text(log, "COM3: USB modem", 60):
            sys.exit("idle_cost: mdmd did not serve COM3")
        time.sleep(2)
        both = {}
        import threading
        worker = threading.Thread(target=lambda: both.update(bus=measure(host.pid, seconds)))
        worker.start()
        mdmd = measure(pid, seconds)
        worker.join()
        report("mdmd, one modem on the emulated usbfs", mdmd, True)
        report("  the emulated bus and device (not mdmd)", both["bus"], False)
    finally:
        host.stdin.close()
        host.wait()


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) == 3 else 10
    random.seed()
    with tempfile.TemporaryDirectory(prefix="mdm-idle-") as folder:
        serve_cost(build, folder, seconds)
        mdmd_cost(build, folder, seconds)


if __name__ == "__main__":
    main()

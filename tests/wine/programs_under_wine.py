#!/usr/bin/python3
"""The Windows build's programs under Wine, held against the Linux build's for the same session.

Usage: programs_under_wine.py --build-dir B --windows-build W --lines LIB CASE

B is the Linux build (its mdmflash, mdmlinks, mdminst, mdmsim, mdmreg), W the Windows build
(its .exe files and tests/window_operator.exe), LIB the line library that gives pseudo-terminals
modem lines under Wine. CASE is one of:

  served-update  mdmflash.exe --headless updates a simulated modem that `mdmsim serve` serves on
                 COM3; the Linux mdmflash then updates it the same way
  rz-update      the same over a scripted modem whose ZModem receiver is lrzsz's rz, on COM5
  window         mdmflash.exe with its window under Xvfb, driven by window_operator.exe: the
                 layout, a picture (B/wine-runs/mdmflash-window.bmp), an update, Save Log, Exit
  links          mdmlinks.exe creates and removes the Start-menu group through Wine's shell; lnkinfo
                 reads each link, whose fields equal those of the link the Linux mdmlinks writes
  inst           mdminst.exe appends its line to mdminst.log as the Linux mdminst does

Prints what it compared; exits 0 when everything held, 1 when something did not (one line per
difference), 2 when the harness itself failed, 130 or 143 on SIGINT or SIGTERM.
"""

import argparse
import contextlib
import os
import pathlib
import random
import re
import subprocess
import tempfile
import threading
import time

import wine_env
from wine_env import HarnessError, Wine, windows_path

SCRIPTED_MODEM = pathlib.Path(__file__).resolve().parents[1] / "realline" / "scripted_modem.py"
SERIAL_MAP = r"HKLM\Hardware\Devicemap\Serialcomm"
STAMP = re.compile(rb"\d\d\.\d\d\.\d\d\d\d \d\d:\d\d:\d\d")
IMAGE_BYTES = 3000
# Each update takes about 10 s; two of them and the harness stay within ctest's 90 s.
UPDATE_BOUND = 38


class Case:
    def __init__(self, options):
        self.linux = pathlib.Path(options.build_dir).resolve()
        self.windows = pathlib.Path(options.windows_build).resolve()
        self.lines = options.lines
        self.failures = []
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="mdm-wine-case-"))

    def expect(self, held, what):
        print(("held: " if held else "FAILED: ") + what)
        if not held:
            self.failures.append(what)

    def image(self):
        path = self.work / "fw.bin"
        path.write_bytes(random.Random(31).randbytes(IMAGE_BYTES))
        return path

    def linux_run(self, program, args, env, timeout=UPDATE_BOUND):
        run_env = dict(os.environ, **env)
        for name in ("DISPLAY", "LD_PRELOAD"):
            run_env.pop(name, None)
        return wine_env.run_captured([str(self.linux / program)] + list(args), run_env,
                                     self.work, timeout)

    def expect_ended(self, result, status, what):
        code, _, err = result
        said = "" if code == status else \
            f" (it ended with {code}: {err.read_text(errors='replace').strip()[-300:]})"
        self.expect(code == status, f"{what} ended with {status}{said}")

    # The headless session on both platforms: standard output byte for byte, and the Save Log
    # record with its time stamp masked.
    def compare_sessions(self, windows, linux, windows_log, linux_log):
        self.expect(windows[1].read_bytes() == linux[1].read_bytes(),
                    "standard output of mdmflash.exe equals the Linux mdmflash's byte for byte")
        masked = [STAMP.sub(b"MM.DD.YYYY hh:mm:ss", log.read_bytes()) if log.exists() else b""
                  for log in (windows_log, linux_log)]
        self.expect(masked[0] != b"" and masked[0] == masked[1],
                    "the Save Log record of mdmflash.exe equals the Linux one, time stamp apart")

    def headless_args(self, image, log, windows):
        name = windows_path if windows else str
        return ["--headless", "--image", name(image), "--save-log", name(log)]


def served_update(case):
    image = case.image()
    with Wine(case.linux, case.lines) as wine, \
            wine_env.served_modem(str(case.linux / "mdmsim")) as (root, port, terminal):
        serve_log = root / "serve.log"
        with listed(wine, port, terminal):
            windows = wine.run(case.windows / "mdmflash.exe",
                               case.headless_args(image, case.work / "windows.log", True),
                               timeout=UPDATE_BOUND, lines_folder=root / "dosdevices")
        case.expect_ended(windows, 0, "mdmflash.exe --headless")
        done = f"{port}: firmware update done, flash check OK ({IMAGE_BYTES} image bytes"
        case.expect(wait_for_text(serve_log, done, 1),
                    f"the served modem took the {IMAGE_BYTES}-byte image from mdmflash.exe")
        linux = case.linux_run("mdmflash", case.headless_args(image, case.work / "linux.log", False),
                               {"MDM_ROOT": str(root)})
        case.expect_ended(linux, 0, "the Linux mdmflash --headless")
        case.expect(wait_for_text(serve_log, done, 2), "the served modem took it from Linux too")
    case.compare_sessions(windows, linux, case.work / "windows.log", case.work / "linux.log")


@contextlib.contextmanager
def listed(wine, port, device):
    """COM port `port` of the prefix mapped to `device`, and the only port the serial map lists,
    for one run, under its own name as the modem's driver lists it. Wine lists the ports it
    found at the server's start there, as "\\Device\\Serial0" and so on, and mdmflash's
    enumeration ends at a value name that long; the map's key is the system's own and stays."""
    with wine.port(port, device):
        wine.reg("delete", SERIAL_MAP, "/va", "/f")
        wine.reg("add", SERIAL_MAP, "/v", port, "/d", port, "/f")
        try:
            yield
        finally:
            wine.reg("delete", SERIAL_MAP, "/v", port, "/f")


def wait_for_text(path, text, count, timeout=10):
    until = time.monotonic() + timeout
    while time.monotonic() < until:
        if path.read_text(errors="replace").count(text) >= count:
            return True
        time.sleep(0.1)
    return False


@contextlib.contextmanager
def scripted_modem(linux, root, received):
    """The scripted modem on COM5 of a Linux root with a serial map; yields its terminal."""
    (root / "dosdevices").mkdir(parents=True)
    subprocess.run([str(linux / "mdmreg"), "set", SERIAL_MAP, "COM5", "REG_SZ", "COM5"],
                   env=dict(os.environ, MDM_ROOT=str(root)), check=True, timeout=30,
                   stdout=subprocess.DEVNULL)
    modem = subprocess.Popen(["/usr/bin/python3", str(SCRIPTED_MODEM),
                              str(root / "dosdevices" / "com5"), str(received)],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
    try:
        ready = modem.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "ready":
            raise HarnessError("the scripted modem did not start: " + " ".join(ready))
        # Its event lines are not needed; they must not fill the pipe.
        threading.Thread(target=modem.stdout.read, daemon=True).start()
        yield ready[1]
    finally:
        wine_env.stop(modem)


def rz_update(case):
    image = case.image()
    root, received = case.work / "root", case.work / "received"
    received.mkdir()
    with Wine(case.linux, case.lines) as wine, scripted_modem(case.linux, root, received) as terminal:
        with listed(wine, "COM5", terminal):
            windows = wine.run(case.windows / "mdmflash.exe",
                               case.headless_args(image, case.work / "windows.log", True),
                               timeout=UPDATE_BOUND, lines_folder=root / "dosdevices")
        case.expect_ended(windows, 0, "mdmflash.exe --headless")
        arrived = received / image.name
        case.expect(arrived.exists() and arrived.read_bytes() == image.read_bytes(),
                    "rz received the image from mdmflash.exe byte for byte")
        with contextlib.suppress(FileNotFoundError):
            arrived.unlink()
        linux = case.linux_run("mdmflash", case.headless_args(image, case.work / "linux.log", False),
                               {"MDM_ROOT": str(root)})
        case.expect_ended(linux, 0, "the Linux mdmflash --headless")
        case.expect(arrived.exists() and arrived.read_bytes() == image.read_bytes(),
                    "rz received it from the Linux mdmflash byte for byte")
    case.compare_sessions(windows, linux, case.work / "windows.log", case.work / "linux.log")


@contextlib.contextmanager
def virtual_display():
    """Xvfb on a display number of its own choosing; yields ":N"."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(write)
    try:
        with os.fdopen(read) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise HarnessError("Xvfb did not start")
        yield ":" + number
    finally:
        server.terminate()
        server.wait(timeout=10)


def window(case):
    image = case.image()
    log, picture = case.work / "window.log", case.linux / "wine-runs" / "mdmflash-window.bmp"
    picture.parent.mkdir(parents=True, exist_ok=True)
    with contextlib.suppress(FileNotFoundError):
        picture.unlink()
    with virtual_display() as display, Wine(case.linux, case.lines, display=display) as wine, \
            wine_env.served_modem(str(case.linux / "mdmsim")) as (root, port, terminal), \
            listed(wine, port, terminal):
        shown = {}
        program = threading.Thread(target=lambda: shown.update(result=wine.run(
            case.windows / "mdmflash.exe", [], timeout=75, lines_folder=root / "dosdevices")))
        program.start()
        operator = wine.run(case.windows / "tests" / "window_operator.exe",
                            [windows_path(image), windows_path(log), windows_path(picture)],
                            timeout=75)
        program.join()
        print(operator[1].read_text(errors="replace"), end="")
        case.expect_ended(operator, 0, "the operator of the window")
        case.expect_ended(shown["result"], 0, "mdmflash.exe with its window")
        case.expect(wait_for_text(root / "serve.log", "firmware update done, flash check OK", 1),
                    "the served modem took the image through the window")
    record = log.read_bytes() if log.exists() else b""
    case.expect(b"Update completed successfully!" in record and b"Update finished!" in record,
                "Save Log wrote the window's log with the completed update")
    case.expect(picture.exists(), f"a picture of the window is kept as {picture}")


LINK_FIELDS = ("Description", "Show Window value", "Icon index", "Hot Key value", "File size",
               "Drive type")


def link_fields(link, windows_folder):
    """What lnkinfo reads from a link: its fields, and its target relative to the Windows
    folder, in upper case (the platform's file names are case-insensitive)."""
    text = subprocess.run(["lnkinfo", str(link)], capture_output=True, text=True, timeout=30).stdout
    fields = dict(re.findall(r"^\t(\w[\w ]*?)\s*: (.*)$", text, re.M))
    target = fields.get("Local path", "").upper()
    folder = windows_folder.upper().rstrip("\\") + "\\"
    fields["target in the Windows folder"] = target[len(folder):] if target.startswith(folder) \
        else "outside: " + target
    return {name: fields.get(name) for name in LINK_FIELDS + ("target in the Windows folder",)}


def links(case):
    root = case.work / "root"
    root.mkdir()
    linux_run = case.linux_run("mdmlinks", [], {"MDM_ROOT": str(root)}, timeout=30)
    case.expect_ended(linux_run, 0, "the Linux mdmlinks")
    linux_group = root / "Start Menu" / "Programs" / "USB Modem Utility 02"
    with Wine(case.linux, case.lines) as wine:
        programs = wine.prefix / "drive_c" / "users"
        created = wine.run(case.windows / "mdmlinks.exe", [], timeout=30)
        case.expect_ended(created, 0, "mdmlinks.exe")
        groups = list(programs.glob("*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/"
                                    "USB Modem Utility 02"))
        case.expect(len(groups) == 1, "mdmlinks.exe made the group in the user's Start menu")
        names = sorted(p.name for p in groups[0].iterdir()) if groups else []
        case.expect(names == sorted(p.name for p in linux_group.iterdir()),
                    f"both made the same links: {names}")
        for name in names:
            on_windows = link_fields(groups[0] / name, r"C:\windows")
            on_linux = link_fields(linux_group / name, windows_path(root / "Windows")[2:])
            case.expect(on_windows == on_linux and on_windows["Description"],
                        f"lnkinfo reads the same fields from both {name}: {on_windows}")
        removed = wine.run(case.windows / "mdmlinks.exe", ["d"], timeout=30)
        case.expect_ended(removed, 0, "mdmlinks.exe d")
        case.expect(not any(group.exists() for group in groups), "mdmlinks.exe d removed the group")


def inst(case):
    root = case.work / "root"
    root.mkdir()
    with Wine(case.linux, case.lines) as wine:
        for _ in range(2):
            ran = wine.run(case.windows / "mdminst.exe", ["A1B2#Modem"],
                           env={"MDM_ROOT": windows_path(root)}, timeout=30)
            case.expect_ended(ran, 0, "mdminst.exe A1B2#Modem")
    written = (root / "mdminst.log").read_bytes() if (root / "mdminst.log").exists() else b""
    case.expect(written == b"A1B2#Modem\r\n" * 2,
                f"mdminst.exe appended one text line per start: {written!r}")
    linux_root = case.work / "linux-root"
    linux_root.mkdir()
    case.expect_ended(case.linux_run("mdminst", ["A1B2#Modem"], {"MDM_ROOT": str(linux_root)}),
                      0, "the Linux mdminst")
    linux_line = (linux_root / "mdminst.log").read_bytes()
    case.expect(written.replace(b"\r\n", b"\n")[:len(linux_line)] == linux_line,
                "its line is the Linux mdminst's, with the platform's line end")


CASES = {"served-update": served_update, "rz-update": rz_update, "window": window,
         "links": links, "inst": inst}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--lines", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    case = Case(options)
    started = time.monotonic()
    try:
        CASES[options.case](case)
    finally:
        subprocess.run(["rm", "-rf", str(case.work)], check=False)
    print(f"{options.case}: {len(case.failures)} failed, {time.monotonic() - started:.1f} s")
    return 1 if case.failures else 0


if __name__ == "__main__":
    wine_env.run_script(main, "programs_under_wine")

#!/usr/bin/python3
"""Runs the Windows build's programs under Wine, for the Linux build's ctest (label wine).

One prefix per build folder (BUILD/wine-prefix; BUILD/wine-prefix-x11 for a display), made once with `wineboot -i` under a lock and
reused; one persistent wineserver per prefix, shared by every run that uses the prefix and
ended (`wineserver -k`) by the last of them. A scratch HOME, no menu entries, no Mono or Gecko
prompts, no debug channels, and no display needed (the null graphics driver).

As a module: `with Wine(build_dir) as wine: wine.run(exe, ...)`, `wine.port("COM3", pty)`,
`windows_path(path)`; `served_modem(mdmsim)` serves a simulated modem on a pseudo-terminal.
From ctest:

  wine_env.py --build-dir B [--wine --lines LIB] [--serve MDMSIM] -- PROGRAM [ARGS...]

runs PROGRAM (under Wine with --wine, else natively) with its output in B/wine-runs/ (then
printed), after
`mdmsim serve` came up when --serve is given: the program then finds the served COM port's
name in MDM_TEST_PORT and the served root in MDM_ROOT (as Z:\\... under Wine). Exits with the
program's status, 124 when it ran out of time, 2 when the harness itself failed (one line says
why), 130 or 143 on SIGINT or SIGTERM, after stopping what it started.
"""

import argparse
import contextlib
import fcntl
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
# Windows can be made without a display; nothing is shown. A prefix for a display has its own.
HEADLESS_SETTINGS = [(r"HKCU\Software\Wine\Drivers", "Graphics", "null")]
# Under Xvfb a managed window's close costs 2 s.
DISPLAY_SETTINGS = [(r"HKCU\Software\Wine\X11 Driver", "Managed", "N")]
PORTS_KEY = r"HKLM\Software\Wine\Ports"


class HarnessError(Exception):
    pass


def windows_path(path):
    """A Linux path as a program under Wine names it (drive Z: is the root)."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


@contextlib.contextmanager
def locked(path, mode=fcntl.LOCK_EX):
    with open(path, "a+") as lock:
        fcntl.flock(lock, mode)
        yield lock


def run_bounded(command, env, stdout, stderr, timeout):
    """Runs command in a session of its own; kills the whole session when time is up. Returns
    the status, or None when it ran out of time."""
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                               stderr=stderr, start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        # Out of time, or the harness itself told to stop: nothing of the run stays behind.
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


class Wine:
    def __init__(self, build_dir, lines_library=None, display=None):
        """With `display` (":N"), programs show their windows there, from a prefix of its own
        (BUILD/wine-prefix-x11)."""
        self.build_dir = pathlib.Path(build_dir).resolve()
        self.prefix = self.build_dir / ("wine-prefix-x11" if display else "wine-prefix")
        self.settings = DISPLAY_SETTINGS if display else HEADLESS_SETTINGS
        self.home = self.build_dir / "wine-home"
        self.runs = self.build_dir / "wine-runs"
        self.lines_library = lines_library
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD"):
            self.env.pop(name, None)
        self.env.update(WINEPREFIX=str(self.prefix), HOME=str(self.home), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=",
                        WINEARCH="win64")
        if display:
            self.env["DISPLAY"] = display
        self._users = None

    # The prefix, made once per build folder; a half-made one (no mark) is made again.
    def _ensure_prefix(self):
        mark = self.prefix / ".mdm-ready"
        with locked(self.prefix.with_suffix(".lock")):
            if mark.exists():
                return
            shutil.rmtree(self.prefix, ignore_errors=True)
            self.home.mkdir(parents=True, exist_ok=True)
            started = time.monotonic()
            self._wine(["wineboot", "-i"], timeout=60, what="wineboot -i")
            for key, name, value in self.settings:
                self.reg("add", key, "/v", name, "/d", value, "/f")
            subprocess.run([WINESERVER, "-w"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            mark.write_text(f"made in {time.monotonic() - started:.1f} s\n")

    def __enter__(self):
        self.build_dir.mkdir(parents=True, exist_ok=True)
        self.runs.mkdir(exist_ok=True)
        self._ensure_prefix()
        # Every run holds the users' lock shared; the last one out ends the server.
        self._users = open(self.prefix.with_suffix(".users"), "a+")
        fcntl.flock(self._users, fcntl.LOCK_SH)
        # Its output goes nowhere: Wine's background processes would hold the caller's open. It
        # stays a minute after its last client even if a run is killed before it ends it.
        subprocess.Popen([WINESERVER, "-p60"], env=self.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True).wait(timeout=30)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self._users, fcntl.LOCK_UN)
        try:
            fcntl.flock(self._users, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            pass  # another run still uses the server
        else:
            subprocess.run([WINESERVER, "-k"], env=self.env, timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._users.close()
        return False

    def _wine(self, args, timeout, what, env=None):
        status = run_bounded([WINE] + args, env or self.env, subprocess.DEVNULL,
                             subprocess.DEVNULL, timeout)
        if status != 0:
            raise HarnessError(f"{what}: " + ("timed out" if status is None else f"status {status}"))

    def reg(self, *args):
        self._wine(["reg"] + list(args), timeout=30, what="reg " + " ".join(args[:2]))

    @contextlib.contextmanager
    def port(self, name, device):
        """Maps COM port `name` of the prefix to the Linux `device` for one run: one run of the
        prefix at a time holds its ports."""
        link = self.prefix / "dosdevices" / name.lower()
        with locked(self.prefix.with_suffix(".ports")):
            # Wine makes the link from the value at a server start; the link serves this one.
            self.reg("add", PORTS_KEY, "/v", name, "/d", device, "/f")
            with contextlib.suppress(FileNotFoundError):
                link.unlink()
            link.symlink_to(device)
            try:
                yield
            finally:
                with contextlib.suppress(FileNotFoundError):
                    link.unlink()
                self.reg("delete", PORTS_KEY, "/v", name, "/f")

    def run(self, program, args=(), env=None, timeout=25, lines_folder=None):
        """Runs a Windows program; its output goes to wine-runs/NAME.PID.out and .err. Returns its
        status, or None when it ran out of time."""
        run_env = dict(self.env, **(env or {}))
        if self.lines_library and lines_folder:
            run_env.update(LD_PRELOAD=str(self.lines_library), MDM_LINES_FOLDER=str(lines_folder))
        return run_captured([WINE, str(program)] + list(args), run_env, self.runs, timeout)


def run_captured(command, env, runs, timeout):
    # One pair of files per run, so that runs side by side keep theirs.
    name = pathlib.Path(command[1] if command[0] == WINE else command[0]).stem
    out, err = runs / f"{name}.{os.getpid()}.out", runs / f"{name}.{os.getpid()}.err"
    with open(out, "wb") as stdout, open(err, "wb") as stderr:
        status = run_bounded(command, env, stdout, stderr, timeout)
    return status, out, err


@contextlib.contextmanager
def served_modem(mdmsim, timeout=30):
    """`mdmsim serve` in a scratch platform root, until it serves; yields (root, COM name,
    terminal). Stopped with SIGTERM at the end."""
    with tempfile.TemporaryDirectory(prefix="mdm-wine-") as root:
        log = pathlib.Path(root) / "serve.log"
        env = dict(os.environ, MDM_ROOT=root)
        env.pop("LD_PRELOAD", None)
        with open(log, "wb") as out:
            server = subprocess.Popen([mdmsim, "serve"], env=env, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=subprocess.STDOUT,
                                      start_new_session=True)
        try:
            until = time.monotonic() + timeout
            while b"serving in real time" not in log.read_bytes():
                if server.poll() is not None or time.monotonic() > until:
                    raise HarnessError("mdmsim serve did not come up: " +
                                       log.read_text(errors="replace").strip()[-300:])
                time.sleep(0.1)
            link = pathlib.Path(root) / "dosdevices" / "com3"
            yield pathlib.Path(root), "COM3", os.readlink(link)
        finally:
            stop(server)


def stop(process, timeout=10):
    """Stops a process started in a session of its own: SIGTERM, then SIGKILL for the whole
    session when it has not ended within `timeout` seconds."""
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--wine", action="store_true", help="run the program under Wine")
    parser.add_argument("--lines", help="the line library, preloaded under Wine")
    parser.add_argument("--serve", metavar="MDMSIM", help="serve a simulated modem first")
    parser.add_argument("--timeout", type=float, default=25)
    parser.add_argument("program")
    parser.add_argument("args", nargs="*")
    options = parser.parse_args()

    with contextlib.ExitStack() as stack:
        env, lines_folder = {}, None
        wine = stack.enter_context(Wine(options.build_dir, options.lines)) if options.wine else None
        if options.serve:
            root, port, terminal = stack.enter_context(served_modem(options.serve))
            lines_folder = root / "dosdevices"
            env.update(MDM_TEST_PORT=port, MDM_ROOT=windows_path(root) if wine else str(root))
            if wine:
                stack.enter_context(wine.port(port, terminal))
        started = time.monotonic()
        if wine:
            status, out, err = wine.run(options.program, options.args, env, options.timeout,
                                        lines_folder)
        else:
            runs = pathlib.Path(options.build_dir) / "wine-runs"
            runs.mkdir(parents=True, exist_ok=True)
            status, out, err = run_captured([options.program] + options.args,
                                            dict(os.environ, **env), runs, options.timeout)
        took = time.monotonic() - started
    sys.stdout.write(out.read_text(errors="replace"))
    sys.stdout.write(err.read_text(errors="replace"))
    if status == 0:  # a failed run's output stays for a look
        out.unlink()
        err.unlink()
    if status is None:
        print(f"wine_env: {options.program} ran out of its {options.timeout:.0f} s")
        return 124
    print(f"wine_env: {pathlib.Path(options.program).name} ended with {status} in {took:.1f} s")
    return status


def run_script(main, name):
    """Ends the script with main()'s status: 2 with one line when the harness itself failed, 130
    or 143 on SIGINT or SIGTERM, after the context managers have put the prefix, the server and
    the served modem back in order."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        sys.exit(main())
    except (HarnessError, OSError, subprocess.SubprocessError) as error:
        print(f"{name}: {error}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    run_script(main, "wine_env")

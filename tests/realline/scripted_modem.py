#!/usr/bin/python3
"""A USB modem's serial line, scripted, on a pseudo-terminal, for mdmflash to update.

The modem answers its commands as the firmware does (echo, "ati9" with its identification,
"at@d" or a bare "x" with the download prompt ">>>"). In download mode "rz" and a carriage
return hand the line to lrzsz's own `rz`, which writes the image into the receive folder;
once `rz` has taken the sender's last word ("OO") and ended, the modem reports its flash check.
Closing the terminal (the last user of the slave side goes) resets the modem to command mode,
as the DTR drop of a closing COM port does; what the closed session wrote is read to its end
first, so none of it comes before the next session's first command.

`rz` sends ZRINIT once as it starts and again for each ZRQINIT, where the modem's own receiver
answers only the ZRQINIT: the start-up ZRINIT is dropped, so that the sender hears one ZRINIT.

Usage: scripted_modem.py LINK RECEIVE_DIR [--cancel-after N | --silent-after N | --vanish-after N]
  LINK           the slave's link (e.g. $MDM_ROOT/dosdevices/com5); "-" makes none.
                 LINK.lines declares the lines "cts dsr" (a pseudo-terminal has none).
  --cancel-after after N bytes of a transfer have gone to rz, rz is told to stop (SIGTERM),
                 sends its cancel and ends; the modem reports no flash check (every transfer).
  --silent-after after N bytes of a transfer, rz is killed and the modem says nothing more
                 until the terminal is closed (every transfer).
  --vanish-after after N bytes of a transfer, the modem's side of the line closes: the
                 pseudo-terminal is gone, and so is the program.
Prints "ready /dev/pts/N" once it listens, and one line per event; runs until SIGTERM.
"""
import argparse
import os
import pty
import select
import signal
import subprocess
import sys
import time
import tty

IDENT = b"\r\nUSB high power, bus-powered function\r\n\r\nOK\r\n"
PROMPT = b">>>"
FLASH_OK = b"\r\nFlash check OK\r\n"
RZ_START = b"rz\r"
# rz's start-up ZRINIT ends with CR, LF with its top bit set, XON.
HEX_HEADER_END = b"\r\x8a\x11"


def say(text):
    print(text, flush=True)


class Modem:
    def __init__(self, master, receive_dir, cancel_after, silent_after, vanish_after):
        self.master = master
        self.receive_dir = receive_dir
        self.cancel_after = cancel_after
        self.silent_after = silent_after
        self.vanish_after = vanish_after
        self.reset()

    def reset(self):
        self.mode = "command"
        self.line = b""
        self.skip_line_feed = False
        self.rz_matched = b""
        self.rz = None
        self.startup_zrinit = b""  # what of rz's first header has been dropped so far
        self.forwarded = 0

    def send(self, data):
        if data:
            os.write(self.master, data)

    # -- command mode: echo, and an answer at each carriage return
    def command(self, data):
        out = b""
        for i, byte in enumerate(data):
            ch = bytes([byte])
            if ch == b"\n":
                continue
            out += ch
            if ch == b"x" and not self.line:
                self.send(out + PROMPT)
                self.enter_download(data[i + 1:], skip_line_feed=False)
                return
            if ch != b"\r":
                self.line += ch
                continue
            line, self.line = self.line.lower(), b""
            if line == b"at@d":
                self.send(out + b"\r\n" + PROMPT)
                self.enter_download(data[i + 1:], skip_line_feed=True)
                return
            if line == b"ati9":
                out += IDENT
            elif line.startswith(b"at"):
                out += b"\r\nOK\r\n"
            elif line:
                out += b"\r\nERROR\r\n"
        self.send(out)

    def enter_download(self, rest, skip_line_feed):
        say("download mode")
        self.mode = "download"
        self.rz_matched = b""
        if skip_line_feed and rest[:1] == b"\n":
            rest = rest[1:]
        self.download(rest)

    # -- download mode: wait for "rz\r", then everything goes to rz
    def download(self, data):
        for i, byte in enumerate(data):
            self.rz_matched += bytes([byte])
            if not RZ_START.startswith(self.rz_matched):
                self.rz_matched = bytes([byte]) if byte == RZ_START[0] else b""
            if self.rz_matched == RZ_START:
                self.start_rz()
                self.to_rz(data[i + 1:])
                return

    def start_rz(self):
        say("rz started")
        self.mode = "transfer"
        self.forwarded = 0
        self.startup_zrinit = b""
        self.rz = subprocess.Popen(["rz", "-b", "-y"], cwd=self.receive_dir, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, bufsize=0)
        os.set_blocking(self.rz.stdout.fileno(), False)

    def to_rz(self, data):
        if not data:
            return
        self.forwarded += len(data)
        if self.cancel_after is not None and self.forwarded > self.cancel_after:
            if self.rz.poll() is None:
                say("rz cancelled")
                self.rz.terminate()
            return
        if self.vanish_after is not None and self.forwarded > self.vanish_after:
            self.stop_rz()
            say("vanished")
            os.close(self.master)
            sys.exit(0)
        if self.silent_after is not None and self.forwarded > self.silent_after:
            self.stop_rz()
            say("silent")
            self.mode = "silent"
            return
        try:
            self.rz.stdin.write(data)
        except BrokenPipeError:
            pass  # rz has ended; its exit is seen in the loop

    def from_rz(self):
        try:
            data = os.read(self.rz.stdout.fileno(), 4096)
        except BlockingIOError:
            return
        if not data:
            self.finish_rz()
            return
        if not self.startup_zrinit.endswith(HEX_HEADER_END):
            # Still inside the start-up ZRINIT: drop up to its end.
            for i in range(len(data)):
                self.startup_zrinit += data[i:i + 1]
                if self.startup_zrinit.endswith(HEX_HEADER_END):
                    data = data[i + 1:]
                    break
            else:
                data = b""
        self.send(data)

    def finish_rz(self):
        status = self.rz.wait()
        self.rz = None
        say("rz ended %d" % status)
        self.mode = "download"
        self.rz_matched = b""
        if status == 0:  # a receiver that broke off leaves nothing to check
            self.send(FLASH_OK)

    def stop_rz(self):
        if self.rz is not None:
            self.rz.kill()
            self.rz.wait()
            self.rz = None

    def receive(self, data):
        if self.mode == "command":
            self.command(data)
        elif self.mode == "download":
            self.download(data)
        elif self.mode == "transfer":
            self.to_rz(data)
        # silent: everything is swallowed

    def closed(self):
        """The terminal's last user has gone: the modem starts again in command mode."""
        if self.mode != "command":
            say("terminal closed, modem reset")
        self.stop_rz()
        self.reset()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("link")
    parser.add_argument("receive_dir")
    parser.add_argument("--cancel-after", type=int)
    parser.add_argument("--silent-after", type=int)
    parser.add_argument("--vanish-after", type=int)
    options = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    master, slave = pty.openpty()
    terminal = os.ttyname(slave)
    tty.setraw(slave)
    os.close(slave)
    if options.link != "-":
        with open(options.link + ".lines", "w") as lines:
            lines.write("cts dsr\n")
        os.symlink(terminal, options.link)
    modem = Modem(master, options.receive_dir, options.cancel_after, options.silent_after,
                  options.vanish_after)
    say("ready " + terminal)

    os.set_blocking(master, False)
    poller = select.poll()
    poller.register(master, select.POLLIN)
    user = False  # the slave side is open
    while True:
        rz_out = modem.rz.stdout.fileno() if modem.rz is not None else None
        if rz_out is not None:
            poller.register(rz_out, select.POLLIN)
        events = dict(poller.poll(100))
        if rz_out is not None:
            poller.unregister(rz_out)
        if rz_out is not None and events.get(rz_out):
            modem.from_rz()
        ready = events.get(master, 0)
        if ready & select.POLLHUP:
            # The last user has gone, perhaps with bytes still on their way: they belong to
            # the session that ended, and must not meet the next session's first command.
            for data in drain(master):
                user = True
                modem.receive(data)
            if user:
                modem.closed()
                user = False
            time.sleep(0.02)  # the master reports the hang-up until a user opens the slave
        elif ready & select.POLLIN:
            user = True
            modem.receive(read(master))
        else:
            user = True


def read(master):
    try:
        return os.read(master, 4096)
    except OSError:
        return b""  # EAGAIN: nothing yet; EIO: the slave side has no user


def drain(master):
    """What the slave's closed session still wrote. With the slave closed, the kernel ends a
    master read with EIO only once the last of it has come through; EAGAIN instead means the
    slave is open again, and the rest is the next session's."""
    while data := read(master):
        yield data


if __name__ == "__main__":
    main()

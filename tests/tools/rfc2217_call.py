# A call between two served modems: the caller on its terminal (a path), the called modem through
# pyserial's rfc2217:// client. The called side hears "RING", answers, sees the carrier (DCD),
# bytes cross both ways, and a hang-up drops the carrier again. Prints what it saw. (The driver
# does not carry the ring line of the modem's status to the port: "RING" is how a ring shows.)
import os
import select
import sys
import termios
import time
import tty

import serial


def wait_for(what, limit):
    deadline = time.time() + limit
    while time.time() < deadline:
        if what():
            return True
        time.sleep(0.02)
    return False


class Terminal:
    # CLOCAL: the caller ignores the modem lines, so that the carrier's loss does not hang its
    # terminal up and it reads the modem's NO CARRIER.
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        settings = termios.tcgetattr(self.fd)
        settings[2] |= termios.CLOCAL
        termios.tcsetattr(self.fd, termios.TCSANOW, settings)
        self.got = b""

    def write(self, data):
        os.write(self.fd, data)

    def has(self, text):
        while select.select([self.fd], [], [], 0)[0]:
            self.got += os.read(self.fd, 4096)
        return text in self.got


called = serial.serial_for_url(sys.argv[1], baudrate=57600, timeout=0.1)
caller = Terminal(sys.argv[2])
called.write(b"ATS0=0\r")
number = sys.argv[3]
caller.write(b"ATD" + number.encode() + b"\r")
said = b""


def called_says(text):
    global said
    said += called.read(called.in_waiting or 1)
    return text in said


print("ring", wait_for(lambda: called_says(b"RING"), 15))
called.write(b"ATA\r")
print("carrier", wait_for(lambda: called.cd, 15))
print("caller connected", wait_for(lambda: caller.has(b"CONNECT"), 10))
caller.write(b"hello from the caller")
heard = b""
deadline = time.time() + 10
while b"hello from the caller" not in heard and time.time() < deadline:
    heard += called.read(100)
print("called heard", b"hello from the caller" in heard)
called.write(b"hello from the called")
print("caller heard", wait_for(lambda: caller.has(b"hello from the called"), 10))
time.sleep(1.2)  # the guard time around the escape
called.write(b"+++")
time.sleep(1.2)
called.write(b"ATH\r")
print("carrier dropped", wait_for(lambda: not called.cd, 10))
print("caller told", wait_for(lambda: caller.has(b"NO CARRIER"), 10))
called.close()

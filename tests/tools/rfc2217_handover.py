# A program on a served port's terminal after an RFC 2217 client has left: the client
# (pyserial) puts the modem in download mode and leaves while the program holds the terminal;
# the program's "AT" must find the modem in command mode, as after a local port's close (DTR
# drops) and open. Prints what it saw.
import os
import select
import sys
import time
import tty

import serial

fd = os.open(sys.argv[2], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
client = serial.serial_for_url(sys.argv[1], baudrate=57600, timeout=0.1)
client.write(b"at@d\r\n")
said = b""
deadline = time.time() + 10
while b">>>" not in said and time.time() < deadline:
    said += client.read(100)
print("prompt", b">>>" in said)
client.close()
time.sleep(0.5)
while select.select([fd], [], [], 0)[0]:
    os.read(fd, 100)  # what the client heard too
os.write(fd, b"AT\r")
heard = b""
deadline = time.time() + 10
while b"OK" not in heard and time.time() < deadline:
    if select.select([fd], [], [], 0.1)[0]:
        heard += os.read(fd, 100)
print("answer", b"OK" in heard)
os.close(fd)

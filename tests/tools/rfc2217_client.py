# A client of a COM port served over RFC 2217, with pyserial's own rfc2217:// client: asks the
# modem to identify itself at 57600 8N1, toggles DTR and RTS, and prints what it saw.
import sys
import time

import serial

port = serial.serial_for_url(sys.argv[1], baudrate=57600, bytesize=8, parity="N", stopbits=1,
                             timeout=5)
port.reset_input_buffer()
port.write(b"ati9\r\n")
answer = b""
deadline = time.time() + 10
while b"OK\r\n" not in answer and time.time() < deadline:
    answer += port.read(port.in_waiting or 1)
print("answer", repr(answer))
port.dtr = False
port.rts = False
port.dtr = True
port.rts = True
print("lines cts=%d dsr=%d cd=%d ri=%d" % (port.cts, port.dsr, port.cd, port.ri))
port.close()

#!/usr/bin/env bash
# A file across a call between two served modems with lrzsz: COM4 answers on its own
# (ATS0=1), COM3 dials 4, and once both report CONNECT, `sz` on COM3's terminal sends FILE to
# `rz` on COM4's terminal, which writes it into DIR. Usage: lrzsz_call.sh ROOT FILE DIR
set -euo pipefail
root=$1 file=$2 dir=$3
caller=$(readlink "$root/dosdevices/com3")
called=$(readlink "$root/dosdevices/com4")
exec 3<>"$caller" 4<>"$called"
stty -F "$caller" raw -echo
stty -F "$called" raw -echo
printf 'ATS0=1\r' >&4
timeout 10 grep -q -m1 OK <&4
printf 'ATD4\r' >&3
timeout 30 grep -q -m1 CONNECT <&3
timeout 30 grep -q -m1 CONNECT <&4
echo "connected"
(exec 3>&-; cd "$dir" && exec timeout 80 rz -b -y <&4 >&4) &  # the caller's terminal: sz's only
receiver=$!
timeout 80 sz -b "$file" <&3 >&3
# The sender is done and hangs up: its terminal closes, DTR drops, its modem goes on hook, and
# the receiver's terminal hangs up with the carrier, as a serial line does. So rz does not wait
# for the sender's last word ("OO"), which sz itself may discard from a pseudo-terminal: it
# flushes its terminal as it leaves, and only a real line's drain holds the bytes until sent.
exec 3>&-
wait $receiver
echo "sent"

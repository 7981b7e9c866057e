#!/bin/sh
# Serial ports through the kernel's real drivers, in the guest: qemu's 16550
# UART as ttyS1 (8250 driver; ttyS0 is the console) and its FTDI USB adapter
# as ttyUSB0 (xhci, ftdi_sio), each with a wqbox at 57600 baud on the host's
# far end, and a second 16550 as ttyS2 whose far end takes nothing
# (scripts/test-real-stacks). Without WQ_COM_DIR, so every port is reached
# by the number the library gives its device. One PASS or FAIL line per check.
set -u
. "$(dirname "$0")/common"
work=/tmp/serial
mkdir -p "$work"

modprobe -a xhci_pci ftdi_sio || fail modules "modprobe failed"
wait_for 20 test -c /dev/ttyUSB0 || fail usb_adapter "no ttyUSB0 after 20 s"

# The adapter's number as the README's rule makes it from sysfs: 5 + the
# 32-bit FNV-1a hash of its identity modulo 11.
tty=$(readlink -f /sys/class/tty/ttyUSB0/device)
interface=${tty%/*} usb=${tty%/*/*}
identity="usb $(cat "$usb/idVendor"):$(cat "$usb/idProduct") serial $(cat "$usb/serial")"
identity="$identity interface $(cat "$interface/bInterfaceNumber") port $(cat "$tty/port_number")"
hash=2166136261
for byte in $(printf %s "$identity" | od -An -tu1 -v); do
  hash=$(( ((hash ^ byte) * 16777619) & 0xFFFFFFFF ))
done
usb_com=$((5 + hash % 11))

head -c 65536 /dev/urandom >"$work/image.bin"

# ---- the same steps through each driver: the UART as COM2, the adapter by
# its number
for line in "2 ttyS1" "$usb_com ttyUSB0"; do
  set -- $line
  port=$1 tag=COM${1}_${2}_ other=$(( $1 == 2 ? usb_com : 2 ))
  check "${tag}listed" 0 "{\"com\":$port,\"path\":\"/dev/$2\"" ports
  check "${tag}settings_write" 0 Success --port "$port" settings write --text-1 "Lobby $port" --number "$port"
  check "${tag}settings_read_back" 0 "\"text_1\":\"Lobby $port\"" --port "$port" settings read
  check "${tag}clock_sync" 0 '"time":1700000000' --port "$port" clock sync --time 1700000000
  check "${tag}log" 0 '"count":24' --port "$port" log --csv "$work/$port.csv"
  log_equals_sim "${tag}log_equals_sim" "$work/$port.csv"
  check "${tag}firmware_64k" 0 '"length":65536' --port "$port" firmware update "$work/image.bin"
  # Held by another host (through the library): refused to a second one,
  # though it runs as root, and the probe goes past it to the other box.
  start_ready "$work/hold.log" "$helper" hold "$port"
  check "${tag}held_refused" 1 'in use by another program' --port "$port" settings read
  check "${tag}find_passes_held" 0 "\"port\":$other," find
  kill "$started"; wait "$started" 2>/dev/null
done

# ---- a line that takes nothing (COM3): the probe's write fails when its
# 200 ms are up, and the port closes at once, its bytes dropped (a close
# that waited for them would wait the driver's 30 s)
started=$(cut -d' ' -f1 /proc/uptime)
check COM3_write_fails 1 '"message":"XMIT_ERROR"' --port 3 find
took=$(awk -v from="$started" '{ print $1 - from }' /proc/uptime)
holds "COM3_write_deadline ($took s)" "took $took s" awk -v took="$took" 'BEGIN { exit !(took >= 0.2 && took < 5) }'

#!/bin/sh
# Bluetooth through the real stack, in the guest: the kernel's Bluetooth and
# RFCOMM, dbus-daemon and bluetoothd, two virtual controllers (btvirt): hci1
# is the host's, hci0 the box's, served by wqbox behind an RFCOMM server on
# channel 3 with an SDP record for the serial port service. Through wqctl
# and the stage's helper, one PASS or FAIL line per check.
set -u
. "$(dirname "$0")/common"
work=/tmp/bluetooth
mkdir -p "$work/box" /run/dbus
channel=3
record=0x10100  # the box's SDP record

# ---- no Bluetooth in the kernel: the socket call itself fails, without a code
echo /bin/false >/proc/sys/kernel/modprobe  # no module loads by itself
check no_kernel_bluetooth 1 '"message":"Socket Call Failed",' --bt 00:11:22:33:44:AA identify
echo /sbin/modprobe >/proc/sys/kernel/modprobe
modprobe -a bluetooth rfcomm hci_vhci || fail modules "modprobe failed"

dbus-daemon --system --fork || fail dbus "dbus-daemon did not start"
btvirt -l2 >"$work/btvirt.log" 2>&1 &
wait_for 10 test -e /sys/class/bluetooth/hci1 || fail btvirt "no controllers: $(cat "$work/btvirt.log")"

# ---- bluetoothd and the box
/usr/libexec/bluetooth/bluetoothd -n -C >"$work/bluetoothd.log" 2>&1 &
bluetoothd=$!
wait_for 10 sh -c 'btmgmt --index 1 info | grep -q "current settings: powered"' ||
  btmgmt --index 1 power on >/dev/null
btmgmt --index 0 name "WQ Box" >/dev/null || fail box "btmgmt name"
for setting in connectable discov power; do
  btmgmt --index 0 "$setting" on >/dev/null || fail box "btmgmt $setting on"
done
box=$(btmgmt --index 0 info | sed -n 's/.*addr \([0-9A-F:]*\) .*/\1/p' | head -1)
box_hex=0x$(echo "$box" | tr -d :)
"$WQ_BUILD/tools/wqbox/wqbox" --no-serial --bt-dir "$work/box" --bt-address "$box" >"$work/wqbox.log" 2>&1 &
wait_for 10 test -S "$work/box/$box" || fail box "wqbox did not start"
sdptool add --handle="$record" --channel="$channel" SP >/dev/null || fail box "sdptool add"
start_ready "$work/relay.log" "$helper" box "$channel" "$work/box/$box"
relay=$started

# ---- the device list before and after an inquiry (which another program
# runs, one that keeps a serial-port profile registered from then on, as a
# serial-port manager does: every check below runs beside it); connect by
# name
check list_before_inquiry 0 '"count":0' devices
start_ready "$work/client.log" "$helper" bluetoothd-client hci1 4
check list_after_inquiry 0 '"devices":["WQ Box"]' devices
check connect_by_name 0 "\"address\":\"$box\"" connect "WQ Box"

# ---- every kind of operation; the usage log as --sim's box gives it
check log 0 '"count":24' --bt "$box" log --csv "$work/box.csv"
log_equals_sim log_equals_sim "$work/box.csv"
check settings_write 0 'Success' --bt "$box" settings write --text-1 Lobby --number 120
check settings_read 0 '"text_1":"Lobby","text_2"' --bt "$box" settings read
check settings_defaults 0 'Success' --bt "$box" settings defaults
check usage_settings_count 0 '"count":8' --bt "$box" usage-settings count
check usage_settings_write 0 '"size":8' --bt "$box" usage-settings write --hex 0102030405060708
check usage_settings_read 0 '"data":"0102030405060708' --bt "$box" usage-settings read
check clock_sync 0 '"time":1700000000' --bt "$box" clock sync --time 1700000000
check identify 0 '"status":0' --bt "$box" identify
check battery 0 '"status":0' --bt "$box" battery
check flush 0 '"status":0' --bt "$box" flush
head -c 65536 /dev/urandom >"$work/image.bin"
check firmware_64k 0 '"length":65536' --bt "$box" firmware update "$work/image.bin" --reset
check reset 0 '"status":0' --bt "$box" reset

# ---- a kept connection used after a pause; meanwhile a second program
# finds the box's channel held (one RFCOMM session carries it once)
"$helper" kept-socket "$box_hex" 3 >"$work/kept.log" 2>&1 &
kept=$!
wait_for 10 grep -q '^connect 0' "$work/kept.log" || fail kept_socket "$(cat "$work/kept.log")"
check channel_in_use 1 '"message":"Socket Call Failed: 10048"' --bt "$box" identify
wait "$kept"
holds kept_socket_after_pause "$(cat "$work/kept.log")" grep -q '^after the pause 0 24 ' "$work/kept.log"

# ---- two programs at once: every call succeeds or finds the channel held
programs=
for program in 1 2; do
  for call in 1 2 3 4; do "$wqctl" --json --bt "$box" settings read; echo; done >"$work/program$program.log" 2>&1 &
  programs="$programs $!"
done
wait $programs
calls=$(cat "$work"/program*.log | grep -c '"command"')
bad=$(cat "$work"/program*.log | grep '"command"' | grep -v -e '"status":0' -e 'Socket Call Failed: 10048"')
holds two_programs_at_once "$calls calls: $bad" [ "$calls" -eq 8 -a -z "$bad" ]

# ---- each failure with its code
check page_timeout 1 '"message":"Socket Call Failed: 10060"' --bt 00:00:5A:5A:5A:5A identify
btmgmt --index 1 power off >/dev/null
check adapter_off 1 '"message":"Socket Call Failed: 10051"' --bt "$box" identify
btmgmt --index 1 power on >/dev/null
kill "$relay"
check refused_by_the_box 1 '"message":"Socket Call Failed: 10064"' --bt "$box" identify
sdptool del "$record" >/dev/null
check no_serial_port_service 1 '"message":"Socket Call Failed: 10049"' --bt "$box" identify
# The box asks for authentication when the link comes up (Secure Simple
# Pairing off, so a PIN is needed), and the host has none to give.
for index in 0 1; do
  for setting in "power off" "ssp off" "power on"; do btmgmt --index "$index" $setting >/dev/null; done
done
hciconfig hci0 auth
check authentication_failed 1 '"message":"Socket Call Failed: 10013"' --bt "$box" identify

# ---- bluetoothd stopped, as Debian leaves it: its D-Bus activation fails
# (the activation file runs /bin/false when systemd does not start it), and
# it switched the adapters off on its way out
kill "$bluetoothd"
wait "$bluetoothd"
check no_bluetoothd 1 '"message":"Socket Call Failed: 10050"' --bt "$box" identify
check no_bluetoothd_list 1 '"message":"Lookup Service Begin Error"' devices

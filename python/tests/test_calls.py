"""The single calls: prototypes, argument conversion, decoding, exceptions."""
import os
import re
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest

import wq
from wq._library import _PROTOTYPES

from conftest import LINKS

HEADER = Path(__file__).resolve().parents[2] / "include" / "wq.h"
UTC = timezone.utc


def test_every_operation_of_the_header_is_declared_with_its_parameter_count():
    declared = {
        name: len(parameters.split(","))
        for name, parameters in re.findall(r"\b(wq_\w+)\(([^)]*)\)\s*WQ_NOEXCEPT", HEADER.read_text())
    }
    assert len(declared) == 38
    assert {name: len(types) for name, (_, types) in _PROTOTYPES.items()} == declared


@pytest.mark.parametrize("link", LINKS)
def test_settings_are_written_and_read_back_as_latin_1(sim, link):
    box = getattr(sim, link)()
    # text_1 goes to the library as UTF-8, text_3 and text_7 as single bytes.
    written = wq.Settings(text_1="Gr\xf6\xdfe", text_3="Gr\xf6\xdfe", text_7="\xc4\xd6\xdc " * 5,
                          number=65535, mode=-5, choice=4, choice_byte=7, choice_number=1000)
    box.write_settings(written)
    read = box.read_settings()
    assert (read.text_1, read.text_3, read.text_7) == (written.text_1, written.text_3, written.text_7)
    assert (read.number, read.mode, read.choice_number) == (65535, -5, 1000)
    box.write_settings(read)  # what a read returns can be written back as it is
    assert box.read_settings() == read


def test_bluetooth_address_mode_and_safe_layout_round_trip(sim):
    box = sim.bluetooth()
    box.write_settings(wq.Settings(address_1="192,168,1,10", address_2="10.0.0.1",
                                   address_3="10.1.1.1", text_7="Lobby"))
    read = box.read_settings()
    assert (read.mode, read.address_1, read.address_2, read.address_3, read.text_7) == (
        3, "192.168.1.10", "10.0.0.1", "10.1.1.1", "Lobby")
    box.write_settings(wq.Settings(number=999, mode=-999999), safe=True)
    assert (box.read_settings(safe=True).number, box.read_settings(safe=True).mode) == (999, -999999)


# Nobody answers for these: a value the binding let through would fail with
# WqError, not ValueError.
SERIAL, BLUETOOTH = wq.SerialBox(15), wq.BluetoothBox("00:00:00:00:00:01")


@pytest.mark.parametrize("call", [
    lambda: SERIAL.write_settings(wq.Settings(text_1="x" * 32)),
    lambda: SERIAL.write_settings(wq.Settings(text_4="\u20ac")),
    lambda: SERIAL.write_settings(wq.Settings(text_6="a\0b")),
    lambda: SERIAL.write_settings(wq.Settings(number=65536)),
    lambda: SERIAL.write_settings(wq.Settings(mode=2**31)),
    lambda: SERIAL.write_settings(wq.Settings(choice=5)),
    lambda: SERIAL.write_settings(wq.Settings(choice_byte=1, choice=3)),
    lambda: SERIAL.write_settings(wq.Settings(address_1="1.2.3.4", address_2="1.2.3.5")),
    lambda: SERIAL.write_settings(wq.Settings(text_8="x"), short=True),
    lambda: BLUETOOTH.write_settings(wq.Settings(address_1="1.2.3.4")),
    lambda: BLUETOOTH.write_settings(wq.Settings(address_1="1.2.3.4", address_2="1.2.3.5", mode=2)),
    lambda: BLUETOOTH.write_settings(wq.Settings(address_1="192.168.100.1000", address_2="1.2.3.5")),
    lambda: BLUETOOTH.write_settings(wq.Settings(mode=3, text_7="Lobby")),
    lambda: BLUETOOTH.write_settings(wq.Settings(mode=3, text_8="default")),
    lambda: BLUETOOTH.write_settings(wq.Settings(number=1000), safe=True),
    lambda: BLUETOOTH.write_settings(wq.Settings(text_7="x" * 40), safe=True),
    lambda: SERIAL.sync_clock(datetime(2106, 2, 8, tzinfo=UTC)),
    lambda: BLUETOOTH.sync_clock(datetime(1969, 12, 31, tzinfo=UTC)),
    lambda: wq.SerialBox(16),
    lambda: wq.BluetoothBox("00:11:22:33:44"),
])
def test_values_outside_a_format_are_refused_before_the_box_is_asked(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("link", LINKS)
def test_the_clock_is_sent_as_seconds_since_1970_utc(sim, link):
    box = getattr(sim, link)()
    when = datetime(2024, 1, 2, 4, 4, 5, tzinfo=timezone(timedelta(hours=1)))
    assert box.sync_clock(when) == 1704164645
    box.read_settings()  # the box has taken the time block before it answers this
    assert "clock set to 1704164645" in sim.transcript()


# The battery read is here by its quick failure: a read the box answers
# takes the library's 10 s wait (the wqctl table has one).
@pytest.mark.parametrize("german, make_call, error, operation, message", [
    (True, lambda sim, g: wq.SerialBox(9, german=g).read_settings(), wq.WqError, "wq_read_settings",
     "Port konnte nicht ge\xf6ffnet werden. Verbindungen \xfcberpr\xfcfen"),
    (True, lambda sim, g: sim.bluetooth(german=g).flush(), wq.BusyError, "wq_bt_force_flush",
     "Benutzerinitiierte Stagnationssp\xfclung verweigert. Grund: im Einsatz."),
    (False, lambda sim, g: sim.bluetooth(german=g).write_usage_settings(b"x"), wq.BusyError,
     "wq_bt_write_usage_settings", "Write setting denied. Reason: in-use."),
    (False, lambda sim, g: wq.BluetoothBox.by_name("No Box", german=g), wq.WqError,
     "wq_connect_to_bt_device", "Device cannot be found"),
    (False, lambda sim, g: wq.BluetoothBox(1, german=g).battery(), wq.WqError, "wq_bt_read_batt",
     "Socket Call Failed: 10061"),
])
def test_failures_raise_with_status_message_and_operation(german, make_call, error, operation, message):
    with wq.testing.Box(in_use=True) as sim, pytest.raises(wq.WqError) as raised:
        make_call(sim, german)
    assert (type(raised.value), raised.value.status, raised.value.operation) == (error, 1, operation)
    assert raised.value.message.startswith(message)
    assert operation in str(raised.value)


def test_bluetooth_operations_convert_their_results(sim):
    assert wq.devices() == ["WQ Box"]
    box = wq.BluetoothBox.by_name("WQ Box")
    assert (box.address, box.greeting) == (0x0011223344AA, "WQBOX ready")
    block = bytes(range(0x40, 0x80))  # no '$' or '#', which the framing takes for its own
    box.write_usage_settings(block)
    assert box.read_usage_settings(len(block)) == block
    assert box.usage_setting_count() == 8
    box.identify()
    box.flush()
    box.reset()


def test_a_serial_box_is_found_and_reached_by_its_device_path(sim):
    found = wq.find()
    assert (found.port, found.identification) == (1, "WQBOX 1.0 SN 10001")
    by_path = wq.SerialBox((sim.directory / "COM1").resolve())
    assert by_path.read_settings() == found.read_settings()
    assert os.environ["WQ_COM_DIR"] == str(sim.directory)


# A value is read from at most its first 7 characters (an 8-byte field).
@pytest.mark.parametrize("text, value", [("12.5", 12.5), ("123456789", 1234567.0)])
def test_value_texts_read_as_numbers(text, value):
    assert wq.value_of(text) == value

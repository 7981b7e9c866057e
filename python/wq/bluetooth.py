"""A box over Bluetooth, and the list of known Bluetooth devices."""
from __future__ import annotations

import ctypes
import re
from datetime import datetime
from typing import Optional, Union

from . import firmware
from ._call import LANGUAGE, MESSAGE, LinkBox, call, clock_seconds
from ._library import library
from .settings import ReadOutputs, Settings, write_arguments
from .usage_log import (PRODUCT_MODE_APART, WATER_VARIANT_AMBIENT, WATER_VARIANT_CARBONATED,
                        FetchOutputs, LogLink, UsageLog)

_ADDRESS_PATTERN = re.compile(r"[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}")
_LARGEST_ADDRESS = 0xFFFFFFFFFFFF
_TIME_LIMIT = 0xFFFFFFFFFFFFFFFF
_DEVICE_SLOT_SIZE = 32  # one name a slot, without terminator when it fills the slot
_DEVICE_SLOTS = 64
# A usage-settings read stores two zero bytes behind the block; a write
# frames it with "$$" and "##" in its work buffer.
_READ_ROOM = 2
_WRITE_ROOM = 4
DEFAULT_USAGE_SETTINGS_SIZE = 64


def parse_address(address: Union[str, int]) -> int:
    """A Bluetooth address as the library takes it, from XX:XX:XX:XX:XX:XX or an int."""
    if isinstance(address, int) and not isinstance(address, bool):
        if not 0 <= address <= _LARGEST_ADDRESS:
            raise ValueError("a Bluetooth address has 48 bits")
        return address
    if isinstance(address, str) and _ADDRESS_PATTERN.fullmatch(address):
        return int(address.replace(":", ""), 16)
    raise ValueError(f"not a Bluetooth address XX:XX:XX:XX:XX:XX: {address!r}")


def format_address(address: int) -> str:
    return ":".join(f"{(address >> shift) & 0xFF:02X}" for shift in range(40, -8, -8))


class BluetoothBox(LinkBox):
    """A box over Bluetooth: ``BluetoothBox("00:11:22:33:44:AA")``, or
    ``BluetoothBox.by_name("WQ Box")``, which runs the connect check.

    Every method connects, runs its exchange and closes the connection
    again, on every outcome; a failure raises ``WqError``, and a box that
    is in use and refuses a change raises ``BusyError``.
    """

    def __init__(self, address: Union[str, int], *, german: bool = False) -> None:
        super().__init__(german=german)
        self.address = parse_address(address)
        self.name: Optional[str] = None  # set by by_name
        self.greeting: Optional[str] = None  # the box's answer to the connect check

    @classmethod
    def by_name(cls, name: str, *, german: bool = False) -> "BluetoothBox":
        """Finds the known device `name`, checks that it answers as a box
        and returns it with its address and ``greeting``."""
        address = ctypes.c_ulonglong()
        greeting = call("wq_connect_to_bt_device", ctypes.byref(address), name.encode("latin-1"),
                        MESSAGE, LANGUAGE, german=german)
        box = cls(address.value, german=german)
        box.name, box.greeting = name, greeting
        return box

    def __repr__(self) -> str:
        return f"BluetoothBox({format_address(self.address)!r})"

    def read_settings(self, *, safe: bool = False) -> Settings:
        """The settings, in the standard layout or the safe one."""
        out = ReadOutputs(bluetooth=True)
        self._call("wq_bt_read_settings", self.address, *out.buffers.values(), MESSAGE, int(safe),
                   LANGUAGE)
        return out.settings()

    def write_settings(self, settings: Settings, *, safe: bool = False) -> None:
        """Writes the fields of `settings` that are not None."""
        a = write_arguments(settings, bluetooth=True, safe=safe)
        self._call("wq_bt_write_settings", self.address, *a.texts[:4], a.number, a.choice_number,
                   *a.texts[4:], *a.addresses, MESSAGE, a.choice, a.choice_byte, a.mode, a.fields,
                   int(safe), LANGUAGE)

    def restore_defaults(self) -> None:
        """Has the box restore its default settings."""
        self._call("wq_bt_default_settings", self.address, MESSAGE, LANGUAGE)

    def sync_clock(self, when: Optional[datetime] = None) -> int:
        """Sets the box's clock to `when` (default now); returns the seconds
        since 1970 UTC that were sent."""
        seconds = clock_seconds(when, _TIME_LIMIT)
        self._call("wq_bt_sync_time", self.address, seconds, MESSAGE, LANGUAGE)
        return seconds

    def identify(self) -> None:
        """Has the box make itself known on site."""
        self._call("wq_bt_identify", self.address, MESSAGE, LANGUAGE)

    def reset(self) -> None:
        """Restarts the box."""
        self._call("wq_bt_reset_device", self.address, MESSAGE, LANGUAGE)

    def battery(self) -> int:
        """The battery level; takes about 10 seconds."""
        level = ctypes.c_int()
        self._call("wq_bt_read_batt", self.address, ctypes.byref(level), MESSAGE, LANGUAGE)
        return level.value

    def flush(self) -> None:
        """Starts a stagnation flush now; a box in use refuses (``BusyError``)."""
        self._call("wq_bt_force_flush", self.address, MESSAGE, LANGUAGE)

    def usage_setting_count(self) -> int:
        count = ctypes.c_uint()
        self._call("wq_bt_get_usage_setting_cnt", self.address, ctypes.byref(count), MESSAGE,
                   LANGUAGE)
        return count.value

    def read_usage_settings(self, size: int = DEFAULT_USAGE_SETTINGS_SIZE) -> bytes:
        """The first `size` bytes of the box's usage-settings block."""
        if size < 1:
            raise ValueError("size takes at least one byte")
        buffer = ctypes.create_string_buffer(size + _READ_ROOM)
        self._call("wq_bt_read_usage_settings", self.address, size + _READ_ROOM, size, buffer,
                   MESSAGE, LANGUAGE)
        return buffer.raw[:size]

    def write_usage_settings(self, block: bytes) -> None:
        """Writes the usage-settings block; a box in use refuses (``BusyError``)."""
        block = bytes(block)
        if not block:
            raise ValueError("the block is empty")
        self._call("wq_bt_write_usage_settings", self.address, len(block), len(block) + _WRITE_ROOM,
                   block, MESSAGE, LANGUAGE)

    def _connect(self) -> int:
        socket = ctypes.c_uint()
        self._call("wq_bt_ota_connect", self.address, ctypes.byref(socket), MESSAGE, LANGUAGE)
        return socket.value

    def usage_log(self, *, ambient_water: bool = False) -> UsageLog:
        """The usage log, entry by entry (see ``UsageLog``). Usage code 12 reads
        "Ambient Water" with `ambient_water`, else "Carbonated Water"."""
        variant = WATER_VARIANT_AMBIENT if ambient_water else WATER_VARIANT_CARBONATED
        return UsageLog(lambda: _BluetoothLog(self, self._connect(), variant))

    def update_firmware(self, image: bytes, progress: Optional[firmware.Progress] = None, *,
                        reset: bool = False) -> firmware.FirmwareResult:
        """Sends a new firmware image in chunks of 1024 bytes and returns once
        the box verified it; with `reset` the box then restarts.
        `progress(sent, total)` is called after each chunk. The box refusing
        the image raises ``FirmwareRejectedError``; its answer not arriving
        raises ``VerdictLostError``."""
        image = bytes(image)
        length, crc = firmware.control_values(image)
        socket = self._connect()
        try:
            self._call("wq_bt_ota_start", socket, length, crc, MESSAGE, LANGUAGE)
            self._call("wq_bt_ota_start_xmit", socket, MESSAGE, LANGUAGE)
            firmware.send_chunks(
                image, firmware.BT_CHUNK_SIZE,
                lambda offset, size: self._call("wq_bt_ota_xmit_data", socket, image, size, offset,
                                                MESSAGE, LANGUAGE),
                progress)
            firmware.final_step(lambda: self._call("wq_bt_ota_done", socket, MESSAGE, LANGUAGE))
        except BaseException:
            library().wq_bt_ota_disconnect(socket)
            raise
        if reset:  # the reset request closes the connection on every outcome
            self._call("wq_bt_ota_reset", socket, MESSAGE, LANGUAGE)
        else:
            library().wq_bt_ota_disconnect(socket)
        return firmware.FirmwareResult(length, crc, firmware.BT_CHUNK_SIZE)


class _BluetoothLog(LogLink):
    """The usage-log download on a kept connection."""

    operation = "wq_bt_use_data_fetch"
    count_operation = "wq_bt_use_data_req"
    can_repeat = True

    def fetch(self, outputs: FetchOutputs, message: ctypes.Array[ctypes.c_char], repeat: bool) -> int:
        return int(library().wq_bt_use_data_fetch(self.link, PRODUCT_MODE_APART, self.water_variant,
                                                  *outputs.buffers, message, int(repeat),
                                                  self.box._language))

    def end(self) -> None:
        # Ends the download and closes the connection, whatever its outcome.
        self.box._call("wq_bt_use_data_done", self.link, MESSAGE, LANGUAGE)


def devices(*, german: bool = False) -> list[str]:
    """The names of the known Bluetooth devices."""
    names = ctypes.create_string_buffer(_DEVICE_SLOT_SIZE * _DEVICE_SLOTS)
    count = ctypes.c_uint()
    call("wq_get_device_list", names, len(names), ctypes.byref(count), MESSAGE, LANGUAGE,
         german=german)
    slots = (names.raw[i * _DEVICE_SLOT_SIZE:(i + 1) * _DEVICE_SLOT_SIZE]
             for i in range(min(count.value, _DEVICE_SLOTS)))
    return [slot.split(b"\0", 1)[0].decode("latin-1") for slot in slots]

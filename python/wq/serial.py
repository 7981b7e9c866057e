"""A box on a serial COM port, and the probe that finds one."""
from __future__ import annotations

import ctypes
import os
import tempfile
from contextlib import contextmanager
from datetime import datetime
from typing import Iterator, Optional, Union

from . import firmware
from ._call import LANGUAGE, MESSAGE, LinkBox, clock_seconds
from ._library import library, message_buffer, text_of
from .errors import WqError
from .settings import ReadOutputs, Settings, write_arguments
from .usage_log import (PRODUCT_MODE_APART, WATER_VARIANT_AMBIENT, WATER_VARIANT_CARBONATED,
                        FetchOutputs, LogLink, UsageLog)

FIRST_PORT, LAST_PORT = 1, 15
_IDENTIFICATION_SIZE = 64
_SERIAL_TIME_LIMIT = 0xFFFFFFFF  # the clock block carries 32 bits
# A device given by its path is reached as this port of a directory of its own.
_DEVICE_PORT = 1


def _close_handle(handle: int) -> None:
    # The message and language are not read: any buffer will do.
    library().wq_force_close_handle(0, message_buffer(), 0, handle)


class SerialBox(LinkBox):
    """A box on a serial port: ``SerialBox(3)`` for COM3, or on Linux
    ``SerialBox("/dev/ttyUSB0")`` for a device by its path, whatever its
    COM number (it is linked as COM1 of a temporary ``WQ_COM_DIR`` for the
    moment each port is opened).

    Every method opens the port, runs its exchange and closes the port
    again, on every outcome; a failure raises ``WqError``.
    """

    def __init__(self, port: Union[int, str, "os.PathLike[str]"], *, german: bool = False) -> None:
        super().__init__(german=german)
        self.device: Optional[str] = None
        if isinstance(port, int):
            if not FIRST_PORT <= port <= LAST_PORT:
                raise ValueError(f"a COM port number is {FIRST_PORT} to {LAST_PORT}")
            self.port = port
        else:
            self.device = os.path.abspath(os.fspath(port))
            self.port = _DEVICE_PORT
        self.identification: Optional[str] = None  # what the box said to find()

    def __repr__(self) -> str:
        return f"SerialBox({self.device or self.port!r})"

    @contextmanager
    def _opened_as(self) -> Iterator[int]:
        """The port number the library opens this box by, for one call."""
        if self.device is None:
            yield self.port
            return
        # The library reads WQ_COM_DIR when it opens a port, and only then.
        with tempfile.TemporaryDirectory(prefix="wq-device-") as directory:
            os.symlink(self.device, os.path.join(directory, f"COM{_DEVICE_PORT}"))
            previous = os.environ.get("WQ_COM_DIR")
            os.environ["WQ_COM_DIR"] = directory
            try:
                yield _DEVICE_PORT
            finally:
                if previous is None:
                    del os.environ["WQ_COM_DIR"]
                else:
                    os.environ["WQ_COM_DIR"] = previous

    def read_settings(self, *, short: bool = False) -> Settings:
        """The settings, in the long record (380 bytes) or the short one (344)."""
        out = ReadOutputs(bluetooth=False)
        with self._opened_as() as port:
            self._call("wq_read_settings", port, *out.buffers.values(), MESSAGE, int(short), LANGUAGE)
        return out.settings(short=short)

    def write_settings(self, settings: Settings, *, short: bool = False) -> None:
        """Writes the fields of `settings` that are not None."""
        a = write_arguments(settings, bluetooth=False, short=short)
        with self._opened_as() as port:
            self._call("wq_write_settings", port, *a.texts[:4], a.number, a.choice_number,
                       *a.texts[4:], MESSAGE, a.choice, a.choice_byte, a.mode, int(short), a.fields,
                       LANGUAGE)

    def restore_defaults(self) -> None:
        """Has the box restore its default settings."""
        with self._opened_as() as port:
            self._call("wq_default_settings", port, MESSAGE, LANGUAGE)

    def sync_clock(self, when: Optional[datetime] = None) -> int:
        """Sets the box's clock to `when` (default now); returns the seconds
        since 1970 UTC that were sent."""
        seconds = clock_seconds(when, _SERIAL_TIME_LIMIT)
        with self._opened_as() as port:
            self._call("wq_sync_time", port, float(seconds), MESSAGE, LANGUAGE)
        return seconds

    def _open_handle(self) -> int:
        handle = ctypes.c_int()
        with self._opened_as() as port:
            self._call("wq_ota_open_port", port, MESSAGE, LANGUAGE, ctypes.byref(handle))
        return handle.value

    def usage_log(self, *, ambient_water: bool = False) -> UsageLog:
        """The usage log, entry by entry (see ``UsageLog``). Usage code 12 reads
        "Ambient Water" with `ambient_water`, else "Carbonated Water"."""
        variant = WATER_VARIANT_AMBIENT if ambient_water else WATER_VARIANT_CARBONATED
        return UsageLog(lambda: _SerialLog(self, self._open_handle(), variant))

    def update_firmware(self, image: bytes,
                        progress: Optional[firmware.Progress] = None) -> firmware.FirmwareResult:
        """Sends a new firmware image in chunks of 512 bytes and returns once
        the box verified it. `progress(sent, total)` is called after each
        chunk. The box refusing the image raises ``FirmwareRejectedError``;
        its answer not arriving raises ``VerdictLostError``."""
        image = bytes(image)
        length, crc = firmware.control_values(image)
        handle = self._open_handle()
        closed = False
        try:
            self._call("wq_ota_start", 0, MESSAGE, LANGUAGE, handle, length, crc)
            self._call("wq_ota_start_xmit", 0, MESSAGE, LANGUAGE, handle)
            firmware.send_chunks(
                image, firmware.SERIAL_CHUNK_SIZE,
                lambda offset, size: self._call("wq_ota_xmit_data", 0, MESSAGE, LANGUAGE, handle,
                                                image, size, offset),
                progress)
            closed = True  # the verify closes the port on every outcome
            firmware.final_step(lambda: self._call("wq_ota_confirm_done", 0, MESSAGE, LANGUAGE, handle))
        finally:
            if not closed:
                _close_handle(handle)
        return firmware.FirmwareResult(length, crc, firmware.SERIAL_CHUNK_SIZE)


class _SerialLog(LogLink):
    """The usage-log download on a serial handle."""

    operation = "wq_use_data_fetch"
    count_operation = "wq_use_data_req"
    can_repeat = False  # the serial link cannot ask for an entry again

    def fetch(self, outputs: FetchOutputs, message: ctypes.Array[ctypes.c_char], repeat: bool) -> int:
        return int(library().wq_use_data_fetch(self.link, PRODUCT_MODE_APART, self.water_variant,
                                               *outputs.buffers, message, self.box._language))

    def end(self) -> None:
        # The end request goes out after a failure too, so that the box stops.
        try:
            self.box._call("wq_use_data_done", self.link, MESSAGE, LANGUAGE)
        finally:
            _close_handle(self.link)


def find(*, german: bool = False) -> SerialBox:
    """Probes COM1 to COM15 and returns the first box that answers, with its
    ``identification`` text. Raises ``WqError`` when none does."""
    text = ctypes.create_string_buffer(_IDENTIFICATION_SIZE)
    port = library().wq_connect_to_box(text)
    if port == 0:
        # The text holds the last port's probe error, if any port opened.
        raise WqError(0, text_of(text) or f"no box answered on COM{FIRST_PORT} to COM{LAST_PORT}",
                      "wq_connect_to_box")
    box = SerialBox(port, german=german)
    box.identification = text_of(text)
    return box

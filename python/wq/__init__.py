"""Talk to the box over a serial COM port or Bluetooth, through libwq.

    import wq
    box = wq.SerialBox(3)                  # or wq.BluetoothBox.by_name("WQ Box")
    print(box.read_settings())
    box.sync_clock()
    for entry in box.usage_log(): print(entry.number, entry.kind.value, entry.usage)

libwq is found through WQ_LIBRARY, else as the installed libwq.so.0 (wq.dll
on Windows). ``wq.testing.Box`` runs the emulated box for tests.
"""
from ._library import LibraryNotFoundError
from .bluetooth import BluetoothBox, devices
from .errors import BusyError, FirmwareRejectedError, VerdictLostError, WqError
from .firmware import FirmwareResult
from .serial import SerialBox, find
from .settings import Settings
from .usage_log import EntryKind, UsageEntry, UsageLog, value_of

__version__ = "0.1.0"
__all__ = [
    "BluetoothBox", "BusyError", "EntryKind", "FirmwareRejectedError", "FirmwareResult",
    "LibraryNotFoundError", "SerialBox", "Settings", "UsageEntry", "UsageLog", "VerdictLostError",
    "WqError", "devices", "find", "value_of",
]

"""Finding libwq and declaring its 38 operations to ctypes.

The library is loaded on first use, not at import, so that ``import wq``
works on a machine without it (documentation, type checks) and the error
says where the library was looked for.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import functools
import os
from ctypes import POINTER, c_char_p, c_double, c_int, c_uint, c_ubyte, c_ulonglong, c_void_p

# Every message buffer the library writes into holds at least this much.
MESSAGE_SIZE = 128

_BTH_ADDR = c_ulonglong  # the 48-bit radio address in a 64-bit value
_SOCKET = c_uint  # a kept Bluetooth connection
_HANDLE = c_int  # a serial handle from wq_ota_open_port
_OUT = c_char_p  # a caller-owned output buffer (create_string_buffer)
_IN = c_char_p  # a zero-terminated input text
_LANG = c_int

# name: (result type, parameter types), in the order of include/wq.h.
_PROTOTYPES: dict[str, tuple[type, tuple[type, ...]]] = {
    "wq_connect_to_box": (c_int, (_OUT,)),
    "wq_force_close_handle": (c_int, (c_int, _OUT, _LANG, _HANDLE)),
    "wq_read_settings": (c_int, (c_int,) + (_OUT,) * 12 + (c_int, _LANG)),
    "wq_write_settings": (
        c_int,
        (c_int,) + (_IN,) * 10 + (_OUT, c_uint, c_int, c_int, c_int, c_uint, _LANG),
    ),
    "wq_default_settings": (c_int, (c_int, _OUT, _LANG)),
    "wq_sync_time": (c_int, (c_int, c_double, _OUT, _LANG)),
    "wq_ota_open_port": (c_int, (c_int, _OUT, _LANG, POINTER(_HANDLE))),
    "wq_ota_start": (c_int, (c_int, _OUT, _LANG, _HANDLE, c_uint, c_uint)),
    "wq_ota_start_xmit": (c_int, (c_int, _OUT, _LANG, _HANDLE)),
    "wq_ota_xmit_data": (c_int, (c_int, _OUT, _LANG, _HANDLE, c_char_p, c_int, c_uint)),
    "wq_ota_confirm_done": (c_int, (c_int, _OUT, _LANG, _HANDLE)),
    "wq_use_data_req": (c_int, (_HANDLE, POINTER(c_uint), _OUT, _LANG)),
    "wq_use_data_fetch": (c_int, (_HANDLE, c_int, c_int) + (_OUT,) * 9 + (_LANG,)),
    "wq_use_data_done": (c_int, (_HANDLE, _OUT, _LANG)),
    "wq_convert_flowrate_to_double": (c_double, (c_char_p, c_int, c_int)),
    "wq_get_device_list": (c_int, (_OUT, c_int, POINTER(c_uint), _OUT, _LANG)),
    "wq_connect_to_bt_device": (c_int, (POINTER(_BTH_ADDR), _IN, _OUT, _LANG)),
    "wq_bt_ota_connect": (c_int, (_BTH_ADDR, POINTER(_SOCKET), _OUT, _LANG)),
    "wq_bt_ota_disconnect": (c_int, (_SOCKET,)),
    "wq_bt_write_settings": (
        c_int,
        (_BTH_ADDR,) + (_IN,) * 13 + (_OUT, c_uint, c_ubyte, c_int, c_uint, c_int, _LANG),
    ),
    "wq_bt_read_settings": (c_int, (_BTH_ADDR,) + (_OUT,) * 15 + (c_int, _LANG)),
    "wq_bt_default_settings": (c_int, (_BTH_ADDR, _OUT, _LANG)),
    "wq_bt_sync_time": (c_int, (_BTH_ADDR, c_ulonglong, _OUT, _LANG)),
    "wq_bt_identify": (c_int, (_BTH_ADDR, _OUT, _LANG)),
    "wq_bt_reset_device": (c_int, (_BTH_ADDR, _OUT, _LANG)),
    "wq_bt_get_usage_setting_cnt": (c_int, (_BTH_ADDR, POINTER(c_uint), _OUT, _LANG)),
    "wq_bt_read_usage_settings": (c_int, (_BTH_ADDR, c_int, c_int, c_void_p, _OUT, _LANG)),
    "wq_bt_write_usage_settings": (c_int, (_BTH_ADDR, c_int, c_int, c_char_p, _OUT, _LANG)),
    "wq_bt_use_data_req": (c_int, (_SOCKET, POINTER(c_uint), _OUT, _LANG)),
    "wq_bt_use_data_fetch": (c_int, (_SOCKET, c_int, c_int) + (_OUT,) * 9 + (c_int, _LANG)),
    "wq_bt_use_data_done": (c_int, (_SOCKET, _OUT, _LANG)),
    "wq_bt_ota_start": (c_int, (_SOCKET, c_uint, c_uint, _OUT, _LANG)),
    "wq_bt_ota_start_xmit": (c_int, (_SOCKET, _OUT, _LANG)),
    "wq_bt_ota_xmit_data": (c_int, (_SOCKET, c_char_p, c_int, c_uint, _OUT, _LANG)),
    "wq_bt_ota_done": (c_int, (_SOCKET, _OUT, _LANG)),
    "wq_bt_ota_reset": (c_int, (_SOCKET, _OUT, _LANG)),
    "wq_bt_read_batt": (c_int, (_BTH_ADDR, POINTER(c_int), _OUT, _LANG)),
    "wq_bt_force_flush": (c_int, (_BTH_ADDR, _OUT, _LANG)),
}


class LibraryNotFoundError(OSError):
    """libwq could not be loaded from any of the places it is looked for."""


def _candidates() -> list[str]:
    explicit = os.environ.get("WQ_LIBRARY")
    if explicit:
        return [explicit]  # asked for one file: no silent fallback to another
    # The installed name first, as the system's loader finds it (on Linux
    # LD_LIBRARY_PATH and the ld.so cache); then what ctypes.util finds,
    # which on Windows searches PATH, where the loader no longer looks.
    found = ctypes.util.find_library("wq")
    return ["wq.dll" if os.name == "nt" else "libwq.so.0"] + ([found] if found else [])


@functools.lru_cache(maxsize=None)
def library() -> ctypes.CDLL:
    """libwq with every operation's prototype declared."""
    reasons = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
        except OSError as error:
            reasons.append(f"{name}: {error}")
            continue
        for operation, (result, parameters) in _PROTOTYPES.items():
            function = getattr(lib, operation)
            function.restype = result
            function.argtypes = parameters
        return lib
    raise LibraryNotFoundError(
        "cannot load libwq (set WQ_LIBRARY to the library's path, or install it so the "
        "loader finds libwq.so.0 or wq.dll): " + "; ".join(reasons)
    )


def message_buffer() -> ctypes.Array[ctypes.c_char]:
    return ctypes.create_string_buffer(MESSAGE_SIZE)


def text_of(buffer: ctypes.Array[ctypes.c_char]) -> str:
    """A zero-terminated single-byte text from the library or the box."""
    return buffer.value.decode("latin-1")

"""The box's user settings as a dataclass, and their conversion to and
from the library's text arguments."""
from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import NamedTuple, Optional, Union

from ._library import text_of

# A number the box sent as text; a text that is not a decimal stays text.
Number = Union[int, str]


@dataclass
class Settings:
    """The box's user settings.

    ``read_settings`` fills every field its record carries. In
    ``write_settings`` a field left ``None`` is not written. Texts take
    Latin-1 characters. ``choice``, ``choice_byte`` and ``choice_number``
    go together: the box does not report ``choice`` or ``choice_byte``, and
    ``choice_byte`` and ``choice_number`` are written with ``choice`` 4 only.
    Over Bluetooth, ``mode`` 3 is address mode: ``address_1`` and
    ``address_2`` take the place of ``text_8``, and ``address_3`` is written
    with ``text_7``.
    """

    text_1: Optional[str] = None
    text_2: Optional[str] = None
    text_3: Optional[str] = None
    text_4: Optional[str] = None
    text_5: Optional[str] = None
    text_6: Optional[str] = None
    text_7: Optional[str] = None
    text_8: Optional[str] = None
    number: Optional[Number] = None
    mode: Optional[Number] = None
    choice: Optional[int] = None
    choice_byte: Optional[int] = None
    choice_number: Optional[Number] = None
    address_1: Optional[str] = None
    address_2: Optional[str] = None
    address_3: Optional[str] = None


class _Text(NamedTuple):
    name: str
    bit: int  # the field's bit in the fields selector
    size: int  # the field's room in the record, its terminator included
    converted: bool  # the library turns the host's UTF-8 into single bytes


_TEXTS = (
    _Text("text_1", 0x0001, 32, True),
    _Text("text_2", 0x0002, 32, True),
    _Text("text_3", 0x0004, 32, False),
    _Text("text_4", 0x0008, 64, True),
    _Text("text_5", 0x0080, 32, True),
    _Text("text_6", 0x0100, 32, False),
    _Text("text_7", 0x0800, 48, False),
    _Text("text_8", 0x1000, 32, False),
)
_SAFE_TEXT_7_SIZE = 40
_TEXT_8_BIT = 0x1000
_NUMBER_BIT = 0x0400
_MODE_BIT = 0x2000
_NUMBER_RANGE = (0, 0xFFFF)
_SAFE_NUMBER_RANGE = (0, 999)  # the safe layout keeps the number as 3 digits
_MODE_RANGE = (-(2**31), 2**31 - 1)
_SAFE_MODE_RANGE = (-999999, 9999999)  # ... and the mode as 7 characters
_CHOICE_WITH_VALUES = 4
_NO_CHOICE = 0xFF  # outside 0..4: the choice fields are left out
ADDRESS_MODE = 3
_ADDRESS_BUFFER = 16  # the library takes 16 bytes of each address argument
_ADDRESS_CHARACTERS = frozenset("0123456789.,")
# Every output of a read is at most 64 bytes; the buffers leave room.
_READ_BUFFER = 128


class WriteArguments(NamedTuple):
    texts: list[bytes]  # text_1..text_8
    number: bytes
    choice_number: bytes
    choice: int
    choice_byte: int
    mode: int
    fields: int
    addresses: list[ctypes.Array[ctypes.c_char]]  # address_1..address_3


def _in_range(name: str, value: object, low: int, high: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise ValueError(f"{name} takes a whole number from {low} to {high}")
    return value


def _encode_text(text: _Text, value: str, safe: bool) -> bytes:
    try:
        single = value.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"{text.name} takes Latin-1 characters only") from None
    size = _SAFE_TEXT_7_SIZE if safe and text.name == "text_7" else text.size
    if len(single) > size - 1 or b"\0" in single:
        raise ValueError(f"{text.name} takes at most {size - 1} characters and no NUL")
    # The library stores a converted field's UTF-8 as single bytes and the
    # others as they come, so either way the box holds Latin-1.
    return value.encode("utf-8") if text.converted else single


def _address(name: str, value: Optional[str]) -> ctypes.Array[ctypes.c_char]:
    text = value or ""
    if len(text) > _ADDRESS_BUFFER - 1 or not set(text) <= _ADDRESS_CHARACTERS:
        raise ValueError(f"{name} takes up to 15 digits and dots, like 192.168.1.10")
    return ctypes.create_string_buffer(text.encode("ascii"), _ADDRESS_BUFFER)


def _address_mode(s: Settings, fields_selector: int) -> tuple[int, int]:
    """Checks the addresses; returns the mode and the fields they add."""
    pair = s.address_1 is not None or s.address_2 is not None
    if pair and (s.address_1 is None or s.address_2 is None):
        raise ValueError("address_1 and address_2 are written together")
    mode = s.mode
    if pair or s.address_3 is not None:
        if mode not in (None, ADDRESS_MODE):
            raise ValueError("the addresses are written in address mode (mode 3)")
        mode = ADDRESS_MODE  # the addresses mean something in address mode only
        fields_selector |= _MODE_BIT
    if mode == ADDRESS_MODE:
        # A field left out of these pairs would be overwritten with nothing.
        if (s.address_3 is None) != (s.text_7 is None):
            raise ValueError("in address mode address_3 is written with text_7")
        if s.text_8 is not None and not pair:
            raise ValueError("in address mode address_1 and address_2 take text_8's place")
        fields_selector &= ~_TEXT_8_BIT
        if pair:
            fields_selector |= _TEXT_8_BIT
    return (0 if mode is None else int(mode)), fields_selector


def write_arguments(s: Settings, *, bluetooth: bool, short: bool = False,
                    safe: bool = False) -> WriteArguments:
    """The library's arguments for writing `s`; ValueError for a value the
    record cannot hold as given."""
    if short and (s.text_8 is not None or s.mode is not None):
        raise ValueError("the short record has no text_8 and no mode")
    if not bluetooth and (s.address_1, s.address_2, s.address_3) != (None, None, None):
        raise ValueError("the addresses are written over Bluetooth only")
    selector = 0
    texts = []
    for text in _TEXTS:
        value = getattr(s, text.name)
        texts.append(b"" if value is None else _encode_text(text, value, safe))
        if value is not None:
            selector |= text.bit
    number = b""
    if s.number is not None:
        number = str(_in_range("number", s.number, *(_SAFE_NUMBER_RANGE if safe else _NUMBER_RANGE))).encode()
        selector |= _NUMBER_BIT
    if s.mode is not None:
        _in_range("mode", s.mode, *(_SAFE_MODE_RANGE if safe else _MODE_RANGE))
        selector |= _MODE_BIT
    mode = 0 if s.mode is None else int(s.mode)
    if bluetooth:
        mode, selector = _address_mode(s, selector)
    choice, choice_byte, choice_number = _NO_CHOICE, 0, b""
    if s.choice is not None:
        choice = _in_range("choice", s.choice, 0, _CHOICE_WITH_VALUES)
    if s.choice_byte is not None and choice != _CHOICE_WITH_VALUES:
        raise ValueError("choice_byte is written with choice 4 only")
    if choice == _CHOICE_WITH_VALUES:
        choice_byte = _in_range("choice_byte", s.choice_byte or 0, 0, 0xFF)
        choice_number = str(_in_range("choice_number", s.choice_number or 0, 0, 0xFFFF)).encode()
    addresses = [_address(f"address_{i}", getattr(s, f"address_{i}")) for i in (1, 2, 3)]
    return WriteArguments(texts, number, choice_number, choice, choice_byte, mode, selector,
                          addresses)


def _number_or_text(text: str) -> Number:
    try:
        return int(text)
    except ValueError:
        return text


class ReadOutputs:
    """The output buffers of a settings read, in parameter order."""

    def __init__(self, bluetooth: bool) -> None:
        names = ["text_1", "text_2", "text_3", "text_4", "number", "choice_number", "text_5",
                 "text_6", "text_7", "text_8", "mode"]
        if bluetooth:
            names += ["address_1", "address_2", "address_3"]
        self.buffers = {name: ctypes.create_string_buffer(_READ_BUFFER) for name in names}

    def settings(self, *, short: bool = False) -> Settings:
        text = {name: text_of(buffer) for name, buffer in self.buffers.items()}
        s = Settings(number=_number_or_text(text["number"]),
                     choice_number=_number_or_text(text["choice_number"]),
                     mode=_number_or_text(text["mode"]))
        for field in _TEXTS:
            setattr(s, field.name, text[field.name])
        if short:  # the short record has neither
            s.text_8 = s.mode = None
        if s.mode == ADDRESS_MODE and "address_1" in text:
            s.address_1, s.address_2, s.address_3 = (text[f"address_{i}"] for i in (1, 2, 3))
        return s

"""The usage-log download: entries as dataclasses, over either link."""
from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass
from types import TracebackType
from typing import Callable, Iterator, Optional, Type

from ._call import LANGUAGE, MESSAGE, LinkBox
from ._library import library, message_buffer, text_of
from .errors import WqError


class EntryKind(str, enum.Enum):
    """What a usage-log entry records."""

    WATER = "water"
    PRODUCT = "product"  # soap, disinfectant, syrup
    OTHER = "other"  # flushes and primes: only the number and usage text carry data
    EMPTY = "empty"  # a slot the box has not filled
    BAD_NUMBER = "bad-number"  # Bluetooth: the entry number was not all digits


# The library's status for each kind, when asked with product_mode 0 so
# that product entries (3) are told apart from water entries (0).
_KINDS = {0: EntryKind.WATER, 1: EntryKind.OTHER, 2: EntryKind.EMPTY, 3: EntryKind.PRODUCT,
          9: EntryKind.BAD_NUMBER}
PRODUCT_MODE_APART = 0
# A count beyond this is not believed: a box that answers the count request
# with the wrong bytes would have the download run for days.
MOST_ENTRIES = 1_000_000
WATER_VARIANT_CARBONATED = 0
WATER_VARIANT_AMBIENT = 2


@dataclass(frozen=True)
class UsageEntry:
    """One entry of the usage log. The values are the box's texts, which
    the library passes on unread; ``wq.value_of`` reads a number from one."""

    number: str
    kind: EntryKind
    usage: str
    water_value: str
    water_value_2: str
    water_value_3: str
    product_value_1: str
    product_value_2: str
    key: str


# The eight outputs of one fetch, in parameter order, at the sizes the library fills.
_OUTPUT_SIZES = (32, 16, 32, 8, 8, 8, 8, 40)


class FetchOutputs:
    def __init__(self) -> None:
        self.buffers = [ctypes.create_string_buffer(size) for size in _OUTPUT_SIZES]

    def entry(self, status: int) -> UsageEntry:
        number, water, usage, product_1, product_2, water_2, water_3, key = (
            text_of(b) for b in self.buffers
        )
        kind = _KINDS.get(status)
        if kind is None:
            raise WqError(status, f"unknown entry status {status}", "usage log")
        return UsageEntry(number, kind, usage, water, water_2, water_3, product_1, product_2, key)

    def link_failed(self, status: int) -> bool:
        # Status 1 is also how a fetch reports a broken link; then it wrote
        # no usage text, which every entry has.
        return status == 1 and not self.buffers[2].value


class LogLink:
    """A link held for a download; each link fills in the fetch and the end."""

    operation: str  # the fetch's C name, for errors
    count_operation: str  # the count request's
    can_repeat: bool  # the link can ask for the last entry again

    def __init__(self, box: LinkBox, link: int, water_variant: int) -> None:
        self.box = box
        self.link = link  # a serial handle or a Bluetooth socket
        self.water_variant = water_variant

    def count(self) -> int:
        count = ctypes.c_uint()
        self.box._call(self.count_operation, self.link, ctypes.byref(count), MESSAGE, LANGUAGE)
        return count.value

    def fetch(self, outputs: FetchOutputs, message: ctypes.Array[ctypes.c_char],
              repeat: bool) -> int:
        raise NotImplementedError

    def end(self) -> None:
        """Ends the download and closes the link, on every outcome."""
        raise NotImplementedError


class UsageLog:
    """The usage-log download on a held link.

    Iterate over it for the entries. Used as a context manager it holds the
    link from ``with`` to the end of the block, which ends the download and
    closes the link whatever happens; iterated without ``with``, it opens the
    link itself and closes it when the loop ends or the iterator is dropped.
    """

    def __init__(self, open_link: Callable[[], LogLink]) -> None:
        self._open_link = open_link
        self._link: Optional[LogLink] = None
        self.count: Optional[int] = None  # the box's entry count, once asked

    def __enter__(self) -> "UsageLog":
        self._start()
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self._finish(quiet=kind is not None)

    def __iter__(self) -> Iterator[UsageEntry]:
        owned = self._link is None
        if owned:
            self._start()
        try:
            for _ in range(self.count or 0):
                yield self._next()
        except BaseException:
            if owned:
                self._finish(quiet=True)
            raise
        if owned:
            self._finish(quiet=False)

    def _start(self) -> None:
        if self._link is not None:
            raise RuntimeError("the usage log is already being downloaded")
        self._link = self._open_link()
        try:
            self.count = self._link.count()
            if self.count > MOST_ENTRIES:
                raise WqError(0, f"the box reports {self.count} entries, more than {MOST_ENTRIES}",
                              self._link.count_operation)
        except BaseException:
            self._finish(quiet=True)
            raise

    def _next(self) -> UsageEntry:
        assert self._link is not None
        outputs, message = FetchOutputs(), message_buffer()
        status = self._link.fetch(outputs, message, False)
        if outputs.link_failed(status) and self._link.can_repeat:
            # Asking again with `repeat` has the box send its last entry
            # again rather than skip one.
            outputs, message = FetchOutputs(), message_buffer()
            status = self._link.fetch(outputs, message, True)
        if outputs.link_failed(status):
            raise WqError(status, text_of(message), self._link.operation)
        return outputs.entry(status)

    def _finish(self, quiet: bool) -> None:
        """Ends the download and closes the link; an error of the end
        request is raised only when nothing else went wrong first."""
        link, self._link = self._link, None
        if link is None:
            return
        try:
            link.end()
        except WqError:
            if not quiet:
                raise


# The library reads at most 7 characters of a value: an 8-byte record field.
_VALUE_CHARACTERS = 7


def value_of(text: str) -> float:
    """The number at the start of a usage-log value text, as the library
    reads it (0.0 when there is none)."""
    raw = text.encode("latin-1")[:_VALUE_CHARACTERS]
    return float(library().wq_convert_flowrate_to_double(raw, len(raw), _VALUE_CHARACTERS))

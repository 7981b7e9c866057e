"""What both links' firmware updates share: the control values, the chunk
loop with its progress report, and the reading of the box's verdict."""
from __future__ import annotations

import zlib
from dataclasses import dataclass
from typing import Callable, Optional

from .errors import WqError, verdict_error

# Called after every chunk with the bytes sent so far and the image's length.
Progress = Callable[[int, int], None]

# Serial chunks: one chunk is one write, cut off by the 200 ms write
# time-out; 512 bytes take 89 ms at 57600 baud, leaving room for a USB
# adapter's latency.
SERIAL_CHUNK_SIZE = 512
# Bluetooth chunks: one chunk is one send, and a send that takes only part
# of a chunk goes unreported; 1024 bytes fit the 4096-byte send buffer.
BT_CHUNK_SIZE = 1024
# The length travels as a 32-bit control value.
_LARGEST_IMAGE = 0xFFFFFFFF


@dataclass(frozen=True)
class FirmwareResult:
    """An update the box verified."""

    length: int  # control value 1
    crc32: int  # control value 2: zlib's CRC-32 of the image
    chunk_size: int


def control_values(image: bytes) -> tuple[int, int]:
    """The image's length and CRC-32, as the box expects them."""
    if not image:
        raise ValueError("the firmware image is empty")
    if len(image) > _LARGEST_IMAGE:
        raise ValueError("the firmware image is larger than 4 GiB")
    return len(image), zlib.crc32(image) & 0xFFFFFFFF


def send_chunks(image: bytes, chunk_size: int, send: Callable[[int, int], object],
                progress: Optional[Progress]) -> None:
    """Sends the image with send(offset, length), chunk after chunk."""
    for offset in range(0, len(image), chunk_size):
        length = min(chunk_size, len(image) - offset)
        send(offset, length)
        if progress is not None:
            progress(offset + length, len(image))


def final_step(verify: Callable[[], object]) -> None:
    """Runs the final verify; its failure becomes the verdict's exception."""
    try:
        verify()
    except WqError as error:
        raise verdict_error(error.operation, error.status, error.message) from None

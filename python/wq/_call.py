"""One library call: a fresh message buffer, the language flag, and an
exception when the status says the call failed."""
from __future__ import annotations

from datetime import datetime, timezone
from typing import Any, Optional

from ._library import library, message_buffer, text_of
from .errors import error_for

# Placeholders for the arguments every operation takes somewhere in its list.
MESSAGE = object()
LANGUAGE = object()


def call(operation: str, *args: Any, german: bool) -> str:
    """Runs `operation`; returns its message, raises WqError when it failed."""
    message = message_buffer()
    values = [message if a is MESSAGE else int(german) if a is LANGUAGE else a for a in args]
    status = getattr(library(), operation)(*values)
    if status != 0:
        raise error_for(operation, status, text_of(message))
    return text_of(message)


class LinkBox:
    """What a box over either link shares: the message language."""

    def __init__(self, *, german: bool = False) -> None:
        self.german = german  # the library's messages in German, else English

    def _call(self, operation: str, *args: Any) -> str:
        return call(operation, *args, german=self.german)

    @property
    def _language(self) -> int:
        return int(self.german)


def clock_seconds(when: Optional[datetime], limit: int) -> int:
    """Whole seconds since 1970-01-01 00:00 UTC; a naive datetime is local time."""
    seconds = int((when or datetime.now(timezone.utc)).timestamp())
    if not 0 <= seconds <= limit:
        raise ValueError(f"the clock takes a time from 1970 to {limit} seconds after it")
    return seconds

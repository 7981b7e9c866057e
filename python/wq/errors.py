"""The exceptions a failed operation raises."""
from __future__ import annotations

# The box's "in use" refusals (settings write and restore, usage-settings
# write, flush) are the only messages with these words, in either language.
_BUSY_WORDS = ("Reason: in", "Grund: ")
# A final firmware step that failed with one of these words failed on the
# box's own answer; without them the answer never arrived.
_VERDICT_WORDS = ("Invalid", "Ung\xfcltig")


class WqError(Exception):
    """An operation of the library failed.

    Attributes:
        status: the library's status code (1 for most failures).
        message: the library's message, decoded from Latin-1, in the
            language the box object was made with.
        operation: the C function that failed, such as ``wq_read_settings``.
    """

    def __init__(self, status: int, message: str, operation: str) -> None:
        super().__init__(f"{operation} failed: {message}" if message else f"{operation} failed")
        self.status = status
        self.message = message
        self.operation = operation


class BusyError(WqError):
    """The box is in use and refused the change; ask again when it is free."""


class FirmwareRejectedError(WqError):
    """The box received the image and refused it at the final check."""


class VerdictLostError(WqError):
    """The image went out whole but the box's final answer never came.

    The box may have accepted the image: check its firmware version before
    sending it again.
    """


def error_for(operation: str, status: int, message: str) -> WqError:
    if any(word in message for word in _BUSY_WORDS):
        return BusyError(status, message, operation)
    return WqError(status, message, operation)


def verdict_error(operation: str, status: int, message: str) -> WqError:
    """The failure of an update's final step: a refusal, or a lost answer."""
    if any(word in message for word in _VERDICT_WORDS):
        return FirmwareRejectedError(status, message, operation)
    return VerdictLostError(status, message, operation)

"""The binding against wqbox. WQ_LIBRARY names the libwq under test and
WQ_WQBOX the emulator (ctest sets both)."""
import os

import pytest

from wq.testing import Box

LINKS = ("serial", "bluetooth")


@pytest.fixture
def sim():
    with Box() as box:
        yield box


def open_descriptors() -> int:
    """This process's open files: a link left open shows up here."""
    return len(os.listdir("/proc/self/fd"))

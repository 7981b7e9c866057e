"""The multi-call sequences: the usage log and the firmware update, their
results, their failures, and the link closed on every path."""
import zlib
from itertools import islice

import pytest

import wq
from wq.bluetooth import _BluetoothLog
from wq.usage_log import EntryKind, FetchOutputs

from conftest import LINKS, open_descriptors


@pytest.mark.parametrize("link", LINKS)
def test_the_usage_log_comes_entry_by_entry_with_its_kind(sim, link):
    with getattr(sim, link)().usage_log(ambient_water=True) as log:
        entries = list(log)
    assert log.count == len(entries) == 24
    assert [e.number for e in entries[:3]] == ["1", "2", "3"]
    assert [entries[n - 1].kind for n in (1, 4, 5, 10)] == [EntryKind.WATER, EntryKind.PRODUCT,
                                                           EntryKind.OTHER, EntryKind.EMPTY]
    assert "Ambient Water" in {e.usage for e in entries}


def stop_with_an_error(log):
    with log:
        next(iter(log))
        raise KeyError("the caller's own failure")


@pytest.mark.parametrize("link, faults, stop, error", [
    ("serial", [], lambda log: list(islice(log, 2)), None),  # a reader that stops early
    ("bluetooth", [], stop_with_an_error, KeyError),
    ("serial", ["usage-start:drop@1"], list, wq.WqError),
    ("bluetooth", ["BTUDAT_STR:drop"], list, wq.WqError),
    ("serial", ["usage-count:drop"], list, wq.WqError),
    ("serial", ["usage-count:word"], list, wq.WqError),  # a count past belief
])
def test_the_download_closes_its_link_on_every_path(link, faults, stop, error):
    with wq.testing.Box(faults=faults) as sim:
        box = getattr(sim, link)()
        before = open_descriptors()
        if error is None:
            stop(box.usage_log())
        else:
            with pytest.raises(error):
                stop(box.usage_log())
        assert open_descriptors() == before
        box.read_settings()  # a serial port still held would not open again


def test_a_bluetooth_entry_lost_on_its_way_is_asked_for_again(sim, monkeypatch):
    # The box sends entry 2 but the host never gets it: asked again with
    # `repeat`, the box sends it again rather than entry 3.
    fetch, repeats = _BluetoothLog.fetch, []

    def second_entry_lost(log, outputs, message, repeat):
        repeats.append(repeat)
        if len(repeats) == 2:
            fetch(log, FetchOutputs(), message, repeat)
            return 1
        return fetch(log, outputs, message, repeat)

    monkeypatch.setattr(_BluetoothLog, "fetch", second_entry_lost)
    entries = list(sim.bluetooth().usage_log())
    assert repeats[:4] == [False, False, True, False]
    assert [e.number for e in entries[:3]] == ["1", "2", "3"]


@pytest.mark.parametrize("link, chunk", [("serial", 512), ("bluetooth", 1024)])
def test_a_firmware_update_reports_progress_and_the_box_verifies_it(sim, link, chunk):
    image = bytes(range(256)) * 10 + b"tail"
    reports = []
    result = getattr(sim, link)().update_firmware(image, lambda *sent: reports.append(sent))
    assert result == wq.FirmwareResult(len(image), zlib.crc32(image), chunk)
    assert reports == [(min(n, len(image)), len(image)) for n in range(chunk, len(image) + chunk, chunk)]
    assert f"{len(image)} bytes verified" in sim.transcript()


@pytest.mark.parametrize("link, fault, error, operation", [
    ("serial", "ota-verify:word", wq.FirmwareRejectedError, "wq_ota_confirm_done"),
    ("bluetooth", "BT_OTA_DNE:drop", wq.VerdictLostError, "wq_bt_ota_done"),
    ("serial", "ota-control:silent", wq.WqError, "wq_ota_start"),
])
def test_a_failed_update_says_where_and_closes_its_link(link, fault, error, operation):
    with wq.testing.Box(faults=[fault]) as sim:
        box = getattr(sim, link)()
        before = open_descriptors()
        with pytest.raises(wq.WqError) as raised:
            box.update_firmware(b"image" * 300)
        assert (type(raised.value), raised.value.operation) == (error, operation)
        assert open_descriptors() == before
        box.read_settings()

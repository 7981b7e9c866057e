"""The multi-call sequences: the usage log and the firmware update, their
results, their failures, and the link closed on every path."""
import zlib

import pytest

import wq
from wq.usage_log import EntryKind

from conftest import LINKS, open_descriptors


def expected_kind(entry):
    # The library fills a water entry's product values with "0", a product
    # entry's water values, and leaves an other entry's values empty.
    if not entry.key:
        return EntryKind.EMPTY
    if entry.product_value_1 == "0":
        return EntryKind.WATER
    return EntryKind.PRODUCT if entry.water_value == "0" else EntryKind.OTHER


@pytest.mark.parametrize("link", LINKS)
def test_the_usage_log_comes_entry_by_entry_with_its_kind(sim, link):
    with getattr(sim, link)().usage_log(ambient_water=True) as log:
        entries = list(log)
    assert log.count == len(entries) == 24
    assert [e.number for e in entries if e.kind is not EntryKind.EMPTY][:3] == ["1", "2", "3"]
    assert all(e.kind is expected_kind(e) for e in entries)
    assert {e.kind for e in entries} == {EntryKind.WATER, EntryKind.PRODUCT, EntryKind.OTHER,
                                         EntryKind.EMPTY}
    assert "Ambient Water" in {e.usage for e in entries}


def stop_after_two(log):
    for i, _ in enumerate(log):
        if i == 1:
            break


def stop_with_an_error(log):
    with log:
        next(iter(log))
        raise KeyError("the caller's own failure")


@pytest.mark.parametrize("link, faults, stop, error", [
    ("serial", [], stop_after_two, None),
    ("bluetooth", [], stop_after_two, None),
    ("serial", [], stop_with_an_error, KeyError),
    ("bluetooth", [], stop_with_an_error, KeyError),
    ("serial", ["usage-start:drop@1"], list, wq.WqError),
    ("bluetooth", ["BTUDAT_STR:drop"], list, wq.WqError),
    ("serial", ["usage-count:drop"], list, wq.WqError),
    ("serial", ["usage-count:word"], list, wq.WqError),  # a count past belief
    ("bluetooth", ["BTUDAT_STR:silent@1"], list, None),  # asked again, and answered
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
    ("bluetooth", "BT_OTA_DNE:word", wq.FirmwareRejectedError, "wq_bt_ota_done"),
    ("serial", "ota-verify:silent", wq.VerdictLostError, "wq_ota_confirm_done"),
    ("bluetooth", "BT_OTA_DNE:drop", wq.VerdictLostError, "wq_bt_ota_done"),
    ("serial", "ota-control:silent", wq.WqError, "wq_ota_start"),
    ("bluetooth", "BT_OTA_STR:word", wq.WqError, "wq_bt_ota_start_xmit"),
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

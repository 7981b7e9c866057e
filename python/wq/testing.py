"""The emulated box for testing scripts without hardware.

    from wq.testing import Box
    with Box(faults=["BTWRTE_REQ:busy@1"]) as sim:
        box = sim.serial()               # or sim.bluetooth()
        print(box.read_settings())

``Box`` runs the ``wqbox`` program in a temporary directory and points this
process's ``WQ_COM_DIR`` and ``WQ_BT_DIR`` at it until the ``with`` block
ends. The program is the `wqbox` argument, else ``$WQ_WQBOX``, else
``wqbox`` on ``PATH`` (``cmake --install`` puts it there).
"""
from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import TracebackType
from typing import Optional, Sequence, Type

from .bluetooth import BluetoothBox, format_address, parse_address
from .serial import SerialBox

# Generous: the program only has to create a pty and a socket.
_START_SECONDS = 10.0
_STOP_SECONDS = 10.0
_POLL_SECONDS = 0.01
_LINK_VARIABLES = ("WQ_COM_DIR", "WQ_BT_DIR")


def _program(wqbox: Optional[str]) -> str:
    program = wqbox or os.environ.get("WQ_WQBOX") or shutil.which("wqbox")
    if not program:
        raise FileNotFoundError("wqbox not found: pass wqbox=PATH, set WQ_WQBOX, or put it on PATH")
    return program


class Box:
    """A running ``wqbox`` serving COM `port` and the Bluetooth device
    `address` named `name`.

    `faults` are wqbox's ``REQUEST:KIND[:ARG][@TIMES]`` texts, `baud` paces
    both links at that line rate, `in_use` has the box refuse changes as
    busy, and `options` are further wqbox options, as on its command line.
    """

    def __init__(self, *, port: int = 1, address: str = "00:11:22:33:44:AA",
                 name: str = "WQ Box", faults: Sequence[str] = (), baud: Optional[int] = None,
                 in_use: bool = False, options: Sequence[str] = (),
                 wqbox: Optional[str] = None) -> None:
        self.port = port
        self.address = format_address(parse_address(address))
        self.name = name
        self._command = [_program(wqbox), "-v", "--com", str(port), "--bt-address", self.address,
                         "--name", name]
        for fault in faults:
            self._command += ["--fault", fault]
        if baud is not None:
            self._command += ["--baud", str(baud)]
        if in_use:
            self._command.append("--in-use")
        self._command += list(options)
        self._directory: Optional[tempfile.TemporaryDirectory[str]] = None
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._saved: dict[str, Optional[str]] = {}

    @property
    def directory(self) -> Path:
        """Where the links are: this process's WQ_COM_DIR and WQ_BT_DIR."""
        if self._directory is None:
            raise RuntimeError("the box is not running")
        return Path(self._directory.name)

    def serial(self, *, german: bool = False) -> SerialBox:
        return SerialBox(self.port, german=german)

    def bluetooth(self, *, german: bool = False) -> BluetoothBox:
        return BluetoothBox(self.address, german=german)

    def transcript(self) -> str:
        """What the box saw and did so far, a line for each read, write and decision."""
        return (self.directory / "transcript.txt").read_text(encoding="latin-1")

    def __enter__(self) -> "Box":
        self._directory = tempfile.TemporaryDirectory(prefix="wqbox-")
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _start(self) -> None:
        directory = self.directory
        for variable in _LINK_VARIABLES:
            self._saved[variable] = os.environ.get(variable)
            os.environ[variable] = str(directory)
        with open(directory / "transcript.txt", "wb") as out, open(directory / "wqbox.err", "wb") as err:
            self._process = subprocess.Popen(self._command, stdin=subprocess.DEVNULL, stdout=out,
                                             stderr=err)
        # wqbox names each link on stderr once it is served.
        links = [str(directory / f"COM{self.port}"), str(directory / self.address)]
        deadline = time.monotonic() + _START_SECONDS
        while True:
            said = (directory / "wqbox.err").read_text(encoding="latin-1", errors="replace")
            if all(link in said for link in links):
                return
            if self._process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"wqbox did not start: {' '.join(self._command)}: {said.strip()}")
            time.sleep(_POLL_SECONDS)

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        process, self._process = self._process, None
        if process is not None and process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(_STOP_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for variable, saved in self._saved.items():
            if saved is None:
                os.environ.pop(variable, None)
            else:
                os.environ[variable] = saved
        self._saved = {}
        if self._directory is not None:
            self._directory.cleanup()
            self._directory = None


def main(arguments: Sequence[str]) -> int:
    """python3 -m wq.testing [WQBOX-OPTION... --] PROGRAM [ARGUMENT...]

    Runs a host program against a fresh emulated box on COM1 and at
    00:11:22:33:44:AA ("WQ Box"), and exits with the program's status."""
    options: Sequence[str] = ()
    if "--" in arguments:
        split = list(arguments).index("--")
        options, arguments = arguments[:split], arguments[split + 1:]
    if not arguments:
        print(main.__doc__, file=sys.stderr)
        return 2
    with Box(options=options):
        return subprocess.run(list(arguments)).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

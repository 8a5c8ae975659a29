"""Python access to the NVDevices library.

The attached Norvane instruments, each with its id, serial number and
hardware identifier, and the manufacturing record the library looks up for
it::

    import nvdevices
    for instrument in nvdevices.list():
        print(instrument.id, instrument.serial, instrument.hardware_id)
        print(instrument.record())

The library is found through ``NVDEVICES_LIBRARY`` (a path), else by its
name on the system's search path (``libNVDevices.so.1`` / ``NVDevices.dll``);
``load(path)`` chooses one explicitly. Every environment variable of the
library (``NVDEVICES_DEVICE_ROOT``, ``NVDEVICES_DATABASE_URL`` ...) applies.
"""

from __future__ import annotations

import builtins
import ctypes
import enum
import os
import sys
import threading
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Optional

__all__ = [
    "HardwareId",
    "Instrument",
    "LibraryError",
    "ManufacturingRecord",
    "NVDevicesError",
    "RecordError",
    "ResultCode",
    "list",
    "load",
]

# Room for instruments that arrive between counting and listing.
_EXTRA_IDS = 16


class NVDevicesError(Exception):
    """Base of the errors this package raises."""


class LibraryError(NVDevicesError):
    """The library could not be loaded, or lacks one of its four functions."""


class ResultCode(enum.IntEnum):
    """The result codes of the manufacturing-record lookup."""

    OK = 0
    NO_DEVICE = 1
    NO_CONNECTION = 2
    NO_RECORD = 3
    SERIAL_MISMATCH = 4
    NO_CALIBRATION = 5

    @property
    def meaning(self) -> str:
        """The code's meaning, as the host tool prints it."""
        return _MEANINGS[self]


_MEANINGS = {
    ResultCode.OK: "record found",
    ResultCode.NO_DEVICE: "no such instrument",
    ResultCode.NO_CONNECTION: "database not reachable",
    ResultCode.NO_RECORD: "no record for this hardware id",
    ResultCode.SERIAL_MISMATCH: "record has another serial number",
    ResultCode.NO_CALIBRATION: "calibration block not readable",
}


class RecordError(NVDevicesError):
    """The lookup answered with a code other than OK."""

    def __init__(self, instrument_id: int, code: int) -> None:
        self.instrument_id = instrument_id
        try:
            self.code: ResultCode | int = ResultCode(code)
            meaning = self.code.meaning
        except ValueError:
            self.code = code
            meaning = "unknown result"
        super().__init__(f"instrument {instrument_id}: {code} {meaning}")


@dataclass(frozen=True)
class HardwareId:
    """The 12-byte hardware identifier: three little-endian words."""

    bytes: builtins.bytes

    @property
    def words(self) -> tuple[int, int, int]:
        """The low, middle and high words."""
        b = self.bytes
        return tuple(int.from_bytes(b[i : i + 4], "little") for i in (0, 4, 8))  # type: ignore[return-value]

    @property
    def text(self) -> str:
        """The words as "%06X-%06X-%06X", or "%08X" each when one is wider."""
        words = self.words
        width = 8 if any(w > 0xFFFFFF for w in words) else 6
        return "-".join(f"{w:0{width}X}" for w in words)

    def __str__(self) -> str:
        return self.text


@dataclass(frozen=True)
class ManufacturingRecord:
    """An instrument's manufacturing record, as the lookup found it."""

    code: ResultCode
    programming_date: Optional[datetime]
    calibration_date: Optional[datetime]
    tests_passed: bool
    calibration_matches: bool


@dataclass(frozen=True)
class Instrument:
    """One attached instrument, as the library lists it."""

    id: int
    serial: str
    hardware_id: Optional[HardwareId]

    def record(self) -> ManufacturingRecord:
        """Looks up the manufacturing record; RecordError when there is none."""
        return _library().record(self.id)


def _utc(seconds: int) -> Optional[datetime]:
    """Seconds since 1970 in UTC as a datetime; None for 0 (no date)."""
    return datetime.fromtimestamp(seconds, timezone.utc) if seconds else None


class _Library:
    """The loaded library and its four functions."""

    def __init__(self, path: str) -> None:
        try:
            # The four functions are __stdcall on Windows; x64 has one calling
            # convention, so CDLL serves both systems.
            dll = ctypes.CDLL(path)
        except OSError as error:
            raise LibraryError(f"cannot load the NVDevices library '{path}': {error}") from None
        u32, u8 = ctypes.c_uint32, ctypes.c_uint8
        signatures = {
            "GetDeviceList": [ctypes.POINTER(u32)],
            "GetDeviceSerial": [u32, ctypes.c_char_p],
            "GetDeviceMCUId": [u32, ctypes.POINTER(u8)],
            "GetDeviceDatabaseInfo": [u32] + [ctypes.POINTER(u8)] * 2 + [ctypes.POINTER(u32)] * 2,
        }
        for name, arguments in signatures.items():
            try:
                function = getattr(dll, name)
            except AttributeError:
                raise LibraryError(f"'{path}' has no function {name}") from None
            function.argtypes = arguments
            function.restype = u32
        self.path = path
        self._dll = dll

    def list(self) -> builtins.list[Instrument]:
        """The instruments listed now, in the library's order."""
        count = self._dll.GetDeviceList(None)
        ids = (ctypes.c_uint32 * (count + _EXTRA_IDS))()
        listed = min(self._dll.GetDeviceList(ids), count + _EXTRA_IDS)
        return [self.instrument(ids[i]) for i in range(listed)]

    def instrument(self, instrument_id: int) -> Instrument:
        """The serial number and hardware identifier of one id."""
        size = self._dll.GetDeviceSerial(instrument_id, None)
        serial = ""
        if size > 0:
            buffer = ctypes.create_string_buffer(size)
            if self._dll.GetDeviceSerial(instrument_id, buffer) == size:
                serial = buffer.value.decode("utf-8", errors="replace")
        raw = (ctypes.c_uint8 * 12)()
        valid = self._dll.GetDeviceMCUId(instrument_id, raw) == 12
        return Instrument(instrument_id, serial, HardwareId(bytes(raw)) if valid else None)

    def record(self, instrument_id: int) -> ManufacturingRecord:
        """The lookup of one id; RecordError for every code but OK."""
        test, calibration = ctypes.c_uint8(), ctypes.c_uint8()
        programmed, calibrated = ctypes.c_uint32(), ctypes.c_uint32()
        code = self._dll.GetDeviceDatabaseInfo(
            instrument_id,
            ctypes.byref(test),
            ctypes.byref(calibration),
            ctypes.byref(programmed),
            ctypes.byref(calibrated),
        )
        if code != ResultCode.OK:
            raise RecordError(instrument_id, code)
        return ManufacturingRecord(
            ResultCode.OK,
            _utc(programmed.value),
            _utc(calibrated.value),
            test.value == 1,
            calibration.value == 1,
        )


_loaded: Optional[_Library] = None
_lock = threading.Lock()


def _default_path() -> str:
    """NVDEVICES_LIBRARY, else the library's name on the search path."""
    chosen = os.environ.get("NVDEVICES_LIBRARY", "")
    if chosen:
        return chosen
    return "NVDevices.dll" if sys.platform == "win32" else "libNVDevices.so.1"


def load(path: Optional[str] = None) -> None:
    """Loads the library from `path` (default: NVDEVICES_LIBRARY or the name)."""
    global _loaded
    library = _Library(path or _default_path())
    with _lock:
        _loaded = library


def _library() -> _Library:
    """The loaded library, loading the default one on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _Library(_default_path())
        return _loaded


def list() -> builtins.list[Instrument]:  # noqa: A001 - the package's own listing
    """The attached instruments, brought up to date."""
    return _library().list()

"""The binding against the simulator's demo instruments and the test database.

run_tests.sh starts nvsim with tools/nvdevices/demo/instruments.conf, fills the
database from manufacturing.sql and points the library at both.
"""

from __future__ import annotations

import os
import unittest
from datetime import datetime, timezone

import nvdevices


class Listing(unittest.TestCase):
    def test_instruments_with_serial_and_hardware_id(self) -> None:
        instruments = {i.serial: i for i in nvdevices.list()}
        self.assertEqual(len(instruments), 3, instruments)
        bench = instruments["NV2-240117"]
        self.assertIsInstance(bench.id, int)
        self.assertGreater(bench.id, 0)
        hardware = bench.hardware_id
        assert hardware is not None
        self.assertEqual(hardware.words, (0x00341A07, 0x0051C2E3, 0x00000017))
        self.assertEqual(hardware.bytes, bytes.fromhex("071A3400 E3C25100 17000000"))
        self.assertEqual(hardware.text, "341A07-51C2E3-000017")
        # A word wider than 24 bits widens every word of the text.
        lab = instruments["NV3-250302"].hardware_id
        assert lab is not None
        self.assertEqual(lab.text, "2E00471C-33385106-A0353935")
        # Listing again keeps the ids of instruments that stayed.
        again = {i.serial: i.id for i in nvdevices.list()}
        self.assertEqual(again, {s: i.id for s, i in instruments.items()})


class Records(unittest.TestCase):
    def setUp(self) -> None:
        self.by_serial = {i.serial: i for i in nvdevices.list()}

    def test_full_match_as_dataclass_with_utc_datetimes(self) -> None:
        record = self.by_serial["NV2-240117"].record()
        self.assertIs(record.code, nvdevices.ResultCode.OK)
        self.assertEqual(
            record.programming_date, datetime(2024, 1, 17, 9, 30, tzinfo=timezone.utc)
        )
        self.assertEqual(
            record.calibration_date, datetime(2025, 1, 20, 14, 5, tzinfo=timezone.utc)
        )
        self.assertTrue(record.tests_passed)
        self.assertTrue(record.calibration_matches)

    def test_failures_raise_with_code_and_meaning(self) -> None:
        cases = [
            (self.by_serial["NV3-250302"], nvdevices.ResultCode.SERIAL_MISMATCH,
             "record has another serial number"),
            (next(i for s, i in self.by_serial.items() if s not in ("NV2-240117", "NV3-250302")),
             nvdevices.ResultCode.NO_RECORD, "no record for this hardware id"),
            (nvdevices.Instrument(0xFFFFFFF0, "none", None), nvdevices.ResultCode.NO_DEVICE,
             "no such instrument"),
        ]
        for instrument, code, meaning in cases:
            with self.subTest(code=code):
                with self.assertRaises(nvdevices.RecordError) as caught:
                    instrument.record()
                self.assertIs(caught.exception.code, code)
                self.assertEqual(code.meaning, meaning)
                self.assertIn(f"{int(code)} {meaning}", str(caught.exception))
                self.assertIsInstance(caught.exception, nvdevices.NVDevicesError)


class Loading(unittest.TestCase):
    def test_missing_library_or_function_is_a_library_error(self) -> None:
        with self.assertRaises(nvdevices.LibraryError) as caught:
            nvdevices.load("/nonexistent/libNVDevices.so.1")
        self.assertIn("/nonexistent/libNVDevices.so.1", str(caught.exception))
        # A real shared library without the four functions.
        with self.assertRaises(nvdevices.LibraryError) as caught:
            nvdevices.load("libm.so.6")
        self.assertIn("GetDeviceList", str(caught.exception))
        # The library loaded before stays in use after a failed load.
        self.assertEqual(len(nvdevices.list()), 3)
        nvdevices.load(os.environ["NVDEVICES_LIBRARY"])
        self.assertEqual(len(nvdevices.list()), 3)


if __name__ == "__main__":
    unittest.main()

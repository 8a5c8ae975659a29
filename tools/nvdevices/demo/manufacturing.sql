-- Manufacturing records of the demo's simulated instruments
-- (instruments.conf), loaded by scripts/demo into the Norvane table of its
-- private MariaDB server. The hardware-identifier words are stored as signed
-- numbers, as the library selects them.
DELETE FROM Norvane WHERE (HWIdLow, HWIdMid, HWIdHigh) IN
  ((3414535, 5358307, 23), (771770140, 859328774, -1607124683), (291, 1110, 1929));

-- nv2-bench: everything matches. The last test run by name (Run 2) has an
-- empty "T" (no failure); bytes 4-15 of the stored calibration data are the
-- instrument's calibration block after its 4-byte header.
INSERT INTO Norvane (HWIdLow, HWIdMid, HWIdHigh, SerialNumber, HomeProgrammingDate,
                     CalibrationDate, TestResults, CalibrationData)
VALUES (3414535, 5358307, 23, 'NV2-240117', '2024-01-17 09:30:00', '2025-01-20 14:05:00',
        '[2024-01-17 Run 1]\nT=E4 offset out of range\n[2024-01-18 Run 2]\nT=\n',
        X'0000001401102030405060708090A0B0DEADBEEF');

-- nv3-lab: a record under its hardware id, but for another serial number.
INSERT INTO Norvane (HWIdLow, HWIdMid, HWIdHigh, SerialNumber, HomeProgrammingDate,
                     CalibrationDate, TestResults, CalibrationData)
VALUES (771770140, 859328774, -1607124683, 'NV3-250320', '2025-03-02 11:00:00', NULL,
        '[Run 1]\nT=\n', X'0000000C02112131DEADBEEF');

-- nv2-service (hardware id 000123-000456-000789): no record.

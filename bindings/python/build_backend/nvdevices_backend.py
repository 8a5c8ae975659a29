"""A build backend (PEP 517) for this one pure-Python package.

It writes a wheel of the ``nvdevices`` folder and its metadata from
pyproject.toml with the standard library alone, so installing from the
repository works without a package index.
"""

from __future__ import annotations

import base64
import hashlib
import os
import tomllib
import zipfile
from pathlib import Path
from typing import Any

_ROOT = Path(__file__).resolve().parent.parent
_PACKAGE = "nvdevices"
_TAG = "py3-none-any"


def _project() -> dict[str, Any]:
    """The [project] table of pyproject.toml."""
    with open(_ROOT / "pyproject.toml", "rb") as file:
        project: dict[str, Any] = tomllib.load(file)["project"]
    return project


def _metadata(project: dict[str, Any]) -> str:
    """The METADATA file (core metadata 2.1) of the project."""
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    readme = _ROOT / str(project.get("readme", "README.md"))
    body = readme.read_text(encoding="utf-8") if readme.exists() else ""
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + body


def _record_line(name: str, data: bytes) -> str:
    """One RECORD row: the file, its urlsafe SHA-256 and its size."""
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _dist_info(project: dict[str, Any]) -> str:
    """The name of the wheel's .dist-info folder."""
    return f"{project['name']}-{project['version']}.dist-info"


def get_requires_for_build_wheel(config_settings: dict[str, Any] | None = None) -> list[str]:
    """Nothing beyond the standard library is needed."""
    return []


def get_requires_for_build_sdist(config_settings: dict[str, Any] | None = None) -> list[str]:
    """Nothing beyond the standard library is needed."""
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: dict[str, Any] | None = None) -> str:
    """Writes the .dist-info folder (METADATA, WHEEL) and returns its name."""
    project = _project()
    folder = Path(metadata_directory) / _dist_info(project)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(_metadata(project), encoding="utf-8")
    (folder / "WHEEL").write_text(_wheel_file(), encoding="utf-8")
    return folder.name


def _wheel_file() -> str:
    """The WHEEL file of a pure-Python wheel."""
    return f"Wheel-Version: 1.0\nGenerator: nvdevices_backend\nRoot-Is-Purelib: true\nTag: {_TAG}\n"


def build_wheel(wheel_directory: str, config_settings: dict[str, Any] | None = None, metadata_directory: str | None = None) -> str:
    """Builds the wheel into wheel_directory and returns its file name."""
    project = _project()
    name = f"{project['name']}-{project['version']}-{_TAG}.whl"
    dist_info = _dist_info(project)
    files: list[tuple[str, bytes]] = []
    for path in sorted((_ROOT / _PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            files.append((path.relative_to(_ROOT).as_posix(), path.read_bytes()))
    files.append((f"{dist_info}/METADATA", _metadata(project).encode()))
    files.append((f"{dist_info}/WHEEL", _wheel_file().encode()))
    record = [_record_line(n, d) for n, d in files] + [f"{dist_info}/RECORD,,"]
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    os.makedirs(wheel_directory, exist_ok=True)
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for file_name, data in files:
            wheel.writestr(file_name, data)
    return name

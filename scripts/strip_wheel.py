"""Usage: python scripts/strip_wheel.py WHEEL DEBUG_DIR

Strips the shared objects inside WHEEL (in place): their debug information
goes to DEBUG_DIR/NAME.debug, each stripped object keeps a .gnu_debuglink
to it (gdb finds it with `set debug-file-directory` or beside the object),
and the wheel's RECORD gets the new hashes and sizes. Dynamic symbols stay,
so auditwheel and the dynamic loader see the same objects."""

from __future__ import annotations

import base64
import csv
import hashlib
import io
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def strip_object(path: Path, debug_dir: Path) -> None:
    debug = debug_dir / (path.name + ".debug")
    subprocess.run(["objcopy", "--only-keep-debug", "--compress-debug-sections", str(path), str(debug)], check=True)
    subprocess.run(["strip", "--strip-debug", "--strip-unneeded", str(path)], check=True)
    subprocess.run(["objcopy", f"--add-gnu-debuglink={debug}", str(path)], check=True)


def main(wheel_path: str, debug_dir_name: str) -> int:
    wheel = Path(wheel_path)
    debug_dir = Path(debug_dir_name)
    debug_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        root = Path(scratch)
        with zipfile.ZipFile(wheel) as opened:
            names = opened.namelist()
            opened.extractall(root)
        record_name = next(name for name in names if name.endswith(".dist-info/RECORD"))
        objects = [name for name in names if name.endswith(".so") or ".so." in name]
        for name in objects:
            strip_object(root / name, debug_dir)
        rows = []
        for row in csv.reader(io.StringIO((root / record_name).read_text())):
            if row and row[0] in objects:
                data = (root / row[0]).read_bytes()
                row = [row[0], record_hash(data), str(len(data))]
            rows.append(row)
        text = io.StringIO()
        csv.writer(text, lineterminator="\n").writerows(rows)
        (root / record_name).write_text(text.getvalue())
        stripped = wheel.with_suffix(".stripped")
        with zipfile.ZipFile(stripped, "w", zipfile.ZIP_DEFLATED) as out:
            for name in names:  # the original order: RECORD stays last
                out.write(root / name, name)
        shutil.move(stripped, wheel)
        for name in objects:
            print(f"stripped {name} ({(root / name).stat().st_size} bytes), debug info in {debug_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""Checks on what scripts/wheels.sh leaves in a folder.

    python scripts/wheel_check.py tags DIR X.Y...    of the tarsim files in DIR, one wheel per
                                                     Python X.Y, each with a manylinux
                                                     platform tag, and one sdist
    python scripts/wheel_check.py same DIR_A DIR_B   the same file names, byte for byte

Each prints what is wrong and exits 1, or prints the files with their sha256.
"""

from __future__ import annotations

import hashlib
import re
import sys
import zipfile
from pathlib import Path

PROJECT = "tarsim-"  # the files of DIR that are checked

# name-version-python-abi-platform.whl, without a build tag (never used here).
WHEEL = re.compile(r"^(?P<name>\w+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)"
                   r"-(?P<platform>[^-]+)\.whl$")
# A wheel may carry several platform tags joined by dots; each must be a
# manylinux one (PEP 600, or the older aliases that auditwheel adds beside it).
MANYLINUX = re.compile(r"^(manylinux_\d+_\d+|manylinux1|manylinux2010|manylinux2014)_\w+$")


def tag_problems(names: list[str], versions: list[str]) -> list[str]:
    """What is wrong with a folder holding NAMES, meant to hold one wheel for each
    CPython X.Y of VERSIONS and one source archive."""
    problems = []
    wheels: dict[str, list[str]] = {}
    sdists = [name for name in names if name.endswith(".tar.gz")]
    for name in sorted(set(names) - set(sdists)):
        match = WHEEL.match(name)
        if not match:
            problems.append(f"{name}: neither a wheel nor a source archive")
            continue
        if not all(MANYLINUX.match(tag) for tag in match["platform"].split(".")):
            problems.append(f"{name}: platform tag {match['platform']} is not manylinux")
        if match["abi"] != match["python"]:
            problems.append(f"{name}: ABI tag {match['abi']} is not that of {match['python']}")
        wheels.setdefault(match["python"], []).append(name)
    wanted = {"cp" + version.replace(".", ""): version for version in versions}
    for tag, version in wanted.items():
        count = len(wheels.get(tag, []))
        if count != 1:
            problems.append(f"Python {version}: {count} wheels ({tag}), not 1")
    for tag in sorted(set(wheels) - set(wanted)):
        problems.append(f"{', '.join(wheels[tag])}: no interpreter of that version was asked for")
    if len(sdists) != 1:
        problems.append(f"{len(sdists)} source archives, not 1")
    return problems


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def zip_differences(a: Path, b: Path) -> list[str]:
    """The members of two wheels that differ in bytes, time or mode."""
    with zipfile.ZipFile(a) as za, zipfile.ZipFile(b) as zb:
        infos_a = {i.filename: i for i in za.infolist()}
        infos_b = {i.filename: i for i in zb.infolist()}
        found = [f"only in one: {n}" for n in sorted(set(infos_a) ^ set(infos_b))]
        for name in sorted(set(infos_a) & set(infos_b)):
            ia, ib = infos_a[name], infos_b[name]
            if (ia.CRC, ia.date_time, ia.external_attr) != (ib.CRC, ib.date_time, ib.external_attr):
                found.append(f"{name}: crc/time/mode {ia.CRC:x} {ia.date_time} {ia.external_attr:o}"
                             f" against {ib.CRC:x} {ib.date_time} {ib.external_attr:o}")
        if not found and [i.filename for i in za.infolist()] != [i.filename for i in zb.infolist()]:
            found.append("the members are stored in another order")
    return found


def same_problems(a: Path, b: Path) -> list[str]:
    """What differs between the wheels and archives of folders A and B."""
    names_a = {p.name for p in a.iterdir() if p.is_file()}
    names_b = {p.name for p in b.iterdir() if p.is_file()}
    problems = [f"only in {a if n in names_a else b}: {n}" for n in sorted(names_a ^ names_b)]
    for name in sorted(names_a & names_b):
        if sha256(a / name) != sha256(b / name):
            problems.append(f"{name} differs")
            if name.endswith(".whl"):
                problems.extend("   " + line for line in zip_differences(a / name, b / name))
    return problems


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[0] == "tags":
        folder = Path(argv[1])
        names = [p.name for p in folder.iterdir() if p.is_file() and p.name.startswith(PROJECT)]
        problems = tag_problems(names, argv[2:])
    elif len(argv) == 3 and argv[0] == "same":
        folder = Path(argv[1])
        problems = same_problems(folder, Path(argv[2]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(f"!! {problem}", file=sys.stderr)
    if problems:
        return 1
    for path in sorted(p for p in folder.iterdir() if p.name.startswith(PROJECT)):
        print(f"   {path.name}  sha256 {sha256(path)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

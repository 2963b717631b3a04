"""Packs a built module into a wheel, once it is shown to need nothing a manylinux_2_28 system,
or a musllinux_1_2 one, may lack:

    pack_wheel.py METADATA MODULE TAG OUT_DIR [MUSL_SYMBOLS]

METADATA is the build backend's METADATA file for the project, MODULE the built extension, TAG
the wheel's tag (cp314-cp314t-manylinux_2_28_x86_64), MUSL_SYMBOLS, for a musllinux tag only, a
file of the names that musl's libc.so defines.
The module may export nothing but its entry point and may have no packed relative (RELR)
relocations, which glibc before 2.36 and musl before 1.2.4 cannot load. For manylinux it may
need glibc 2.28 at most and no C++ runtime from the system, and may import no symbol that it
does not bind to a glibc version (one that glibc 2.28 lacks would bind to nothing there: the
import fails), except the interpreter's own. For musllinux it may need musl's libc.so alone, no
symbol versions, and no symbol but the interpreter's and musl's. A manylinux wheel is then
shown to auditwheel, which must find the same: no library to graft in, no newer baseline.
"""
import base64
import hashlib
import json
import re
import subprocess
import sys
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection
from wheel_plan import GLIBC, REPO

GLIBC_BASELINE = tuple(map(int, GLIBC.split(".")))
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
MUSL_LIBRARIES = {"libc.so"}
STUBS = REPO / "tolvane-stubs"
# The pure-Python companion package, shipped beside the module in every wheel.
COMPANION = REPO / "tolvane_io"


def module_faults(path, musl_symbols=None):
    """What keeps the module at PATH from running on every manylinux_2_28 system or, given
    MUSL_SYMBOLS, the names that musl's libc.so defines, on every musllinux_1_2 one."""
    musl = musl_symbols is not None
    faults = []
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        dynamic = elf.get_section_by_name(".dynamic")
        assert isinstance(dynamic, DynamicSection)
        needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        faults += [f"links {name}" for name in sorted(needed - (MUSL_LIBRARIES if musl else SYSTEM_LIBRARIES))]
        if any(tag.entry.d_tag == "DT_RELR" for tag in dynamic.iter_tags()):
            faults.append("has RELR relocations")
        for section in elf.iter_sections():
            if isinstance(section, GNUVerNeedSection):
                for _, versions in section.iter_versions():
                    for version in versions:
                        name = version.name
                        glibc = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
                        if musl or not glibc or tuple(map(int, glibc.groups())) > GLIBC_BASELINE:
                            faults.append(f"needs {name}")
        symbols = elf.get_section_by_name(".dynsym")
        versions = next((s for s in elf.iter_sections() if isinstance(s, GNUVerSymSection)), None)
        for index, symbol in enumerate(symbols.iter_symbols()):
            if not symbol.name or symbol["st_info"]["bind"] == "STB_LOCAL":
                continue
            undefined = symbol["st_shndx"] == "SHN_UNDEF"
            unbound = versions is None or versions.get_symbol(index)["ndx"] in (
                "VER_NDX_LOCAL", "VER_NDX_GLOBAL")
            weak = symbol["st_info"]["bind"] == "STB_WEAK"  # absent is allowed: it is null
            imported = undefined and not weak and not re.match(r"_?Py", symbol.name)
            if imported and musl and symbol.name not in musl_symbols:
                faults.append(f"imports {symbol.name}, which musl lacks")
            elif imported and unbound and not musl:
                faults.append(f"imports {symbol.name} bound to no version")
            if not undefined and symbol.name != "PyInit_tolvane":
                faults.append(f"exports {symbol.name}")
    return faults


def auditwheel_faults(report, arch):
    """What auditwheel's report (`auditwheel show --json`) on a manylinux wheel for ARCH finds that
    the module check should have: a newer glibc, another architecture, a library to graft in."""
    found = re.fullmatch(rf"manylinux_2_(\d+)_{arch}", report["overall_tag"])
    faults = [f"auditwheel would graft in {library}" for library in report["external_libs"]]
    if not found or (2, int(found[1])) > GLIBC_BASELINE:
        faults.insert(0, f"auditwheel tags it {report['overall_tag']}")
    return faults


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(metadata, module, tag, out_dir, musl_symbols=None):
    if ("musllinux" in tag) != (musl_symbols is not None):
        sys.exit(f"{tag}: a musllinux tag, and only one, needs the file of musl's symbols")
    faults = module_faults(module, musl_symbols and set(Path(musl_symbols).read_text().split()))
    if faults:
        sys.exit(f"{module}:\n  " + "\n  ".join(faults))
    fields = dict(re.findall(r"^(Name|Version): (.+)$", Path(metadata).read_text(), re.M))
    dist_info = f"{fields['Name']}-{fields['Version']}.dist-info"
    wheel_info = ("Wheel-Version: 1.0\nGenerator: tolvane scripts/release/pack_wheel.py\n"
                  f"Root-Is-Purelib: false\nTag: {tag}\n")
    files = [(Path(module).name, Path(module).read_bytes(), 0o755)]
    files += [(f"tolvane-stubs/{stub.name}", stub.read_bytes(), 0o644)
              for stub in sorted(STUBS.iterdir())]
    files += [(f"tolvane_io/{source.name}", source.read_bytes(), 0o644)
              for source in sorted(COMPANION.iterdir()) if source.suffix in (".py", ".typed")]
    files += [(f"{dist_info}/METADATA", Path(metadata).read_bytes(), 0o644),
              (f"{dist_info}/WHEEL", wheel_info.encode(), 0o644)]
    record = "".join(record_line(name, data) + "\n" for name, data, _ in files)
    files.append((f"{dist_info}/RECORD", (record + f"{dist_info}/RECORD,,\n").encode(), 0o644))
    wheel = Path(out_dir) / f"{fields['Name']}-{fields['Version']}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, mode in files:
            entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (0o100000 | mode) << 16
            archive.writestr(entry, data, zipfile.ZIP_DEFLATED)
    manylinux = re.fullmatch(r"manylinux_\d+_\d+_(\w+)", tag.split("-")[2])
    if manylinux:
        shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", wheel], capture_output=True,
                               text=True, timeout=300)
        faults = auditwheel_faults(json.loads(shown.stdout), manylinux[1]) if shown.returncode == 0 else [shown.stderr]
        if faults:
            wheel.unlink()
            sys.exit(f"{wheel}:\n  " + "\n  ".join(faults))
    print(wheel)


if __name__ == "__main__":
    main(*sys.argv[1:])

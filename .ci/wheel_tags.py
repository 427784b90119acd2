"""A repaired wheel's platform tags are all ones that glibc 2.28 systems of its machine accept, nothing was
bundled, and its module is built for that machine: named for it, needing no glibc newer than 2.17, exporting
its entry point alone.

Usage: python wheel_tags.py WHEEL   (exits with a message on a problem; pyelftools comes with auditwheel)
"""
import io, re, sys, zipfile
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

name = sys.argv[1].rsplit("/", 1)[-1]
plats = name[:-len(".whl")].split("-")[-1].split(".")
machines = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
arch = next((a for a in machines if plats[0].endswith("_" + a)), None)
if arch is None:
    sys.exit(f"{name}: not a wheel for {' or '.join(machines)}")
legacy = {"manylinux1_x86_64": 5, "manylinux2010_x86_64": 12, f"manylinux2014_{arch}": 17}
def glibc_minor(tag):
    m = re.fullmatch(rf"manylinux_2_(\d+)_{arch}", tag)
    return int(m.group(1)) if m else legacy.get(tag, 999)
bad = [t for t in plats if glibc_minor(t) > 28]
wheel = zipfile.ZipFile(sys.argv[1])
bundled = [n for n in wheel.namelist() if ".libs/" in n]
if bad or bundled:
    sys.exit(f"{name}: tags newer than manylinux_2_28: {bad}; bundled libraries: {bundled}")

modules = [n for n in wheel.namelist() if n.endswith(".so")]
if len(modules) != 1 or not modules[0].endswith(f"-{arch}-linux-gnu.so"):
    sys.exit(f"{name}: the modules {modules} are not one for {arch}")
elf = ELFFile(io.BytesIO(wheel.read(modules[0])))
problems = []
if elf["e_machine"] != machines[arch]:
    problems.append(f"built for {elf['e_machine']}")
symbols = elf.get_section_by_name(".dynsym")
exported = sorted(s.name for s in symbols.iter_symbols()
                  if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
if exported != ["PyInit_morvel"]:
    problems.append(f"exports {exported[:10]}")
glibc = set()
for section in elf.iter_sections():
    if isinstance(section, GNUVerNeedSection):
        for _, needs in section.iter_versions():
            glibc.update(n.name for n in needs if n.name.startswith("GLIBC_"))
if any(not re.fullmatch(r"GLIBC_[\d.]+", v) for v in glibc):
    problems.append(f"needs {sorted(glibc)}")
glibc = {v for v in glibc if re.fullmatch(r"GLIBC_[\d.]+", v)}
newest = max(glibc, key=lambda v: tuple(int(p) for p in v[6:].split(".")), default="GLIBC_2.0")
if tuple(int(p) for p in newest[6:].split(".")) > (2, 17):
    problems.append(f"needs {newest}")
if problems:
    sys.exit(f"{name}: {modules[0]} " + "; ".join(problems))

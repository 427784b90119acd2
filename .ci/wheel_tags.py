"""A repaired wheel's platform tags are all ones that glibc 2.28 systems accept, and nothing was bundled.

Usage: python wheel_tags.py WHEEL   (exits with a message on a problem)
"""
import re, sys, zipfile
name = sys.argv[1].rsplit("/", 1)[-1]
plats = name[:-len(".whl")].split("-")[-1].split(".")
legacy = {"manylinux1_x86_64": 5, "manylinux2010_x86_64": 12, "manylinux2014_x86_64": 17}
def glibc_minor(tag):
    m = re.fullmatch(r"manylinux_2_(\d+)_x86_64", tag)
    return int(m.group(1)) if m else legacy.get(tag, 999)
bad = [t for t in plats if glibc_minor(t) > 28]
bundled = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".libs/" in n]
if bad or bundled:
    sys.exit(f"{name}: tags newer than manylinux_2_28: {bad}; bundled libraries: {bundled}")

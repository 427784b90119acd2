"""The contents of a release: the sdist and one wheel carry what they must, and the wheel nothing it must not.

Usage: python dist_contents.py SDIST WHEEL TAG   (TAG: the wheel's interpreter, e.g. cp311); exits 1 on a problem.
"""
import sys, tarfile, zipfile
sdist = {n.split("/", 1)[1] for n in tarfile.open(sys.argv[1]).getnames() if "/" in n}
wheel = set(zipfile.ZipFile(sys.argv[2]).namelist())
need_sdist = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md", "src/morvel/morvel.cpp", "src/morvel/morvel.pyi",
              "src/morvel/py.typed", "src/morvel/__init__.py", "src/morvel/morvel_state.py",
              "src/morvel/sqlite_api.cpp", "src/morvel/compat.hpp"}
need_wheel = {"morvel/__init__.py", "morvel/morvel_state.py", "morvel/morvel.pyi", "morvel/py.typed",
              "morvel/cli/__init__.py", "morvel/cli/load.py", "morvel/__main__.py", "morvel/aio.py"}
problems = [f"sdist lacks {n}" for n in sorted(need_sdist - sdist)]
problems += [f"wheel lacks {n}" for n in sorted(need_wheel - wheel)]
if not any(n.startswith("morvel/morvel.") and n.endswith(".so") for n in wheel):
    problems.append("wheel lacks the compiled module")
tag = sys.argv[3]
problems += [f"wheel carries a module built for another Python: {n}" for n in sorted(wheel)
             if n.endswith(".so") and f"-{tag[2:]}-" not in n.replace("cpython", "")]
meta = next(zipfile.ZipFile(sys.argv[2]).read(n).decode() for n in wheel if n.endswith(".dist-info/METADATA"))
version = f"{tag[2]}.{tag[3:]}"
if f"Classifier: Programming Language :: Python :: {version}\n" not in meta:
    problems.append(f"the wheel's classifiers leave out Python {version}")
problems += [f"wheel carries source {n}" for n in sorted(wheel) if n.endswith((".cpp", ".hpp"))]
problems += [f"wheel carries a library of its own: {n}" for n in sorted(wheel) if n.startswith("morvel.libs/")]
print("\n".join(problems) or "ok")
sys.exit(bool(problems))

"""Engine tests written in C++, compiled against the engine sources and run.

They test pieces that Python cannot reach directly: the ChaCha block function
against the RFC 8439 vectors, the fast non-dominated filter against the plain
archive, the bracketing path of the grid key against the exact formula,
compaction of the design history, the box map under keys crafted to collide
for one hash seed, and the memory limit of a control group read from fake
/proc and /sys folders.
"""
import os
import pathlib
import shlex
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
NATIVE = ROOT / "tests" / "native"
# Every part of the engine: all sources but the Python boundary.
ENGINE = sorted(source for part in ("core", "random", "engine") for source in (ROOT / "src" / part).rglob("*.cpp"))
EXE = ".exe" if os.name == "nt" else ""


def find_compiler():
    """The compiler command named by CXX (it may carry arguments), else the
    first of c++, g++ and clang++ found; with the reason when there is none.
    The tests pass GCC-style options, which MSVC's cl and clang-cl refuse."""
    named = os.environ.get("CXX", "").strip()
    commands = [shlex.split(named)] if named else [["c++"], ["g++"], ["clang++"]]
    for command in commands:
        driver = pathlib.Path(command[0]).name.lower().removesuffix(".exe")
        if driver in ("cl", "clang-cl"):
            return None, f"CXX={named} is MSVC-style; these tests need a GCC-style driver"
        found = shutil.which(command[0])
        if found:
            return [found, *command[1:]], ""
    if named:
        return None, f"CXX={named} is not found"
    if shutil.which("cl") or shutil.which("clang-cl"):
        return None, "only MSVC-style compilers found; these tests need c++, g++ or clang++ (or CXX)"
    return None, "no C++20 compiler found: set CXX, or install c++, g++ or clang++"


COMPILER, NO_COMPILER = find_compiler()

pytestmark = [
    pytest.mark.skipif(not ENGINE, reason="needs the source tree"),
    pytest.mark.skipif(COMPILER is None, reason=NO_COMPILER),
]


@pytest.fixture(scope="session")
def engine_objects(tmp_path_factory):
    out = tmp_path_factory.mktemp("engine")
    objects = []
    for source in ENGINE:
        target = out / (source.stem + ".o")
        subprocess.run(
            [*COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", "-c", str(source),
             "-I", str(ROOT / "src"), "-o", str(target)],
            check=True,
        )
        objects.append(str(target))
    return objects


# Each test lives in the folder of the part it tests, as in src/.
@pytest.mark.parametrize(
    "test", ["core/cgroup_limit", "engine/box_map_seeding", "engine/grid_key_bracket", "engine/history_compaction",
             "engine/filters/filter_vs_archive", "random/chacha_vectors"]
)
def test_native(test, engine_objects, tmp_path):
    name = test.rsplit("/", 1)[-1]
    binary = tmp_path / (name + EXE)
    subprocess.run(
        [*COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", str(NATIVE / (test + ".cpp")),
         *engine_objects, "-I", str(ROOT / "src"), "-I", str(NATIVE), "-o", str(binary)],
        check=True,
    )
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"{name}: ok" in run.stdout

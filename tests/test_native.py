"""Engine tests written in C++, compiled against the engine sources and run.

They test pieces that Python cannot reach directly: the ChaCha block function
against the RFC 8439 vectors, the fast non-dominated filter against the plain
archive, the bracketing path of the grid key against the exact formula, and
compaction of the design history.
"""
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
NATIVE = ROOT / "tests" / "native"
ENGINE = sorted((ROOT / "src" / "pareto").glob("*.cpp"))
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(
    COMPILER is None or not ENGINE, reason="needs a C++20 compiler and the source tree"
)


@pytest.fixture(scope="session")
def engine_objects(tmp_path_factory):
    out = tmp_path_factory.mktemp("engine")
    objects = []
    for source in ENGINE:
        target = out / (source.stem + ".o")
        subprocess.run(
            [COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", "-c", str(source),
             "-I", str(ROOT / "src"), "-o", str(target)],
            check=True,
        )
        objects.append(str(target))
    return objects


@pytest.mark.parametrize(
    "name", ["box_map_seeding", "chacha_vectors", "filter_vs_archive", "grid_key_bracket", "history_compaction"]
)
def test_native(name, engine_objects, tmp_path):
    binary = tmp_path / name
    subprocess.run(
        [COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", str(NATIVE / (name + ".cpp")),
         *engine_objects, "-I", str(ROOT / "src"), "-I", str(NATIVE), "-o", str(binary)],
        check=True,
    )
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert f"{name}: ok" in run.stdout

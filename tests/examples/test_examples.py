"""The examples that the README runs: they work, say sensible things, and draw."""

import ast
import inspect
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import trelvik

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
STUB = ROOT / "src" / "trelvik-stubs" / "__init__.pyi"

# The picture sizes that forest_plan.py promises for 2, 3 and 4 objectives.
PICTURE_SIZE = {2: (700, 500), 3: (800, 800), 4: (800, 800)}


def run_example(script, *args, cwd, prelude=None):
    """Runs an example as `python examples/script args`; `prelude` runs first if given."""
    if prelude is None:
        command = [sys.executable, str(EXAMPLES / script), *args]
    else:
        # The script's folder goes first on sys.path, as it does for `python script.py`.
        command = [sys.executable, "-c",
                   f"import runpy, sys; sys.path.insert(0, {str(EXAMPLES)!r}); {prelude}; "
                   f"sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')",
                   str(EXAMPLES / script), *args]
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def number(text):
    return float(text.replace(",", ""))


def parse_forest_summary(out):
    stands, options, low, high, objectives = map(int, re.search(
        r"forest: (\d+) stands, (\d+) options \((\d+) to (\d+) per stand\), (\d) objectives", out).groups())
    front = int(re.search(r"front: (\d+) plans with epsilon", out).group(1))
    rows = {}
    for line in out.splitlines():
        match = re.match(r"(best [a-z ]+?|balanced|best possible, one by one)\s{2,}(.*)$", line)
        if match:
            rows[match.group(1)] = [number(v) for v in match.group(2).split()]
    mix = re.search(r"balanced plan, stands per treatment: (.*)", out).group(1)
    in_mix = sum(int(part.rsplit(" ", 1)[1]) for part in mix.split(", "))
    return dict(stands=stands, options=options, low=low, high=high, objectives=objectives,
                front=front, rows=rows, in_mix=in_mix)


@pytest.mark.parametrize("objectives", [2, 3, 4])
def test_forest_plan_reaches_each_objectives_optimum(objectives, tmp_path):
    out = run_example("forest_plan.py", "--stands", "80", "--objectives", str(objectives), cwd=tmp_path)
    summary = parse_forest_summary(out)
    assert summary["stands"] == 80 and summary["objectives"] == objectives
    assert 5 <= summary["low"] <= summary["high"] <= 20
    assert summary["front"] > 1
    assert summary["in_mix"] == 80  # the balanced plan chooses one treatment per stand
    rows = summary["rows"]
    best_possible = rows["best possible, one by one"]
    # Income and carbon are shown as gains (larger is better), penalties as costs.
    better = [1, 1, -1, -1][:objectives]
    for k, (label, sign) in enumerate(zip(["income", "carbon", "biodiversity penalty", "scenery penalty"], better)):
        found = rows[f"best {label}"][k]
        # A plan on the front can never beat each stand's best option summed ...
        assert sign * (best_possible[k] - found) >= -0.1
        # ... and with the table relative to each stand's best it gets close.
        assert abs(best_possible[k] - found) <= 0.01 * abs(best_possible[k]) + 1.0, (label, found, best_possible)
        # The balanced plan is a compromise, not better than the extreme.
        assert sign * (found - rows["balanced"][k]) >= -0.1


def test_forest_plan_without_per_stand_scaling_is_coarse(tmp_path):
    """The README's warning: in real units the shift makes the boxes too wide."""
    raw = parse_forest_summary(run_example("forest_plan.py", "--objectives", "2", "--raw", cwd=tmp_path))
    scaled = parse_forest_summary(run_example("forest_plan.py", "--objectives", "2", cwd=tmp_path))
    assert raw["front"] < scaled["front"] / 10
    assert raw["rows"]["best income"][0] < 0.5 * raw["rows"]["best possible, one by one"][0]


def png_size(path):
    header = Path(path).read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("objectives", [2, 3, 4])
def test_forest_plan_draws_front_over_random_plans(objectives, tmp_path):
    pytest.importorskip("matplotlib")
    from matplotlib.image import imread

    out = run_example("forest_plan.py", "--stands", "60", "--objectives", str(objectives),
                      "--plot", "front.png", cwd=tmp_path)
    picture = tmp_path / "front.png"
    width, height = PICTURE_SIZE[objectives]
    assert f"wrote front.png ({width} x {height} pixels)" in out
    assert png_size(picture) == (width, height)
    pixels = imread(str(picture))[:, :, :3]
    assert pixels.shape[:2] == (height, width)
    # Both layers are drawn: the front in matplotlib's green (44, 160, 44)
    # and the random plans in grey 0.7 (179, 179, 179).
    green = (abs(pixels - [44 / 255, 160 / 255, 44 / 255]).max(axis=2) < 0.02).sum()
    grey = (abs(pixels - [0.7, 0.7, 0.7]).max(axis=2) < 0.02).sum()
    # (Antialiased text leaves a few hundred grey pixels on its own.)
    assert green > 300 and grey > 1500, (green, grey)


def test_forest_plan_without_matplotlib_says_how_to_get_the_picture(tmp_path):
    out = run_example("forest_plan.py", "--stands", "40", "--plot", "front.png", cwd=tmp_path,
                      prelude="sys.modules['matplotlib'] = None")
    assert parse_forest_summary(out)["front"] > 1
    assert 'python -m pip install ".[plot]"' in out
    assert not (tmp_path / "front.png").exists()


def parse_many_tables(out):
    regions, stands = map(int, re.search(r"regions: (\d+) \((\d+) stands\)", out).groups())
    total, smallest, median, largest = map(int, re.search(
        r"front sizes: (\d+) plans in all, smallest (\d+), median (\d+), largest (\d+)", out).groups())
    programme = re.search(r"balanced plans of all regions together: (.*)", out).group(1)
    return dict(regions=regions, stands=stands, total=total, smallest=smallest, median=median,
                largest=largest, programme=programme)


def test_many_tables_in_processes(tmp_path):
    result = parse_many_tables(run_example("many_tables.py", "--regions", "6", "--workers", "2", cwd=tmp_path))
    assert result["regions"] == 6
    assert 6 * 20 <= result["stands"] <= 6 * 80
    assert 0 < result["smallest"] <= result["median"] <= result["largest"]
    assert result["total"] >= 6 * result["smallest"]


@pytest.fixture
def many_tables(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import many_tables

    return many_tables


def test_many_tables_workers_return_what_the_parent_would_compute(many_tables):
    regions = [0, 1, 2, 3, 4]
    in_workers = many_tables.solve_with_processes(regions, workers=2)
    here = [many_tables.solve_region(region) for region in regions]
    # Everything but the time is plain data and identical: one input, one front, one order.
    assert [r[:3] for r in in_workers] == [r[:3] for r in here]
    for _, stands, plans, _ in here:
        assert plans and all(len(design) == stands for design, _ in plans)


def test_many_tables_workers_pass_a_panic_on_with_its_message(many_tables, tmp_path):
    # A PanicException does not pickle; the worker sends a RuntimeError with its message.
    with pytest.raises(RuntimeError) as caught:
        many_tables.solve_with_processes([0, 1, 2], workers=2, epsilon=-0.0)
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("negative coordinate value: -inf",)
    done = subprocess.run([sys.executable, str(EXAMPLES / "many_tables.py"), "--regions", "2", "--workers", "2",
                           "--epsilon", "0"], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 1 and done.stdout == ""
    assert "a region failed in trelvik: negative coordinate value: inf\n" in done.stderr
    assert "Pickl" not in done.stderr


def test_many_tables_on_dask_gives_the_same_programme(tmp_path):
    pytest.importorskip("distributed")
    args = ["--regions", "4", "--workers", "2"]
    with_dask = parse_many_tables(run_example("many_tables.py", *args, "--dask", "local", cwd=tmp_path))
    with_processes = parse_many_tables(run_example("many_tables.py", *args, cwd=tmp_path))
    assert with_dask == with_processes


def test_stub_documents_the_module_as_it_is():
    tree = ast.parse(STUB.read_text())
    # Private names (the table protocol) exist only for type checkers.
    functions = {node.name: node for node in tree.body
                 if isinstance(node, ast.FunctionDef) and not node.name.startswith("_")}
    classes = {node.name: node for node in tree.body
               if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}
    stub_all = next(ast.literal_eval(node.value) for node in tree.body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert stub_all == trelvik.__all__
    assert set(functions) | set(classes) == set(trelvik.__all__)
    for name, node in functions.items():
        assert ast.get_docstring(node), name
        runtime = list(inspect.signature(getattr(trelvik, name)).parameters)
        assert [arg.arg for arg in node.args.args] == runtime, name
        assert "Raises:" in ast.get_docstring(node)
    cls = classes["ParetoFrontSolution"]
    assert ast.get_docstring(cls)
    attributes = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    assert set(attributes) == {"design_vector", "target_vector"}
    assert all(ast.get_docstring(node) for node in attributes.values())


README = ROOT / "README.md"


def fenced_blocks(text):
    """(language, body) of every fenced block, in order."""
    return re.findall(r"^```(\w*)\n(.*?)^```$", text, flags=re.M | re.S)


def test_readme_python_examples_print_what_the_readme_shows(capsys):
    blocks = fenced_blocks(README.read_text())
    ran = 0
    for (language, body), (next_language, next_body) in zip(blocks, blocks[1:] + [("", "")]):
        if language != "python":
            continue
        exec(compile(body, "README.md", "exec"), {})
        printed = capsys.readouterr().out
        if next_language == "text":
            assert printed == next_body
        ran += 1
    assert ran >= 1


def test_readme_shows_what_the_example_prints(tmp_path):
    shown = README.read_text().split("The example prints, in about a second:\n\n```text\n")[1].split("```")[0]
    printed = run_example("forest_plan.py", cwd=tmp_path)
    untimed = lambda text: re.sub(r"computed in [0-9.]+ s", "computed in ... s", text)
    assert untimed(printed) == untimed(shown)


def test_readme_keeps_the_two_set_up_commands_and_its_picture():
    blocks = [body for _, body in fenced_blocks(README.read_text())]
    set_up = [body for body in blocks if "pip install" in body]
    assert set_up == [
        "python -m pip install . && python examples/forest_plan.py\n",
        'python -m pip install ".[test]" && python -m pytest\n',
    ]
    picture = ROOT / "docs" / "front.png"
    assert "](docs/front.png)" in README.read_text()
    assert 10_000 < picture.stat().st_size < 200_000
    assert png_size(picture) == PICTURE_SIZE[3]

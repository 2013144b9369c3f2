"""The trelvik-plan command end to end on the sample table that examples/forest.py writes."""

import csv
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "data" / "forest_sample.csv"
TABLE_ARGS = [str(SAMPLE), "--stand", "stand", "--option", "option"]


def plan_command(*args, cwd):
    return subprocess.run([sys.executable, "-m", "trelvik_plan", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as handle:
        return list(csv.reader(handle))


def test_front_writes_totals_designs_and_report_that_agree_with_the_table(tmp_path):
    done = plan_command("front", *TABLE_ARGS, "--max", "income", "carbon", "--minimize", "biodiversity",
                        "--epsilon", "0.3", "--out", "front.csv", "--designs", "designs.csv",
                        "--report", "run.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    umask = os.umask(0o022)
    os.umask(umask)
    for name in ("front.csv", "designs.csv", "run.json"):  # as any new file, not the temporary file's 0600
        assert (tmp_path / name).stat().st_mode & 0o777 == 0o666 & ~umask
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".trelvik-")] == []
    table = read_csv(SAMPLE)
    header = table[0]
    values = {(r[0], r[1]): r for r in table[1:]}
    front = read_csv(tmp_path / "front.csv")
    assert front[0] == ["plan", "income", "carbon", "biodiversity"]
    designs = read_csv(tmp_path / "designs.csv")
    assert designs[0] == ["plan", "stand", "option"]
    stands = list(dict.fromkeys(r[0] for r in table[1:]))
    assert len(designs) - 1 == (len(front) - 1) * len(stands)
    by_plan = {}
    for plan, stand, option in designs[1:]:
        by_plan.setdefault(int(plan), []).append((stand, option))
    for row in front[1:]:
        chosen = by_plan[int(row[0])]
        assert [s for s, _ in chosen] == stands  # table order, labels as written ("0001")
        for column, written in zip(front[0][1:], row[1:]):
            k = header.index(column)
            assert float(written) == math.fsum(float(values[choice][k]) for choice in chosen)
    report = json.loads((tmp_path / "run.json").read_text())
    assert [(o["name"], o["direction"]) for o in report["objectives"]] == [
        ("income", "max"), ("carbon", "max"), ("biodiversity", "min")]
    assert report["epsilon"] == 0.3 and report["plans"] == len(front) - 1
    assert len(report["input"]["sha256"]) == 64 and report["versions"]["python"]
    best_income = max(float(r[1]) for r in front[1:])
    assert best_income == pytest.approx(report["objectives"][0]["best_alone"], rel=0.02)
    assert f"front: {len(front) - 1} plans with epsilon 0.3" in done.stdout


def test_front_draws_the_plot(tmp_path):
    pytest.importorskip("matplotlib")
    done = plan_command("front", *TABLE_ARGS, "--max", "income", "--min", "biodiversity", "--epsilon", "0.1",
                        "--out", "front.csv", "--plot", "front.png", "--unit", "income=k EUR", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "front.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "wrote front.png (700 x 500 pixels)" in done.stdout


@pytest.mark.parametrize("args, message", [
    (["--max", "income", "--min", "habitat", "--epsilon", "0.1"], "unknown column 'habitat'; the table's columns are: 'stand'"),
    (["--max", "income", "--min", "income", "--epsilon", "0.1"], "given both to maximise and to minimise"),
    (["--max", "income", "--epsilon", "0.1", "--des", "d.csv"], "unrecognized arguments: --des"),
    (["--max", "treatment", "--epsilon", "0.1"], "column 'treatment': 'set aside' is not a number"),
    (["--max", "income", "--epsilon", "0"], "'0' is not a positive finite number"),
    (["--max", "income", "--epsilon", "1e-16"], "epsilon 1e-16 is below 1e-15"),
    (["--max", "income", "--epsilon", "0.3", "--random-plans", "100000000000000"], "is not from 0 to 1,000,000"),
    (["--max", "income", "--epsilon", "0.1", "--area", "area", "--per-ha", "income", "--delimiter", ";"],
     "unknown column 'stand'"),
])
def test_bad_usage_and_input_exit_2_with_one_line(tmp_path, args, message):
    done = plan_command("front", *TABLE_ARGS, *args, "--out", "front.csv", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("trelvik-plan: error: ")
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "front.csv").exists()


def test_estimate_prints_each_epsilon(tmp_path):
    done = plan_command("estimate", *TABLE_ARGS, "--maximise", "income", "--min", "biodiversity",
                        "--epsilon", "0.3", "0.03", "--sample", "0.5", "--seed", "2", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "sample: 20 of 40 stands (seed 2)" in done.stdout
    rows = [line.split() for line in done.stdout.splitlines() if line.strip().startswith(("0.3 ", "0.03 "))]
    assert [r[0] for r in rows] == ["0.3", "0.03"]
    assert int(rows[0][1].replace(",", "")) < int(rows[1][1].replace(",", ""))
    assert done.stderr == ""  # not a terminal: no progress line


def readme_commands():
    """The README's trelvik-plan commands, continuation lines joined."""
    import re
    import shlex

    text = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```\w*\n(.*?)^```$", text, flags=re.M | re.S)
    return [shlex.split(body.replace("\\\n", " ")) for body in blocks if body.startswith("trelvik-plan ")]


@pytest.mark.parametrize("command", readme_commands(), ids=lambda c: c[1])
def test_readme_walk_through_runs_as_written(command, tmp_path):
    import shutil

    shutil.copytree(ROOT / "examples" / "data", tmp_path / "examples" / "data")
    args = command[1:]
    if args[0] == "exact":
        pytest.importorskip("highspy")
    if "--plot" in args:
        try:
            import matplotlib  # noqa: F401
        except ImportError:  # the README says --plot needs the plot extra
            at = args.index("--plot")
            args = args[:at] + args[at + 2:]
    done = plan_command(*args, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    for flag in ("--out", "--designs", "--plot"):
        if flag in args:
            assert (tmp_path / args[args.index(flag) + 1]).stat().st_size > 0


@pytest.mark.parametrize("command, outputs, message", [
    ("front", ["--out", "table.csv"], "--out table.csv: that is the input table"),
    ("front", ["--out", "link.csv"], "--out link.csv: that is the input table"),
    ("front", ["--out", "f.csv", "--designs", "./f.csv"], "--designs ./f.csv: the same file as --out f.csv"),
    ("front", ["--out", "f.csv", "--report", "no/run.json"], "no folder"),
    ("front", ["--out", "fifo"], "--out fifo: not a regular file"),
    ("exact", ["--out", "table.csv"], "--out table.csv: that is the input table"),
    ("exact", ["--out", "p.csv", "--report", "p.csv"], "--report p.csv: the same file as --out p.csv"),
])
def test_outputs_never_replace_or_remove_the_table(tmp_path, command, outputs, message):
    """Checked before any work: `exact` removes --out when it finds no plan, `front` replaces it."""
    (tmp_path / "table.csv").write_bytes(SAMPLE.read_bytes())
    (tmp_path / "link.csv").symlink_to(tmp_path / "table.csv")
    os.mkfifo(tmp_path / "fifo")
    goal = ["--maximise", "income", "--bound", "income>=1e9"] if command == "exact" else [
        "--max", "income", "--epsilon", "0.3"]
    done = plan_command(command, "table.csv", "--stand", "stand", "--option", "option", *goal, *outputs,
                        cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and message in done.stderr, done.stderr
    assert (tmp_path / "table.csv").read_bytes() == SAMPLE.read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "link.csv", "table.csv"]


def test_a_reader_that_stops_after_the_first_line_does_not_fail_the_run(tmp_path):
    """`trelvik-plan front ... | head -1`: the rest of the report is dropped, the files are written."""
    process = subprocess.Popen([sys.executable, "-m", "trelvik_plan", "front", *TABLE_ARGS, "--max", "income",
                                "--epsilon", "0.1", "--out", "front.csv", "--designs", "designs.csv"],
                               cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env={k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"})
    process.stdout.close()  # before the command writes anything: every write meets a closed pipe
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=300) == 0 and stderr == ""
    assert read_csv(tmp_path / "front.csv")[0] == ["plan", "income"] and (tmp_path / "designs.csv").exists()

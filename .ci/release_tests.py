"""Runs the release build's test step here, as cibuildwheel would run it.

Reads [tool.cibuildwheel] of pyproject.toml, checks that every path that any
platform's table names in test-sources exists, then, for the platform asked
for, copies only those test-sources into an empty folder, installs the wheel
with the test extras and test-requires into a fresh virtual environment of
the given interpreter, and runs the configured test command in that folder.

    python .ci/release_tests.py --check
    python .ci/release_tests.py --wheel W --python PY --platform linux --work DIR

Exits non-zero on a missing path or a failing test command.
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys

try:
    import tomllib
except ImportError:  # Python before 3.11
    import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
PLATFORMS = ("linux", "macos", "windows")


def as_list(value):
    if value is None:
        return []
    return [value] if isinstance(value, str) else list(value)


def options(platform):
    """The settings cibuildwheel uses on `platform`: the platform's table over
    the general one."""
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["cibuildwheel"]
    merged = {key: value for key, value in config.items() if key not in PLATFORMS}
    merged.update(config.get(platform, {}))
    return merged


def missing_paths():
    missing = []
    for platform in PLATFORMS:
        for source in as_list(options(platform).get("test-sources")):
            if not (ROOT / source).exists():
                missing.append(f"[tool.cibuildwheel{'.' + platform}] test-sources: {source}")
    return sorted(set(missing))


def run_tests(wheel, python, platform, work):
    settings = options(platform)
    folder = pathlib.Path(work) / f"release-tests-{platform}"
    shutil.rmtree(folder, ignore_errors=True)
    project = folder / "project"
    project.mkdir(parents=True)
    for source in as_list(settings.get("test-sources")):
        origin, target = ROOT / source, project / source
        target.parent.mkdir(parents=True, exist_ok=True)
        if origin.is_dir():
            shutil.copytree(origin, target, ignore=shutil.ignore_patterns("__pycache__", "bin"))
        else:
            shutil.copy2(origin, target)
    venv = folder / "venv"
    subprocess.run([python, "-m", "venv", str(venv)], check=True)
    bin_folder = venv / ("Scripts" if os.name == "nt" else "bin")
    extras = ",".join(as_list(settings.get("test-extras")))
    requirement = f"{wheel}[{extras}]" if extras else str(wheel)
    subprocess.run([str(bin_folder / "python"), "-m", "pip", "install", "-q", requirement,
                    *as_list(settings.get("test-requires"))], check=True)
    command = settings["test-command"]
    command = " && ".join(as_list(command)) if not isinstance(command, str) else command
    command = command.replace("{project}", str(project)).replace("{package}", str(project))
    print(f"{platform}: {command}  (in {project})", flush=True)
    environment = dict(os.environ, PATH=str(bin_folder) + os.pathsep + os.environ["PATH"])
    environment.pop("PYTHONPATH", None)
    return subprocess.run(command, shell=True, cwd=project, env=environment).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true", help="only check that the named paths exist")
    parser.add_argument("--wheel")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--platform", choices=PLATFORMS)
    parser.add_argument("--work")
    args = parser.parse_args()
    missing = missing_paths()
    if missing:
        print("cibuildwheel's configuration names paths that do not exist:", *missing, sep="\n  ")
        return 1
    if args.check:
        print("every test-sources path exists")
        return 0
    if not (args.wheel and args.platform and args.work):
        parser.error("--wheel, --platform and --work are needed unless --check")
    return run_tests(args.wheel, args.python, args.platform, args.work)


if __name__ == "__main__":
    sys.exit(main())

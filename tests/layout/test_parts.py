"""The source parts include only what the table of src/README.md allows them."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
README = SRC / "README.md"
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^">]+)[">]', re.M)

pytestmark = pytest.mark.skipif(not README.exists(), reason="needs the source tree")


def allowed_includes():
    """{part's folder: the parts it may include}, from the README's table."""
    rows = re.findall(r"^\| `([\w/]+)/` \|.*\| ([^|\n]*) \|$", README.read_text(encoding="utf-8"), flags=re.M)
    return {folder: set(re.findall(r"`([\w/]+)`", allowed)) for folder, allowed in rows}


def violations(sources, allowed):
    """What in {path under src/: text} breaks the table: a source in no part,
    an include of no header under src/ or of a part that is not allowed, the
    interpreter's header outside bindings."""
    found = []
    for path, text in sorted(sources.items()):
        folder = path.rpartition("/")[0]
        if folder not in allowed:
            found.append(f"{path}: in no part of the table")
            continue
        for kind, target in INCLUDE.findall(text):
            if kind == "<":
                if target == "Python.h" and folder != "bindings":
                    found.append(f"{path}: includes Python.h outside bindings")
            elif target not in sources:
                found.append(f"{path}: includes {target}, no header under src/")
            elif target.rpartition("/")[0] not in (folder, *allowed[folder]):
                found.append(f"{path}: {folder} may not include {target}")
    return found


def test_the_sources_keep_to_the_table():
    allowed = allowed_includes()
    assert {"bindings", "engine", "engine/filters", "random", "core"} <= set(allowed)
    sources = {path.relative_to(SRC).as_posix(): path.read_text(encoding="utf-8")
               for path in SRC.rglob("*") if path.suffix in (".cpp", ".hpp", ".h")}
    assert violations(sources, allowed) == []


@pytest.mark.parametrize("path, text, fault", [
    ("core/check.cpp", '#include "engine/front.hpp"\n', "core may not include engine/front.hpp"),
    ("engine/filters/x.cpp", '#include "engine/front.hpp"\n', "engine/filters may not include engine/front.hpp"),
    ("random/x.cpp", '#include "random/chacha.hpp"\n#include "engine/front.hpp"\n', "random may not include"),
    ("engine/front.cpp", "#include <cmath>\n#include <Python.h>\n", "Python.h outside bindings"),
    ("engine/front.cpp", '#include "gone/front.hpp"\n', "no header under src/"),
    ("tools/x.cpp", "", "in no part"),
])
def test_each_kind_of_break_is_found(path, text, fault):
    sources = {"engine/front.hpp": "", "random/chacha.hpp": "", path: text}
    found = violations(sources, allowed_includes())
    assert len(found) == 1 and fault in found[0], found

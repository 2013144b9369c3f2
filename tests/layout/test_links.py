"""The link checker of CI (.ci/check_links.py): GitHub's heading anchors, and
exactly the broken links of a small tree."""
import importlib.util
import pathlib

import pytest

CHECKER = pathlib.Path(__file__).resolve().parents[2] / ".ci" / "check_links.py"

pytestmark = pytest.mark.skipif(not CHECKER.exists(), reason="needs the checkout's .ci folder")


@pytest.fixture(scope="module")
def checker():
    spec = importlib.util.spec_from_file_location("check_links", CHECKER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("heading, anchor", [
    ("## Set-up", "set-up"),
    ("### `find_pareto_front(data, epsilon) -> list[ParetoFrontSolution]`",
     "find_pareto_frontdata-epsilon---listparetofrontsolution"),
    ("### 1. Sanitizers — `.ci/steps/20-sanitizers`", "1-sanitizers--cisteps20-sanitizers"),
    ("## The [engine](docs/engine.md), *its* _notes_ and `__init__.pyi` ##", "the-engine-its-notes-and-__init__pyi"),
    ("Größe × 3\n===", "größe--3"),
])
def test_heading_anchors_are_githubs(checker, heading, anchor):
    assert checker.anchors(heading + "\n") == {anchor}


def test_repeated_headings_are_numbered_and_code_is_no_heading(checker):
    text = "# Notes\n\n```\n# not a heading\n```\n\n## Notes\n\nNotes\n-----\n\n- item\n---\n"
    assert checker.anchors(text) == {"notes", "notes-1", "notes-2"}


def test_finds_exactly_the_broken_links(checker, tmp_path):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "guide.md").write_text('# Guide\n\n## Which tests to run\n\n<a id="kept"></a>\n')
    (tmp_path / "code.py").write_text("pass\n")
    (tmp_path / "untracked.md").write_text("# Untracked\n")
    (tmp_path / "README.md").write_text("\n".join([
        "[a](docs/guide.md#which-tests-to-run) [b](docs/guide.md#kept) [c](#top) [d](docs/) [e](./code.py#L1-L2)",
        "[f](https://example.org/x.md#y) ![g](<docs/guide.md> \"title\") [h](/docs/guide.md) `[i](missing.md)`",
        "```",
        "[j](missing.md)",
        "```",
        "# Top",
        "[k](missing.md) [l](docs/guide.md#Which-tests-to-run) [m](docs/#x) [n](../outside.md)",
        "[ref]: docs/guide.md#nowhere",
        "[o](code.py#main) [p](untracked.md)",
    ]) + "\n")
    tracked = ["README.md", "docs/guide.md", "code.py"]
    for repository, untracked_found in ((checker.Repository(tmp_path), []),
                                        (checker.Repository(tmp_path, tracked), ["untracked.md"])):
        found = [line.split(": ")[0:2] for line in checker.problems_of("README.md", repository)]
        expected = [["README.md:7", target] for target in
                    ("missing.md", "docs/guide.md#Which-tests-to-run", "docs/#x", "../outside.md")]
        expected += [["README.md:8", "docs/guide.md#nowhere"], ["README.md:9", "code.py#main"]]
        expected += [["README.md:9", target] for target in untracked_found]
        assert found == expected

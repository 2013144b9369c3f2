"""Checks the relative links of the repository's Markdown files.

    python .ci/check_links.py            # every Markdown file that git tracks
    python .ci/check_links.py FILE...    # only these

A link's file or folder must exist (in a git checkout: be tracked, or hold
tracked files), and its #anchor must name a heading or an explicit anchor
(`<a id="...">`) of the Markdown file it points into, slugged as GitHub slugs
headings. Into other files only GitHub's line anchors (#L10, #L10-L20) are
accepted. Links with a scheme (https:, mailto:) are not followed, and nothing
inside code blocks or code spans is a link. Prints one line per broken link,
FILE:LINE: TARGET: why, and exits with status 1 when there is one.
"""

import re
import subprocess
import sys
import unicodedata
from pathlib import Path
from urllib.parse import unquote

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
CODE_SPAN = re.compile(r"(`+)(.+?)(?<!`)\1(?!`)")
ATX_HEADING = re.compile(r"^ {0,3}#{1,6}(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT_UNDERLINE = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
INLINE_LINK = re.compile(r"\]\(\s*(<[^>\n]*>|[^)\s]+)(?:\s+(?:\"[^\"]*\"|'[^']*'))?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*(<[^>]*>|\S+)")
HTML_LINK = re.compile(r"""<(?:a|img)\b[^>]*?\b(?:href|src)\s*=\s*["']([^"']+)["']""", re.I)
HTML_ANCHOR = re.compile(r"""<[a-z][^>]*?\b(?:id|name)\s*=\s*["']([^"']+)["']""", re.I)
SCHEME = re.compile(r"^(?:[a-zA-Z][a-zA-Z0-9+.-]*:|//)")
LINE_ANCHOR = re.compile(r"^L\d+(?:-L\d+)?$")


def prose_lines(text):
    """(line number, line, in_fence) of every line; in_fence is true for the
    lines of fenced code blocks, their fences included."""
    fence = None
    for number, line in enumerate(text.splitlines(), 1):
        opening = FENCE.match(line)
        if fence is None and opening:
            fence = opening.group(1)
            yield number, line, True
        elif fence is not None:
            closing = FENCE.match(line)
            if closing and closing.group(1)[0] == fence[0] and len(closing.group(1)) >= len(fence) \
                    and not line.strip()[len(closing.group(1)):].strip():
                fence = None
            yield number, line, True
        else:
            yield number, line, False


def heading_texts(text):
    """The text of every ATX and setext heading outside code blocks, in order."""
    previous = None  # the last prose line, while it could be a setext heading's text
    for _, line, in_fence in prose_lines(text):
        if in_fence:
            previous = None
            continue
        atx = ATX_HEADING.match(line)
        if atx:
            yield atx.group(1) or ""
            previous = None
        elif previous is not None and SETEXT_UNDERLINE.match(line):
            yield previous.strip()
            previous = None
        elif line.strip() and not line.lstrip().startswith(("|", ">", "- ", "* ", "+ ")):
            previous = line
        else:
            previous = None


def plain_text(heading):
    """What a heading shows: code spans keep their content verbatim; links and
    images show their text; emphasis marks and HTML tags go."""
    parts = []
    last = 0
    for span in CODE_SPAN.finditer(heading):
        parts.append(_strip_markup(heading[last:span.start()]))
        parts.append(span.group(2))
        last = span.end()
    parts.append(_strip_markup(heading[last:]))
    return "".join(parts).strip()


def _strip_markup(text):
    text = re.sub(r"!?\[([^\]]*)\](?:\([^)]*\)|\[[^\]]*\])?", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text)
    text = text.replace("*", "")
    return re.sub(r"(?<![A-Za-z0-9])_+|_+(?![A-Za-z0-9])", "", text)


def slug(text):
    """GitHub's anchor for a heading's text: lower case; letters, digits,
    marks, underscores, hyphens and spaces kept, everything else dropped; each
    space a hyphen."""
    kept = []
    for char in text.lower():
        category = unicodedata.category(char)
        if char in " -_" or category[0] in "LMN" or category == "Pc":
            kept.append(char)
    return "".join(kept).replace(" ", "-")


def anchors(text):
    """Every anchor a Markdown text defines: heading slugs, numbered -1, -2,
    ... where they repeat, and the ids and names of its HTML elements."""
    found = set()
    seen = {}
    for heading in heading_texts(text):
        base = slug(plain_text(heading))
        count = seen.get(base, 0)
        seen[base] = count + 1
        found.add(base if count == 0 else f"{base}-{count}")
    for _, line, in_fence in prose_lines(text):
        if not in_fence:
            found.update(HTML_ANCHOR.findall(line))
    return found


def links(text):
    """(line number, target) of every link outside code: inline links and
    images, reference definitions, and the href and src of HTML elements."""
    for number, line, in_fence in prose_lines(text):
        if in_fence:
            continue
        line = CODE_SPAN.sub(lambda span: " " * len(span.group(0)), line)
        targets = INLINE_LINK.findall(line) + HTML_LINK.findall(line)
        definition = REFERENCE_DEFINITION.match(line)
        if definition:
            targets.append(definition.group(1))
        for target in targets:
            yield number, target.strip("<>")


class Repository:
    """What a link may name: the tracked files under root, or, outside git,
    whatever exists on disk."""

    def __init__(self, root, tracked=None):
        self.root = root.resolve()
        self.tracked = None
        if tracked is not None:
            self.tracked = set(tracked)
            self.folders = {str(Path(name).parent.as_posix()) for name in self.tracked}
            for name in list(self.folders):
                while name not in ("", "."):
                    name = str(Path(name).parent.as_posix())
                    self.folders.add(name)
        self._anchors = {}

    def kind(self, relative):
        """'file', 'folder' or None for a path relative to the root."""
        if self.tracked is not None:
            if relative in self.tracked:
                return "file"
            return "folder" if relative in self.folders or relative == "." else None
        path = self.root / relative
        return "file" if path.is_file() else "folder" if path.is_dir() else None

    def anchors(self, relative):
        if relative not in self._anchors:
            self._anchors[relative] = anchors((self.root / relative).read_text(encoding="utf-8"))
        return self._anchors[relative]


def problems_of(source, repository):
    """The broken links of one Markdown file (a path relative to the root)."""
    found = []
    text = (repository.root / source).read_text(encoding="utf-8")
    for number, target in links(text):
        if SCHEME.match(target):
            continue
        path, _, fragment = target.partition("#")
        path, fragment = unquote(path), unquote(fragment)
        if not path:
            relative = source
        else:
            base = repository.root if path.startswith("/") else (repository.root / source).parent
            try:
                relative = _normal(base / path.lstrip("/")).relative_to(repository.root).as_posix()
            except ValueError:
                found.append(f"{source}:{number}: {target}: points outside the repository")
                continue
        kind = repository.kind(relative)
        if kind is None:
            found.append(f"{source}:{number}: {target}: no such file or folder")
        elif fragment and kind == "folder":
            found.append(f"{source}:{number}: {target}: an anchor into a folder")
        elif fragment and relative.endswith((".md", ".markdown")):
            if fragment not in repository.anchors(relative):
                found.append(f"{source}:{number}: {target}: no heading or anchor '{fragment}' in {relative}")
        elif fragment and not LINE_ANCHOR.match(fragment):
            found.append(f"{source}:{number}: {target}: only line anchors (#L10) point into {relative}")
    return found


def _normal(path):
    """The path with '.' and '..' taken out, without following links."""
    parts = []
    for part in path.parts:
        if part == "..":
            if len(parts) > 1:
                parts.pop()
        elif part != ".":
            parts.append(part)
    return Path(*parts)


def main(arguments):
    root = Path(__file__).resolve().parent.parent
    listing = subprocess.run(["git", "ls-files", "-z"], cwd=root, capture_output=True, text=True)
    if listing.returncode == 0:
        tracked = [name for name in listing.stdout.split("\0") if name]
        repository = Repository(root, tracked)
    else:
        if not arguments:
            print("not a git checkout: name the Markdown files to check", file=sys.stderr)
            return 2
        tracked = None
        repository = Repository(root)
    if arguments:
        sources = [Path(argument).resolve().relative_to(root).as_posix() for argument in arguments]
    else:
        sources = sorted(name for name in tracked if name.endswith((".md", ".markdown")))
    found = [problem for source in sources for problem in problems_of(source, repository)]
    for problem in found:
        print(problem)
    print(f"{len(sources)} Markdown files, {len(found)} broken links", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

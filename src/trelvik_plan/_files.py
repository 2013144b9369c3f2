"""Output files, written whole or not at all, and messages about missing optional packages."""

from __future__ import annotations

import csv
import importlib
import os
import tempfile
from typing import Any, Callable, Iterable, Sequence, Union

PathLike = Union[str, "os.PathLike[str]"]

EXTRAS = {"matplotlib": "plot", "pandas": "pandas", "highspy": "exact"}


class MissingDependency(ImportError):
    """An optional package is not installed; the message is one line with the install command."""


def require(module: str) -> Any:
    """Import an optional package, or raise MissingDependency saying how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        extra = EXTRAS.get(module, module)
        raise MissingDependency(
            f"{module} is not installed: python -m pip install \"trelvik[{extra}]\" (or python -m pip install {module})"
        ) from None


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def replace_atomically(path: PathLike, write: Callable[[str], None], suffix: str = ".tmp") -> None:
    """Write a file through a temporary file beside it and a rename: readers never see half a file.

    `write` gets the temporary file's name. The file gets the permissions a
    newly created file would get (mkstemp's are private to the owner). A path
    that is a symbolic link is written at the file the link names; one that
    names a device, a pipe or a folder is refused, as a rename would replace
    it rather than write into it.
    """
    given = os.fspath(path)
    target = os.path.realpath(given)
    if os.path.exists(target) and not os.path.isfile(target):
        raise ValueError(f"{given}: not a regular file; output files are written to a temporary file "
                         "and renamed over the old one")
    folder = os.path.dirname(os.path.abspath(target))
    try:
        handle, temporary = tempfile.mkstemp(prefix=".trelvik-", suffix=suffix, dir=folder)
    except OSError as error:
        raise OSError(error.errno, error.strerror, given) from None
    os.close(handle)
    try:
        write(temporary)
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError) and error.filename in (temporary, None):
            # Name the file the user asked for, not the temporary one.
            raise OSError(error.errno, error.strerror, given) from None
        raise


def write_text_atomically(path: PathLike, text: str) -> None:
    """A UTF-8 text file, written through a temporary file and renamed."""

    def write(name: str) -> None:
        with open(name, "w", encoding="utf-8", newline="") as out:
            out.write(text)

    replace_atomically(path, write)


def write_csv_atomically(path: PathLike, header: Sequence[str], rows: Iterable[Sequence[object]]) -> None:
    """A CSV file (comma-separated, minimal quoting, \\n line ends) written through a temporary file."""
    import io

    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)
    write_text_atomically(path, buffer.getvalue())


def number_text(value: float) -> str:
    """A float as written to output files: repr precision, no negative zero."""
    return repr(value + 0.0)

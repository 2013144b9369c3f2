"""Sorts the errors of a valgrind XML report (--xml=yes) into the module's
and the interpreter's own, prints both, and exits 1 if the module has any.

The rule, for each error (and for each definitely lost block):
- Walk the stack from the innermost frame outwards. If a frame of the module
  (its shared object, or a source file under src/) comes before any frame of
  the interpreter's bytecode loop, the module is at fault: either the error is
  in its own code, or in an interpreter function that it called directly
  (passing it something bad).
- If the interpreter's bytecode loop comes first, the error happened while
  Python code ran (an import, a user hook); that is the interpreter's own
  business, even when the module is further out on the stack.
- For a use of uninitialised memory, the stack where that memory was
  allocated (valgrind's origin, --track-origins=yes) is judged the same way: if
  the module allocated it, the error is the module's.
An error without any frame of the module is the interpreter's. (Python 3.11
reports a family of these: a zero-valued int reads a digit it never wrote, and
every use of the resulting pointer is reported again. 3.12 and 3.13 report the
interned strings they never free as definitely lost. 3.9 and 3.10 report
nothing.)

Usage: python classify.py memcheck.xml
"""

import sys
import xml.etree.ElementTree as ElementTree

EVAL_FRAMES = ("_PyEval_EvalFrameDefault", "_PyEval_EvalFrame", "PyEval_EvalCode", "_PyEval_Vector")


def frames(stack):
    result = []
    for frame in stack.findall("frame"):
        result.append(
            {
                "fn": frame.findtext("fn", ""),
                "obj": frame.findtext("obj", ""),
                "file": frame.findtext("file", ""),
                "dir": frame.findtext("dir", ""),
                "line": frame.findtext("line", ""),
            }
        )
    return result


def in_module(frame):
    path = frame["dir"] + "/" + frame["file"]
    in_sources = any(f"/src/{part}/" in path for part in ("core", "random", "engine", "bindings"))
    return "trelvik" in frame["obj"].rsplit("/", 1)[-1] or in_sources


def blames_module(stack):
    for frame in stack:
        if in_module(frame):
            return True
        if frame["fn"] in EVAL_FRAMES:
            return False
    return False


def describe(frame):
    where = "%s:%s" % (frame["file"], frame["line"]) if frame["file"] else frame["obj"].rsplit("/", 1)[-1]
    return "%s (%s)" % (frame["fn"] or "???", where)


def main(path):
    root = ElementTree.parse(path).getroot()
    module_errors, interpreter_errors = [], []
    for error in root.findall("error"):
        kind = error.findtext("kind", "")
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        stacks = [frames(stack) for stack in error.findall("stack")]
        text = error.findtext("what") or error.findtext("xwhat/text") or kind
        blamed = any(blames_module(stack) for stack in stacks)
        (module_errors if blamed else interpreter_errors).append((kind, text, stacks))

    print("valgrind: %d error(s) of the module, %d of the interpreter itself" % (len(module_errors), len(interpreter_errors)))
    if interpreter_errors:
        counts = {}
        for kind, _, stacks in interpreter_errors:
            key = (kind, describe(stacks[0][0]) if stacks and stacks[0] else "?")
            counts[key] = counts.get(key, 0) + 1
        print("interpreter-internal reports (not the module's):")
        for (kind, where), count in sorted(counts.items()):
            print("  %4d x %s at %s" % (count, kind, where))
    for kind, text, stacks in module_errors:
        print("\nMODULE ERROR %s: %s" % (kind, text))
        for number, stack in enumerate(stacks):
            print("  %s:" % ("stack" if number == 0 else "related stack (allocation or origin)"))
            for frame in stack[:30]:
                print("    " + describe(frame))
    return 1 if module_errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

"""How fast this machine runs the tests, for the tests whose cost or time
limits depend on it: the one place that scales them.

TRELVIK_SLOWDOWN (default 1) says how many times slower than a native build
everything runs here. The arm64 CI step sets it to 10: under qemu's user-mode
emulation both the interpreter and the module run about ten times slower than
on the machine itself (measured over the whole suite), and at native counts
the repeated measurements and long hypothesis runs alone would take minutes
there, while finding nothing that fewer rounds would miss.

- repeat(count, floor): a number of rounds (leak measurements, hypothesis
  examples) divided by the slowdown, but never below `floor`, the least at
  which the test still finds what it looks for.
- seconds(limit): a time limit multiplied by the slowdown.
"""

import os

SLOWDOWN = max(1.0, float(os.environ.get("TRELVIK_SLOWDOWN", "1")))


def repeat(count, floor):
    return max(min(floor, count), round(count / SLOWDOWN))


def seconds(limit):
    return limit * SLOWDOWN

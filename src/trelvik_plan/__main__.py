"""python -m trelvik_plan: the same as the trelvik-plan command."""

from ._cli import run

run()

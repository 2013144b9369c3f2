"""A user's script: what type checkers must accept and reject in calls of trelvik.

Checked against the installed wheel by .ci/steps/12-types, three ways:

- mypy with --strict --warn-unused-ignores: every line marked
  "# type: ignore[arg-type]" must be an error of exactly that code, and
  nothing else may be one;
- pyright with enableTypeIgnoreComments off and
  reportUnnecessaryTypeIgnoreComment on: the same for the lines marked
  "# pyright: ignore[reportArgumentType]";
- python: every accepted call runs, and every rejected one raises TypeError
  at run time too, so the stubs and the module agree.

reveal_type of a result must be list[ParetoFrontSolution] in both checkers.
"""

import array
import sys
from fractions import Fraction
from typing import TYPE_CHECKING, Callable, List, Optional, Sequence

import numpy as np
import numpy.typing as npt

import trelvik
from trelvik import ParetoFrontSolution

EPSILON = 0.1

# Accepted: every form of table the module takes.
nested_lists: List[List[List[float]]] = [[[1.0, 5.0], [3.0, 3.0]], [[0.0, 2.0], [2.0, 0.0]]]
tuples = (((1, 5), (3, 3)), ((0, 2), (2, 0)))
ranges = [[range(2), range(1, 3)], [range(2, 4)]]
arrays = [[array.array("d", [1.0, 5.0])], [array.array("d", [0.0, 2.0]), array.array("d", [2.0, 0.0])]]
table_3d: npt.NDArray[np.float64] = np.array(nested_lists)
stands_2d = [np.array([[1.0, 5.0], [3.0, 3.0]]), np.array([[0, 2], [2, 0]], dtype=np.int64)]
sequences: Sequence[Sequence[Sequence[float]]] = nested_lists

front = trelvik.find_pareto_front(nested_lists, EPSILON)
results: List[List[ParetoFrontSolution]] = [
    front,
    trelvik.find_pareto_front(tuples, 1),
    trelvik.find_pareto_front(ranges, np.float64(0.5)),
    trelvik.find_pareto_front(arrays, Fraction(1, 10)),
    trelvik.find_pareto_front(table_3d, EPSILON),
    trelvik.find_pareto_front(stands_2d, EPSILON),
    trelvik.find_pareto_front(
        data=[[[np.float64(1.0), np.int64(5)]], [[np.int64(0), np.float32(2.0)]]], epsilon=EPSILON),
    trelvik.find_pareto_front([[[1, 2.5, True, Fraction(1, 3)]], [(0, 0, 0, 0)]], EPSILON),
    trelvik.find_pareto_front([[b"\x01\x02"], [array.array("q", [3, 4])]], EPSILON),
    trelvik.find_pareto_front(sequences, EPSILON),
    trelvik.create_random_points(table_3d, 3),
    trelvik.create_random_points(stands_2d, np.int64(2)),
    trelvik.create_random_points(data=tuples, n_points=True),
]
design: List[int] = front[0].design_vector
targets: List[float] = front[0].target_vector

if TYPE_CHECKING:
    reveal_type(trelvik.find_pareto_front(table_3d, EPSILON))
    reveal_type(trelvik.create_random_points(nested_lists, 5))

# Rejected: each call below is a type error, and the module raises TypeError for it.
text_table = "abc"
text_stands = ["ab", "cd"]
text_options = [["ab"], ["cd"]]
text_values = [[["1"]], [["2"]]]
set_stands = [{(1.0, 2.0)}, {(3.0, 4.0)}]
none_values: List[List[List[Optional[float]]]] = [[[1.0, None]], [[2.0, 3.0]]]


def rejected(call: Callable[[], object]) -> bool:
    try:
        call()
    except TypeError:
        return True
    raise AssertionError("the module accepted a call that the stubs reject")


refusals = [
    rejected(lambda: trelvik.find_pareto_front(text_table, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(text_stands, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(text_options, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(text_values, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.create_random_points(text_values, 1)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(5, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(None, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(set_stands, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(none_values, EPSILON)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.find_pareto_front(nested_lists, "0.1")),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.create_random_points(nested_lists, 3.0)),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    rejected(lambda: trelvik.create_random_points(nested_lists, "3")),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
]

if __name__ == "__main__":
    sizes = [len(result) for result in results]
    assert all(sizes), sizes
    sys.stdout.write(f"{len(results)} calls accepted, {len(refusals)} rejected\n")

"""Epsilon-thinned Pareto fronts of stand-wise choice problems, computed natively.

A table lists stands; each stand offers options; each option carries the same
number of numeric variables. A design picks one option in every stand, and its
target vector is the element-wise sum of the chosen options. Smaller is better
in every variable (negate what you want to maximise).

The functions are compiled and have no ``__doc__`` at run time; these stubs
carry their documentation.
"""

from collections.abc import Iterator
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, final

__all__ = ["ParetoFrontSolution", "find_pareto_front", "create_random_points"]

_T_co = TypeVar("_T_co", covariant=True)

class _Rows(Protocol[_T_co]):
    """One level of a table as the module reads it: a sized, indexable object that it iterates.

    Lists, tuples, ``range``, ``array.array``, ``bytes`` and NumPy arrays all
    fit. A ``str`` fits the shape too, but its items are strings, which are not
    numbers, so a ``str`` anywhere in a table is rejected at the innermost level.
    Where a protocol cannot tell, the module's own checks still apply at run
    time: a ``dict`` with ``int`` keys and number values fits, but is not a
    sequence; a NumPy array of strings fits, because NumPy's types say only
    ``Any`` about the items of a nested array. The module itself uses
    ``__len__`` only to reserve space, but every sequence type has one.
    """

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __iter__(self) -> Iterator[_T_co]: ...

# A value: anything with __float__ or __index__ (float, int, bool, numpy.float64,
# numpy.int64, fractions.Fraction, decimal.Decimal, ...).
_Number = SupportsFloat | SupportsIndex
# data[i][j][k] is variable k of option j of stand i.
_Table = _Rows[_Rows[_Rows[_Number]]]

@final
class ParetoFrontSolution:
    """One design: the option chosen in each stand and the summed variables.

    Only trelvik creates instances; ``ParetoFrontSolution()`` raises
    ``TypeError("cannot create 'trelvik.ParetoFrontSolution' instances")``.
    Instances are read-only (assigning or deleting an attribute raises
    ``AttributeError``), the class cannot be subclassed, and instances cannot
    be pickled or weakly referenced (``TypeError``): to send results to another
    process, send ``(s.design_vector, s.target_vector)`` instead. Equality and
    hashing are by identity.
    """

    @property
    def design_vector(self) -> list[int]:
        """The index of the chosen option in each stand, in stand order (a new list on every read).

        Entry i indexes the options of stand i of the table that was passed in;
        the list has one entry per stand.
        """
    @property
    def target_vector(self) -> list[float]:
        """The element-wise sum of the chosen options' variables (a new list on every read).

        Summed in stand order from the table as it was passed in (no shift or
        other transformation applied), one float per variable.
        """

def find_pareto_front(data: _Table, epsilon: _Number) -> list[ParetoFrontSolution]:
    """The epsilon-thinned Pareto front of `data` (smaller is better in every variable).

    ``data[i][j][k]`` is variable k of option j of stand i: nested sequences
    (lists, tuples, ``range``, ``array.array``, NumPy arrays, ...; not ``str``)
    of numbers (anything with ``__float__`` or ``__index__``, such as
    ``numpy.float64`` and ``numpy.int64``). At least two stands; the
    first stand needs an option; every option needs the same number (at least
    one) of variables. A later stand with no options gives an empty front.

    The front is built stand by stand. Each variable is first shifted by its
    minimum over the whole table (plus 1e-9); after every stand the partial
    designs are thinned to at most one per box of a logarithmic grid, on
    which a box spans a factor ``1 + epsilon`` of ``1 + shifted sum``, and
    then to those that no other survivor dominates. The result approximates
    the true front: no returned design dominates another (up to rounding),
    but designs that lost their box at some stand are missing. Because the
    shift is paid once per stand, subtract each stand's own best value per
    variable before the call when the minimum over the whole table is far
    below most stands' values; the front stays the same set of designs and
    gets far finer (README, "Choosing epsilon"). Smaller `epsilon` gives more
    designs and takes longer. ``epsilon = inf`` or ``-1`` gives one design;
    a positive `epsilon` so small (around 1e-19 and below) that box numbers
    saturate at 2**64 - 1 collapses the front again.

    Returns a new list of ``ParetoFrontSolution``; the order is the same on
    every call with the same input.

    Raises:
        TypeError: wrong arguments, e.g. "find_pareto_front() missing 1
            required positional argument: 'epsilon'", "find_pareto_front()
            takes 2 positional arguments but 3 were given",
            "find_pareto_front() got an unexpected keyword argument 'eps'",
            "find_pareto_front() got multiple values for argument 'data'".
            `data` that is not a table of numbers: "argument 'data': " and
            then "Can't extract `str` to `Vec`" (a ``str`` where a sequence
            belongs), "'int' object is not an instance of 'Sequence'" (any
            other non-sequence; "'None' is not an instance of 'Sequence'" for
            None) or Python's own message for a value that is not a number.
            `epsilon` that is not a number: "argument 'epsilon': " and
            Python's message.
        OverflowError: an ``int`` in `data` or `epsilon` too large for a
            float (Python's message).
        ValueError: an invalid table: "Data table must not have empty
            entries." (no stands, an empty first stand, or an option without
            variables); "There's only one stand. Nothing to optimize here.";
            "There are {n} variables in the first entry, but got {m} at index
            [{i}][{j}]. Need same number of variables in all data table
            entries!" (the first offending option).
        PanicException: "negative coordinate value: {q}" when the grid
            cannot be built: `epsilon` 0, -0.0, between -1 and 0, below -1,
            NaN, or positive but so small (about 1e-307 and below) that a
            box number overflows; or a NaN or infinite
            value in `data`, or values whose differences or sums overflow.
            PanicException derives from BaseException (not Exception) and is
            not an attribute of the module; catch it with
            ``except BaseException`` and check ``type(e).__name__``. A report
            is written to standard error first.
        MemoryError: the front or its intermediate stages do not fit in memory.

    Argument errors come first (`data`, then `epsilon`), then table errors,
    then the computation. The call holds the interpreter lock until it
    returns; other Python threads wait, and Ctrl-C takes effect afterwards.
    """

def create_random_points(data: _Table, n_points: SupportsIndex) -> list[ParetoFrontSolution]:
    """`n_points` designs drawn uniformly at random over `data`, with their target vectors.

    Takes the same `data` as ``find_pareto_front``. Each design picks every
    stand's option independently and uniformly; designs may repeat and are
    not sorted or filtered. The generator is seeded from the operating
    system, per thread: there is no seed, and every call gives different
    designs. Returns a new list of `n_points` ``ParetoFrontSolution``.

    Raises:
        TypeError: wrong arguments (messages as for ``find_pareto_front``,
            naming "create_random_points()"), `data` that is not a table of
            numbers, or `n_points` that is not an integer: "argument
            'n_points': " and Python's message (a float such as 3.0 counts).
        OverflowError: `n_points` negative or at least 2**64 (Python's
            message), or from 2**32 to 2**64 - 1: "out of range integral type
            conversion attempted"; an ``int`` in `data` too large for a float.
        ValueError: an invalid table, with the messages of
            ``find_pareto_front``; checked even when `n_points` is 0.
        PanicException: "cannot sample empty range" when a stand has no
            options and `n_points` is at least 1 (BaseException subclass, see
            ``find_pareto_front``).
        MemoryError: `n_points` results that could never fit in the
            machine's memory are refused before anything is drawn; also when
            memory runs out while drawing.
    """

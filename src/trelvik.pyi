from typing import Final, List, Sequence, SupportsFloat, SupportsIndex, Union

__all__ = ["ParetoFrontSolution", "find_pareto_front", "create_random_points"]

_Number = Union[SupportsFloat, SupportsIndex]
_Table = Sequence[Sequence[Sequence[_Number]]]

class ParetoFrontSolution:
    """One design: the option chosen in each stand and the summed variables."""

    @property
    def design_vector(self) -> List[int]:
        """The index of the chosen option in each stand, in stand order (a new list on every read)."""
    @property
    def target_vector(self) -> List[float]:
        """The element-wise sum of the chosen options' variables (a new list on every read)."""

def find_pareto_front(data: _Table, epsilon: SupportsFloat) -> List[ParetoFrontSolution]:
    """The epsilon-thinned Pareto front of `data` (smaller is better in every variable)."""

def create_random_points(data: _Table, n_points: SupportsIndex) -> List[ParetoFrontSolution]:
    """`n_points` designs drawn uniformly at random over `data`, with their target vectors."""

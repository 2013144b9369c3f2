"""Realistic forest-planning tables for benchmarks and examples.

A table lists stands; each stand offers the same number of treatment
schedules (options). Every option carries 1 to 6 objectives, all written so
that smaller is better, as ``find_pareto_front`` expects:

0. minus the net present value of the harvests (EUR), which rises with the
   treatment intensity and with the stand's maturity and site productivity;
1. minus the carbon held at the end of the horizon in the stand and in
   long-lived wood products (t CO2), which falls with the intensity;
2. minus a habitat index (dead wood, old trees, light gaps), which is best
   for light treatments, a little lower for no treatment and far lower for
   clear-cutting;
3. minus a resilience index (storm and bark-beetle risk avoided), which is
   best for moderate thinnings;
4. minus a recreation index (visits to old, open stands), which is best for
   no treatment in mature stands and falls steeply with heavy cuts;
5. minus the browse for game on the young growth, which rises with the light
   that a cut lets in.

Objective 0 conflicts with 1, 2 and 4; 2 and 3 peak at different
intensities, and 5 agrees with 0 but not in proportion, so for every number
of variables the trade-offs are real. Stands differ in
area (the size factor, log-normal, 0.1 to 60 ha), site productivity, maturity
and how much of their standing carbon a harvest sells as long-lived products,
so that the exchange rates between the objectives differ from stand to stand;
without that the front would collapse onto a line.

Option 0 of every stand is "no treatment" (intensity 0); the others have
intensities spread over (0, 1] with some jitter, the last one being a
clear-cut. Every value is perturbed by a few per cent of noise, as yield
models and price forecasts would be.

Tables are reproducible: the same arguments always give the same table, and
the first four objectives of a table do not depend on how many objectives
it has beyond four.
"""

import math
import random

__all__ = ["forest_table", "VARIABLE_NAMES"]

VARIABLE_NAMES = ("-income", "-carbon", "-habitat", "-resilience", "-recreation", "-browse")


def _intensities(n_options, rng):
    """Treatment intensities of one stand: 0 first, then rising to 1."""
    if n_options == 1:
        return [0.0]
    step = 1.0 / (n_options - 1)
    levels = [0.0]
    for j in range(1, n_options - 1):
        levels.append(min(1.0, max(0.0, j * step + rng.uniform(-0.3, 0.3) * step)))
    levels.append(1.0)
    return levels


def forest_table(n_stands, n_options, n_variables, seed=0):
    """A forest-planning table as nested lists: stands, options, variables.

    n_stands: number of stands (at least 2 for ``find_pareto_front``).
    n_options: options per stand (treatment schedules), at least 1.
    n_variables: objectives per option, 1 to 6 (see the module docstring).
    seed: any value accepted by ``random.Random``.
    """
    if not 1 <= n_variables <= len(VARIABLE_NAMES):
        raise ValueError(f"n_variables must be between 1 and {len(VARIABLE_NAMES)}")
    if n_stands < 1 or n_options < 1:
        raise ValueError("n_stands and n_options must be positive")
    rng = random.Random(seed)
    noise = rng.gauss
    table = []
    for _ in range(n_stands):
        area = min(40.0, max(0.2, rng.lognormvariate(math.log(2.5), 0.7)))
        productivity = rng.uniform(0.6, 1.4)   # site index, relative
        maturity = rng.uniform(0.2, 1.0)       # share of rotation age reached
        volume = 320.0 * productivity * (0.3 + 0.7 * maturity)  # m3/ha standing
        price = rng.uniform(35.0, 60.0)        # EUR/m3 net of harvesting costs
        product_share = rng.uniform(0.15, 0.45)  # carbon kept in products when cut
        growth = 8.0 * productivity * (1.2 - maturity)  # m3/ha/a over the horizon
        habitat_base = rng.uniform(20.0, 80.0) * (0.5 + maturity)
        risk = rng.uniform(0.2, 1.0) * (0.4 + maturity)
        # Drawn only when used, so that smaller tables stay as they were.
        if n_variables > 4:
            visitors = rng.uniform(5.0, 60.0) * maturity  # near trails and towns
            browse_base = rng.uniform(10.0, 40.0) * productivity
        stand = []
        for intensity in _intensities(n_options, rng):
            # Heavier cuts bring income forward, mature stands earn more per m3.
            cut = volume * intensity ** 1.1
            income = cut * price * (0.75 + 0.5 * maturity)
            income -= 900.0 * (intensity > 0)  # fixed cost of an operation
            # Carbon at the end: what stays, plus regrowth, plus products.
            stays = volume - cut + growth * 30.0 * (1.0 - 0.5 * intensity)
            carbon = 0.9 * (stays + product_share * cut)
            habitat = habitat_base * (1.0 - 1.6 * (intensity - 0.2) ** 2 + 0.1 * (intensity == 0.0))
            resilience = risk * 50.0 * (1.0 - 2.2 * (intensity - 0.55) ** 2)
            values = [
                -income * (1.0 + 0.04 * noise(0.0, 1.0)),
                -carbon * (1.0 + 0.03 * noise(0.0, 1.0)),
                -habitat * (1.0 + 0.05 * noise(0.0, 1.0)),
                -resilience * (1.0 + 0.05 * noise(0.0, 1.0)),
            ]
            if n_variables > 4:
                recreation = visitors * (1.0 - 0.9 * intensity ** 1.5)
                browse = browse_base * (0.15 + intensity ** 0.7)
                values.append(-recreation * (1.0 + 0.05 * noise(0.0, 1.0)))
                values.append(-browse * (1.0 + 0.05 * noise(0.0, 1.0)))
            stand.append([area * v for v in values[:n_variables]])
        table.append(stand)
    return table


if __name__ == "__main__":
    import sys

    args = [int(a) for a in sys.argv[1:5]] or [3, 4, 3, 0]
    for i, stand in enumerate(forest_table(*args)):
        print(f"stand {i}")
        for option in stand:
            print("   ", "  ".join(f"{v:12.2f}" for v in option))

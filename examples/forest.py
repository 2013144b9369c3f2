"""The example forest and its units, shared by forest_plan.py and exact_plan.py.

A made-up but plausible forest of a few hundred stands is drawn from a fixed
seed (nothing is downloaded). Every stand gets 5 to 20 treatment schedules
(set aside, thinnings, clear-cuts with different regeneration, retention,
continuous-cover cutting, fertilising, deadwood creation, burning), each
scored on up to four objectives that trelvik minimises:

    1. negative net present value of the harvests (k EUR)
    2. negative carbon stock after 30 years, in the stand and in long-lived
       wood products (t CO2)
    3. biodiversity penalty: area-weighted lack of old-forest habitat
    4. scenery penalty: visible disturbance near trails and lakes

The table holds these values in its own units (smaller is better); display()
turns them into the units shown to people, where income and carbon are
positive gains and the penalties stay costs.
"""

import math
import random
from collections import Counter
from dataclasses import dataclass
from typing import List, Sequence, Tuple

# Objectives in table order: (label, unit, sign). trelvik minimises every
# variable, so quantities that we want large are stored negated; the sign
# turns them back for printing and plotting.
OBJECTIVES = [
    ("income", "k EUR", -1.0),
    ("carbon", "kt CO2", -1.0),
    ("biodiversity penalty", "habitat ha", 1.0),
    ("scenery penalty", "visible ha", 1.0),
]
# Carbon is computed in t CO2 and shown in kt.
DISPLAY_SCALE = [1.0, 1e-3, 1.0, 1.0]

HORIZON = 30  # years
DISCOUNT_RATE = 0.03
CO2_PER_M3 = 1.1  # stem volume to t CO2 in stem, branches and roots
PRODUCT_SHARE = 0.3  # share of harvested carbon that stays in long-lived products

# Front sizes of about a thousand plans in well under a second.
DEFAULT_EPSILON = {2: 0.01, 3: 0.1, 4: 0.3}


@dataclass
class Stand:
    area: float  # ha
    age: float  # years
    site: float  # mean annual increment class, m3/ha/year
    road_km: float  # forwarding and transport distance
    conservation: float  # 0 (plantation) to 1 (key habitat)
    visibility: float  # 0 (hidden) to 1 (beside a trail or lake)
    deadwood: float  # m3/ha now


@dataclass
class Treatment:
    name: str  # family, used to summarise a plan
    thin_year: int = -1  # year of a thinning, -1 for none
    thin_share: float = 0.0  # share of the volume removed by it
    cut_year: int = -1  # year of a clear-cut, -1 for none
    retention: float = 0.0  # share of the trees left standing at the cut
    regen: str = "natural"  # "natural" or "planted" after the cut
    selection: bool = False  # continuous cover: light cuts every 10 years
    fertilise: bool = False
    girdle: bool = False  # kill some trees to create deadwood
    burn: bool = False  # prescribed burning after the cut


def make_forest(n_stands: int, seed: int) -> List[Stand]:
    rng = random.Random(seed)
    stands = []
    for _ in range(n_stands):
        age = rng.choice([rng.uniform(5, 40), rng.uniform(30, 90), rng.uniform(70, 160)])
        old = min(1.0, age / 140.0)
        stands.append(
            Stand(
                area=min(40.0, rng.lognormvariate(1.2, 0.8)),
                age=age,
                site=rng.uniform(3.0, 10.0),
                road_km=rng.uniform(0.2, 4.0),
                conservation=min(1.0, max(0.0, rng.betavariate(1.5, 4.0) + 0.4 * old - 0.1)),
                visibility=rng.random() if rng.random() < 0.25 else 0.0,
                deadwood=rng.uniform(1.0, 8.0) + 25.0 * old * rng.random(),
            )
        )
    return stands


def volume(stand: Stand, age: float) -> float:
    """Stem volume in m3/ha at a given age (a Chapman-Richards curve)."""
    return 60.0 * stand.site * (1.0 - math.exp(-max(age, 0.0) / 45.0)) ** 3


def treatment_menu(stand: Stand) -> List[Treatment]:
    """All schedules that make sense for the stand over the horizon."""
    menu = [Treatment("set aside"), Treatment("deadwood", girdle=True)]
    for year in (5, 15, 25):
        age = stand.age + year
        if 25 <= age <= 110:
            for share in (0.25, 0.4):
                menu.append(Treatment("thinning", thin_year=year, thin_share=share))
            menu.append(Treatment("thinning", thin_year=year, thin_share=0.3, fertilise=True))
        if age >= 60:
            menu.append(Treatment("clear-cut", cut_year=year, regen="natural"))
            menu.append(Treatment("clear-cut", cut_year=year, regen="planted"))
            menu.append(Treatment("retention cut", cut_year=year, retention=0.15))
            if stand.conservation > 0.3:
                menu.append(Treatment("retention cut", cut_year=year, retention=0.15, burn=True))
    if stand.age >= 40:
        menu.append(Treatment("continuous cover", selection=True))
    if 25 <= stand.age + 5 <= 100 and stand.age + 25 >= 60:
        menu.append(Treatment("clear-cut", thin_year=5, thin_share=0.3, cut_year=25, regen="planted"))
    return menu


def evaluate(stand: Stand, t: Treatment) -> Tuple[float, float, float, float]:
    """(income k EUR, carbon t CO2, biodiversity penalty, scenery penalty) of one schedule."""
    return simulate(stand, t)[0]


def simulate(stand: Stand, t: Treatment) -> Tuple[Tuple[float, float, float, float], List[Tuple[int, float]]]:
    """evaluate()'s values and the harvests as (year, m3/ha), in the order they happen."""
    area = stand.area
    harvests = []
    harvest_cost = 9.0 + 2.5 * stand.road_km  # EUR/m3

    def price(age: float) -> float:  # bigger trees are worth more per m3
        return 28.0 + 30.0 * min(1.0, age / 100.0)

    def discounted(amount: float, year: int) -> float:
        return amount / (1.0 + DISCOUNT_RATE) ** year

    npv = 0.0
    harvested = 0.0  # m3/ha
    deadwood = stand.deadwood
    disturbance = 0.0  # visible disturbance, 0 to 1
    # Growth modifiers: a thinning sets the stand back, fertilising speeds it up.
    age_end = stand.age + HORIZON
    standing_share = 1.0
    if t.thin_year >= 0:
        at = stand.age + t.thin_year
        cut = t.thin_share * volume(stand, at)
        npv += discounted(cut * (price(at) - 12.0 - harvest_cost), t.thin_year)
        harvested += cut
        harvests.append((t.thin_year, cut))
        standing_share *= 1.0 - 0.6 * t.thin_share  # partly regrown by the end
        deadwood *= 0.8
        disturbance = max(disturbance, 0.25)
    if t.fertilise:
        npv -= discounted(450.0, t.thin_year)
        standing_share *= 1.12
    if t.selection:
        for year in (5, 15, 25):
            cut = 0.12 * volume(stand, stand.age + year)
            npv += discounted(cut * (price(stand.age) - 6.0 - harvest_cost), year)
            harvested += cut
            harvests.append((year, cut))
        standing_share *= 0.75
        deadwood *= 0.9
        disturbance = max(disturbance, 0.1)
    end_volume = standing_share * volume(stand, age_end)
    if t.cut_year >= 0:
        at = stand.age + t.cut_year
        cut = (1.0 - t.retention) * standing_share * volume(stand, at)
        npv += discounted(cut * (price(at) - harvest_cost), t.cut_year)
        harvested += cut
        harvests.append((t.cut_year, cut))
        regrowth_age = HORIZON - t.cut_year
        speed = 1.35 if t.regen == "planted" else 1.0
        if t.regen == "planted":
            npv -= discounted(1600.0, t.cut_year + 1)
        end_volume = t.retention * volume(stand, age_end) + volume(stand, speed * regrowth_age)
        age_end = regrowth_age if t.retention == 0 else 0.5 * (regrowth_age + age_end)
        deadwood = deadwood * 0.5 + 40.0 * t.retention
        disturbance = max(disturbance, 1.0 - 2.5 * t.retention)
    if t.girdle:
        npv -= discounted(300.0, 5)
        killed = 0.1 * volume(stand, stand.age + 5)
        deadwood += killed * 0.7  # what remains after 25 years of decay
        end_volume -= 0.1 * end_volume
    if t.burn:
        npv -= discounted(700.0, t.cut_year)
        deadwood += 15.0
        disturbance = min(1.0, disturbance + 0.4)
    # Natural mortality keeps adding deadwood where nothing is cut.
    if t.cut_year < 0 and t.thin_year < 0 and not t.selection:
        deadwood += 0.004 * volume(stand, stand.age) * HORIZON
    soil_loss = 40.0 if t.burn else 0.0  # t CO2/ha
    carbon = CO2_PER_M3 * (end_volume + 0.5 * deadwood + PRODUCT_SHARE * harvested) - soil_loss

    habitat = 0.45 * min(1.0, age_end / 120.0) + 0.35 * min(1.0, deadwood / 30.0)
    habitat += 0.1 * (t.retention > 0) + 0.15 * t.burn - 0.12 * t.fertilise
    habitat -= 0.05 * (t.regen == "planted" and t.cut_year >= 0)
    habitat = min(1.0, max(0.0, habitat))
    weight = 0.5 + 2.5 * stand.conservation
    values = (
        area * npv / 1000.0,
        area * carbon,
        area * weight * (1.0 - habitat),
        area * stand.visibility * disturbance,
    )
    return values, harvests


def choose_options(stands: Sequence[Stand], seed: int) -> List[List[Treatment]]:
    """Each stand's options: "set aside" and a random selection of its other schedules, 5 to 20 in all."""
    rng = random.Random(seed + 1)
    chosen = []
    for stand in stands:
        menu = treatment_menu(stand)
        keep = min(len(menu), rng.randint(5, 20))
        chosen.append([menu[0]] + rng.sample(menu[1:], keep - 1))
    return chosen


def build_table(stands: Sequence[Stand], n_objectives: int, seed: int):
    """The table in real units and, per stand, the family names of its options."""
    table = []
    names = []
    for stand, chosen in zip(stands, choose_options(stands, seed)):
        options = []
        for treatment in chosen:
            income, carbon, habitat, scenery = evaluate(stand, treatment)
            options.append([-income, -carbon, habitat, scenery][:n_objectives])
        table.append(options)
        names.append([t.name for t in chosen])
    return table, names


def option_label(t: Treatment) -> str:
    """A schedule as a short text that is unique within a stand's menu."""
    if t.selection:
        return "continuous cover"
    parts = []
    if t.thin_year >= 0:
        parts.append(f"thin y{t.thin_year} {round(100 * t.thin_share)}%" + (" fertilised" if t.fertilise else ""))
    if t.cut_year >= 0:
        kind = "retention cut" if t.retention > 0 else f"clear-cut {t.regen}"
        parts.append(f"{kind} y{t.cut_year}" + (" burnt" if t.burn else ""))
    if t.girdle:
        parts.append("deadwood")
    return " then ".join(parts) or "set aside"


BLOCKS = ("North", "East", "South", "West")
# The columns of the long table that forest.py writes (see long_rows()).
CSV_COLUMNS = ["stand", "option", "treatment", "block", "area", "income", "carbon", "biodiversity", "scenery",
               "vol_p1", "vol_p2", "vol_p3"]


def long_rows(n_stands: int, seed: int) -> List[dict]:
    """The forest as a planner's table: one row per stand and treatment schedule.

    stand: a zero-padded number ("0007"); option: the schedule; treatment: its
    family; block: the part of the forest; area in ha; income in k EUR (net
    present value), carbon in t CO2 after 30 years, the biodiversity and
    scenery penalties (habitat ha, visible ha), all for the whole stand; and
    vol_p1 to vol_p3: the volume harvested in years 0-9, 10-19 and 20-29, in
    m3 per ha. Values are rounded as a yield table would print them.
    """
    stands = make_forest(n_stands, seed)
    rng = random.Random(seed + 2)
    rows = []
    for number, (stand, chosen) in enumerate(zip(stands, choose_options(stands, seed)), start=1):
        block = BLOCKS[rng.randrange(len(BLOCKS))]
        for treatment in chosen:
            (income, carbon, habitat, scenery), harvests = simulate(stand, treatment)
            periods = [0.0, 0.0, 0.0]
            for year, cut in harvests:
                periods[min(2, year // 10)] += cut
            rows.append(dict(zip(CSV_COLUMNS, [
                f"{number:04d}", option_label(treatment), treatment.name, block, f"{stand.area:.2f}",
                f"{income:.3f}", f"{carbon:.1f}", f"{habitat:.3f}", f"{scenery:.3f}",
                *(f"{v:.1f}" for v in periods)])))
    return rows


def write_csv(path: str, n_stands: int, seed: int) -> int:
    """Write long_rows() as a CSV file; returns the number of rows."""
    import csv

    rows = long_rows(n_stands, seed)
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, CSV_COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    return len(rows)


def relative_to_stand_best(table):
    """Each value minus the best value of its stand and variable.

    Subtracting a constant per stand and variable adds the same constant to
    every plan's total, so the Pareto front (as a set of plans) stays the
    same. It matters for the thinning: trelvik shifts each variable by its
    minimum over the whole table, and its boxes grow with the shifted sums.
    In real units those sums hold hundreds of stands' worth of shift and the
    boxes come out far wider than the trade-offs; relative to each stand's
    best option the sums start at zero and the boxes fit the trade-offs.
    """
    relative = []
    for stand in table:
        best = [min(option[k] for option in stand) for k in range(len(stand[0]))]
        relative.append([[x - b for x, b in zip(option, best)] for option in stand])
    return relative


def totals(table, design: Sequence[int]) -> List[float]:
    """A plan's objective values in real units, summed from the table."""
    n = len(table[0][0])
    return [sum(table[stand][option][k] for stand, option in enumerate(design)) for k in range(n)]


def display(values: Sequence[float]) -> List[float]:
    """Objective values in the units shown to people (income and carbon positive)."""
    return [OBJECTIVES[k][2] * x * DISPLAY_SCALE[k] + 0.0 for k, x in enumerate(values)]  # no -0.0


def balanced_index(values: Sequence[Sequence[float]]) -> int:
    """The plan closest to the ideal point, each objective scaled to 0..1 over the front."""
    n = len(values[0])
    low = [min(v[k] for v in values) for k in range(n)]
    high = [max(v[k] for v in values) for k in range(n)]

    def worst_scaled(i):
        return max((values[i][k] - low[k]) / (high[k] - low[k]) if high[k] > low[k] else 0.0 for k in range(n))

    return min(range(len(values)), key=worst_scaled)


def load(n_stands: int, n_objectives: int, seed: int):
    """The example forest's table in real units and its option names per stand."""
    return build_table(make_forest(n_stands, seed), n_objectives, seed)


def header(table) -> str:
    """One line that describes the table."""
    counts = [len(stand) for stand in table]
    return (f"forest: {len(table)} stands, {sum(counts)} options ({min(counts)} to {max(counts)} per stand), "
            f"{len(table[0][0])} objectives")


def plan_table(rows, n_objectives: int) -> List[str]:
    """Rows of (label, values in the units shown) as aligned text lines under a header."""
    label_width = max(len(label) for label, _ in rows)
    headers = [f"{OBJECTIVES[k][0]} ({OBJECTIVES[k][1]})" for k in range(n_objectives)]
    widths = [max(12, len(h)) for h in headers]
    lines = ["  ".join(["plan".ljust(label_width)] + [h.rjust(w) for h, w in zip(headers, widths)])]
    for label, values in rows:
        lines.append("  ".join([label.ljust(label_width)] + [f"{v:,.1f}".rjust(w) for v, w in zip(values, widths)]))
    return lines


def treatment_mix(names, design: Sequence[int]) -> str:
    """How many stands a plan gives to each treatment family, most frequent first."""
    mix = Counter(names[stand][option] for stand, option in enumerate(design))
    return ", ".join(f"{name} {count}" for name, count in mix.most_common())


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Write the example forest as a planner's CSV table.")
    parser.add_argument("csv", metavar="FILE.csv", help="where to write it")
    parser.add_argument("--stands", type=int, default=40, help="number of stands (default 40)")
    parser.add_argument("--seed", type=int, default=7, help="seed of the made-up forest (default 7)")
    args = parser.parse_args()
    print(f"wrote {args.csv}: {write_csv(args.csv, args.stands, args.seed)} rows, {args.stands} stands")

"""Compares the output of print_fronts from two builds of the engine.

usage: compare_fronts.py REFERENCE OTHER

Identical outputs pass. Otherwise every difference must be one the design
allows: the platform's log1p differing in its last bits on a value of a
boundary table, with the same keyed value y on both sides. Such a difference
may move the value across the box boundary only when its quotient lies
within a few units in the last place of that boundary on both sides, and then
the front may differ exactly in the member that shows the value's box (the
option after it, see print_fronts.cpp). Each such difference is listed; any
other difference fails, with the lines that differ.
"""
import struct
import sys


def parse(path):
    """Tables in order: name -> {"lines": [...], "keys": {option: fields}, "members": [...]}."""
    tables = {}
    current = None
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.rstrip("\r\n")
            fields = line.split()
            if fields and fields[0] == "table":
                current = tables.setdefault(fields[1], {"lines": [], "keys": {}, "members": []})
            if current is None:
                raise SystemExit(f"{path}: output does not start with a table")
            if fields[:2] == ["key", "option"]:
                current["keys"][int(fields[2])] = dict(zip(fields[3::2], fields[4::2]))
            elif fields and fields[0] == "member":
                current["members"].append(line)
            elif fields and fields[0] != "front":
                current["lines"].append(line)
    return tables


def number(bits):
    return struct.unpack("<d", struct.pack("<Q", int(bits, 16)))[0]


def ulps_from_integer(bits):
    """Units in the last place between a quotient and the nearest whole number."""
    q = number(bits)
    nearest = float(round(q))
    step = abs(number(f"{int(bits, 16) + 1:016x}") - q)
    return abs(q - nearest) / step


def compare(reference_path, other_path):
    reference, other = parse(reference_path), parse(other_path)
    faults, allowed = [], []
    if list(reference) != list(other):
        faults.append(f"the tables differ: {list(reference)} / {list(other)}")
    for name in [name for name in reference if name in other]:
        a, b = reference[name], other[name]
        if a["lines"] != b["lines"]:
            faults.append(f"{name}: {a['lines']} / {b['lines']}")
        if a["keys"].keys() != b["keys"].keys():
            faults.append(f"{name}: the boundary values differ")
            continue
        flipped = set()
        for option, ka in a["keys"].items():
            kb = b["keys"][option]
            if ka == kb:
                continue
            where = f"{name} option {option}: y {ka['y']}"
            if ka["y"] != kb["y"]:
                faults.append(f"{where}: keyed value differs ({kb['y']})")
                continue
            distance = abs(int(ka["log1p"], 16) - int(kb["log1p"], 16))
            text = (f"{where} log1p {ka['log1p']} / {kb['log1p']} ({distance} ulp), "
                    f"quotient {ka['quotient']} / {kb['quotient']}, box {ka['box']} / {kb['box']}")
            if ka["box"] != kb["box"]:
                # The box is the floor of the quotient: it may change only
                # with the quotient, and only across the boundary it is at.
                near = max(ulps_from_integer(ka["quotient"]), ulps_from_integer(kb["quotient"]))
                floors = all(int(k["box"]) == int(number(k["quotient"])) for k in (ka, kb))
                if abs(int(ka["box"]) - int(kb["box"])) != 1 or near > 4 or not floors:
                    faults.append(text + ": a box changes, but not with log1p at a boundary")
                    continue
                flipped.add(option)
                text += f": the box changes, quotients within {near:.0f} ulp of the boundary"
            allowed.append(text)
        in_a, in_b = set(a["members"]), set(b["members"])
        if [m for m in a["members"] if m in in_b] != [m for m in b["members"] if m in in_a]:
            faults.append(f"{name}: the members common to both come in another order")
        # The member that shows a value's box is option + 1 of the second stand.
        for member in in_a ^ in_b:
            design = member.split(":")[0].split()[1:]
            shown = int(design[1]) - 1 if len(design) == 2 else None
            if shown not in flipped:
                side = "only in the reference" if member in in_a else "only in the other"
                faults.append(f"{name}: {member} ({side}), not explained by a box at a boundary")
        for option in flipped:
            expect_a = int(a["keys"][option]["box"]) > int(b["keys"][option]["box"])
            shows_a = any(m.split(":")[0].split()[1:] == ["0", str(option + 1)] for m in a["members"])
            shows_b = any(m.split(":")[0].split()[1:] == ["0", str(option + 1)] for m in b["members"])
            if shows_a != expect_a or shows_b == expect_a:
                faults.append(f"{name}: the front does not show the box of option {option}")
    return faults, allowed


def main():
    reference_path, other_path = sys.argv[1:3]
    faults, allowed = compare(reference_path, other_path)
    if allowed:
        print(f"{len(allowed)} boundary values where log1p differs (allowed):")
        for text in allowed:
            print("  " + text)
    if faults:
        print(f"{len(faults)} differences not explained by log1p at a box boundary:")
        for text in faults[:50]:
            print("  " + text)
        return 1
    flips = sum("the box changes" in text for text in allowed)
    if flips:
        print(f"fronts identical but for the boxes of {flips} values at a boundary")
    elif allowed:
        print(f"fronts identical ({len(allowed)} values with another log1p, none in another box)")
    else:
        print("fronts identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Indicator diagnosis of a real reaction network.

Loads a published network shipped in data/networks/ (by default the cobrapy
"mini" glycolysis model), lists its isolated buffering structures and then
diagnoses it: the smallest buffering structure is recorded with the sign of
its A-matrix determinant and contracted out, until the whole remaining network
is one structure.

    python examples/main.py [NETWORK] [--seed N]

NETWORK is a file name in data/networks/ without ".network.json", or a prefix
of one (for example BIOMD0000000005).
"""

import argparse
import math
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

from networks import list_networks, load_network  # noqa: E402

from quelmar.cyquelmar import CRN, indicator_diagnose  # noqa: E402


def sign_text(s):
    if isinstance(s, float) and math.isnan(s):
        return "indeterminate (both signs possible)"
    return {1.0: "positive", -1.0: "negative", 0.0: "zero"}.get(float(s), str(s))


def wrap(names, indent, width=78):
    lines, line = [], ""
    for name in names:
        piece = name if not line else ", " + name
        if len(indent) + len(line) + len(piece) > width and line:
            lines.append(line + ",")
            line = name
        else:
            line += piece
    lines.append(line)
    return ("\n" + indent).join(lines) if names else "(none)"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("network", nargs="?", default="mini_textbook",
                        help="one of: " + ", ".join(list_networks()))
    parser.add_argument("--seed", type=int, default=0, help="NumPy seed (default 0)")
    args = parser.parse_args(argv)

    stoi, reginfo, species, reactions, name = load_network(args.network)
    crn = CRN(stoi, reginfo, list(species), list(reactions), name)
    m, n = stoi.shape
    order = np.array(crn.A).shape[0]
    print(f"Network {name}: {m} species, {n} reactions, "
          f"{order - m} cycles, {order - n} conserved quantities")

    np.random.seed(args.seed)
    structures = crn.search_for_isoBSs()
    print(f"\n{len(structures)} isolated buffering structures "
          "(species / reactions):")
    for s in structures:
        print(f"  {int(s[:m].sum()):3d} / {int(s[m:].sum()):3d}")

    records = indicator_diagnose(crn)
    print(f"\nIndicator diagnosis: {len(records)} step(s)")
    for k, rec in enumerate(records, 1):
        print(f"\n{k}. sign of det A: {sign_text(rec['sign_det'])}")
        print("   species:   " + wrap(rec["chemicals"], " " * 14))
        print("   reactions: " + wrap(rec["reactions"], " " * 14))
    return 0


if __name__ == "__main__":
    sys.exit(main())

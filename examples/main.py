"""The whole analysis of a published network in a few lines.

    python examples/main.py [NETWORK] [--seed N]

NETWORK is a model file (SBML, cobrapy JSON, Antimony) or one of the
networks in data/networks/, named without ".network.json" (by default the
cobrapy "mini" glycolysis model).
"""

import argparse
import os
import sys

import quelmar
from quelmar.loaders import load_network_json

NETWORKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        "data", "networks")


def network(name):
    shipped = os.path.join(NETWORKS, name + ".network.json")
    if os.path.exists(shipped):
        return load_network_json(shipped)
    return quelmar.load(name)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("network", nargs="?", default="mini_textbook")
    parser.add_argument("--seed", type=int, default=0, help="NumPy seed (default 0)")
    args = parser.parse_args(argv)

    result = quelmar.analyze(network(args.network), seed=args.seed)
    print(result)                                   # the text report
    if result.structures:                           # the results as data
        smallest = result.structures[0]
        members = smallest.species + smallest.reactions
        print(f"\nThe smallest buffering structure, {smallest.id}, holds "
              f"{', '.join(members)}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())

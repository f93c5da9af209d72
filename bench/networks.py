"""Real reaction networks of data/networks/, as arrays ready for ``CRN``.

    from networks import load_network, list_networks
    stoi, reginfo, species, reactions, name = load_network("e_coli_core")
    crn = CRN(stoi, reginfo, species, reactions, name)

A network file ``KEY.network.json`` (or ``KEY.network.json.gz``) holds

    {"name": str, "species": [id, ...], "reactions": [id, ...],
     "stoichiometry": [[float, ...], ...],     # one row per species
     "regulation": [["inf" | number, ...], ...],
     "source": str}

JSON has no infinity, so a regulation entry is the string "inf" (also
"-inf" and "nan" are read) where the rate of the reaction depends on the
species.  Where each file comes from is in data/networks/SOURCES.md.  The
files are read by ``quelmar.loaders.read_network_json``; this module finds
them by name.
"""

import os

import numpy as np

from quelmar.cyquelmar import CRN
from quelmar.loaders import read_network_json

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETWORK_DIR = os.path.join(ROOT, "data", "networks")
SUFFIXES = (".network.json", ".network.json.gz")


def _paths(directory=None):
    """Map each network key to its file path."""
    directory = NETWORK_DIR if directory is None else directory
    found = {}
    for entry in sorted(os.listdir(directory)):
        for suffix in SUFFIXES:
            if entry.endswith(suffix):
                found[entry[: -len(suffix)]] = os.path.join(directory, entry)
    return found


def list_networks(directory=None):
    """Keys of the available networks (file names without the suffix), sorted."""
    return sorted(_paths(directory))


def network_path(name, directory=None):
    """Path of the network ``name``.

    ``name`` is a key of ``list_networks()`` (for example "e_coli_core" or
    "BIOMD0000000005_Tyson1991"), a prefix shared by exactly one key (for
    example "BIOMD0000000005"), or a path to a network file.
    """
    if os.path.sep in name or name.endswith(SUFFIXES):
        return name
    paths = _paths(directory)
    if name in paths:
        return paths[name]
    matches = [key for key in paths if key.startswith(name)]
    if len(matches) == 1:
        return paths[matches[0]]
    if matches:
        raise KeyError("network name %r is ambiguous: %s" % (name, ", ".join(matches)))
    raise KeyError("no network %r in %s (have: %s)"
                   % (name, directory or NETWORK_DIR, ", ".join(sorted(paths))))


def load_network(name, directory=None):
    """Load a network: ``(stoi, reginfo, species, reactions, name)``.

    ``stoi`` and ``reginfo`` are C-contiguous float64 arrays of shape
    species x reactions, with +inf in ``reginfo`` for every "inf" entry (a
    file without a regulation matrix gets the default of ``CRN``);
    ``species`` and ``reactions`` are lists of str; ``name`` is the
    network's "name" field.  The file is read by the package's reader.
    """
    net = read_network_json(network_path(name, directory))
    reginfo = net.reginfo
    if reginfo is None:
        reginfo = np.array(CRN(net.stoi).reginfo)
    return net.stoi, reginfo, net.species, net.reactions, net.name


def network_sizes(name, directory=None):
    """``(species, reactions, rank)`` of a network's stoichiometry matrix.

    The A-matrix of the network has order ``species + reactions - rank``.
    """
    stoi = load_network(name, directory)[0]
    m, n = stoi.shape
    rank = int(np.linalg.matrix_rank(stoi)) if stoi.size else 0
    return m, n, rank


if __name__ == "__main__":
    for key in list_networks():
        stoi, reginfo, species, reactions, label = load_network(key)
        print("%-48s %-36s %5d x %-5d inf: %d"
              % (key, label, stoi.shape[0], stoi.shape[1],
                 int(np.isinf(reginfo).sum())))

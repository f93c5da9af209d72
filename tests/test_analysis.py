"""quelmar.analyze: result contents, the inclusion hierarchy, the copy it
works on, reproducibility, text / JSON / HTML forms and the diagram."""

import itertools
import io
import json
import math
import os
import shutil

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("libsbml")

import quelmar  # noqa: E402
from quelmar.analysis import diagnosis_skip_reason, structures_of  # noqa: E402
from quelmar.cyquelmar import indicator_diagnose  # noqa: E402
from quelmar.hasse import hasse_diagram  # noqa: E402
from quelmar.result import Analysis  # noqa: E402
from quelmar.diagram import hierarchy_dot, write_diagram  # noqa: E402
from quelmar.hasse import children_lists, hasse_edges  # noqa: E402
from quelmar.irreducible import irreducible_bits, irreducible_rows  # noqa: E402

from support import MODELS, NETWORKS  # noqa: E402
needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot not installed")


@pytest.fixture(scope="module")
def mini():
    with pytest.warns(quelmar.ModelWarning):
        return quelmar.load(os.path.join(MODELS, "cobrapy_mini.json"))


@pytest.fixture(scope="module")
def mini_result(mini):
    return quelmar.analyze(mini, seed=3)


def members(s):
    return {("s", x) for x in s.species} | {("r", x) for x in s.reactions}


def test_hasse_diagram_of_hand_made_sets():
    sets = [{1}, {2}, {1, 2}, {1, 2, 3}, {4}, {1, 2, 3, 4}]
    assert hasse_diagram(sets) == [[], [], [0, 1], [2], [], [3, 4]]
    assert hasse_diagram([]) == []


def hasse_by_sets(sets):
    """The Hasse diagram by pairwise comparison of Python sets."""
    sets = [frozenset(s) for s in sets]
    below = [[j for j, b in enumerate(sets) if b < a] for a in sets]
    return [[j for j in inside if not any(sets[j] < sets[k] for k in inside if k != j)]
            for inside in below]


# small sets of a few elements and large ones missing a few, as the
# structures of a genome-scale network are (the two are handled apart)
few = st.frozensets(st.integers(0, 29), max_size=4)
small_and_large = st.lists(st.tuples(st.booleans(), few).map(
    lambda t: t[1] if t[0] else frozenset(range(30)) - t[1]), max_size=40)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.frozensets(st.integers(0, 7)), max_size=24) | small_and_large)
def test_hasse_diagram_equals_pairwise_comparison(sets):
    # small universes make nested sets, duplicates and empty sets frequent
    want = hasse_by_sets(sets)
    assert hasse_diagram(sets) == want
    member = np.zeros((len(sets), 30), dtype=bool)
    for i, s in enumerate(sets):
        member[i, list(s)] = True
    assert hasse_diagram(member) == want
    # the same from the rows as bits, with stray bits past the elements
    bits = np.packbits(member, axis=1, bitorder="little")
    bits[:, -1] |= 0xC0
    child, parent = hasse_edges(bits, elements=30)
    assert children_lists(child, parent, len(sets)) == want
    # irreducible: not the union of the sets strictly inside
    union = [frozenset().union(*(b for b in sets if b < a)) for a in sets]
    irreducible = [i for i, a in enumerate(sets) if union[i] != a]
    assert irreducible_rows(member, want) == irreducible
    assert irreducible_bits(np.packbits(member, axis=1, bitorder="little"), child,
                            parent) == irreducible
    # the edges in any order, the rows read through a strided view
    turn = np.random.default_rng(len(sets)).permutation(len(child))
    wide = np.zeros((len(sets), 8), dtype=np.uint8)
    wide[:, ::2] = np.packbits(member, axis=1, bitorder="little")
    assert irreducible_bits(wide[:, ::2], child[turn], parent[turn]) == irreducible


def test_hierarchy_is_the_hasse_diagram_of_the_structures(mini_result):
    structs = mini_result.structures
    assert len(structs) > 3
    sets = {s.id: members(s) for s in structs}
    assert len(set(map(frozenset, sets.values()))) == len(structs)  # distinct
    edges = {(s.id, c) for s in structs for c in s.children}
    assert edges, "this network has nested structures"
    for parent, child in edges:
        assert sets[child] < sets[parent]  # every edge a strict inclusion
        # no edge implied by two others: nothing strictly between the two
        assert not any(sets[child] < sets[k] < sets[parent] for k in sets)
    # and every strict inclusion is a path of edges
    def below(a):
        seen, stack = set(), [a]
        while stack:
            x = stack.pop()
            for p, c in edges:
                if p == x and c not in seen:
                    seen.add(c)
                    stack.append(c)
        return seen
    for a, b in itertools.permutations(sets, 2):
        assert (sets[b] < sets[a]) == (b in below(a))
    assert mini_result.hierarchy == {s.id: s.children for s in structs}


def test_result_contents(mini, mini_result):
    r = mini_result
    assert r.name == "mini_textbook"
    assert r.species == list(mini.X_names) and r.reactions == list(mini.R_names)
    assert r.sensitivity.shape == mini.stoi.shape and r.sensitivity.dtype == bool
    assert [s.id for s in r.structures] == [f"B{k}" for k in range(1, len(r.structures) + 1)]
    sizes = [(len(s.species), len(s.reactions)) for s in r.structures]
    assert sizes == sorted(sizes)  # smallest first
    for s in r.structures:
        assert set(s.species) <= set(r.species) and set(s.reactions) <= set(r.reactions)
    assert r.diagnosis and all(set(d) == {"chemicals", "reactions", "sign_det"}
                               for d in r.diagnosis)
    j = r.reactions.index("EX_glc__D_e")
    assert r.responding("EX_glc__D_e") == [x for i, x in enumerate(r.species)
                                           if r.sensitivity[i, j]]
    with pytest.raises(KeyError, match="no reaction named 'EX_glc_D_e'; the closest: "
                       "'EX_glc__D_e'"):
        r.responding("EX_glc_D_e")
    with pytest.raises(KeyError, match="no structure named 'b1'; the closest: 'B1'"):
        r.structure("b1")
    assert repr(quelmar.from_reactions(["A ->", "-> A"])) == \
        "<CRN 'network': 1 species, 2 reactions, structurally regular>"


def test_network_is_left_unchanged_and_seed_reproduces():
    crn = quelmar.load(os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml"))
    before = (crn.stoi.copy(), crn.reginfo.copy(), list(crn.X_names),
              list(crn.R_names), np.array(crn.A))
    a = quelmar.analyze(crn, trials=3, seed=11)
    assert len(a.diagnosis) > 1  # the diagnosis contracted a copy of the network
    b = quelmar.analyze(crn, trials=3, seed=11)
    assert a.to_dict() == b.to_dict()
    assert a.trials == 3 and a.seed == 11
    np.testing.assert_array_equal(crn.stoi, before[0])
    np.testing.assert_array_equal(crn.reginfo, before[1])
    assert (list(crn.X_names), list(crn.R_names)) == (before[2], before[3])
    np.testing.assert_array_equal(np.array(crn.A), before[4])
    # A progress display that takes reports sees the search and the diagnosis
    # run to their end, and the result does not change.
    reports = {}

    class Step:
        def __init__(self, name):
            self.name = name

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def update(self, done, total):
            reports.setdefault(self.name, []).append((done, total))

    c = quelmar.analyze(crn, trials=3, seed=11, progress=Step)
    assert c.to_dict() == a.to_dict()
    for step in ("isolated buffering structures", "indicator diagnosis"):
        done, total = reports[step][-1]
        assert done == total > 0, step
    # tqdm's bars count what the steps count; nobody watches a test: no bars
    tqdm = pytest.importorskip("tqdm")
    from quelmar.progress import TqdmProgress, choose
    out = io.StringIO()
    d = quelmar.analyze(crn, seed=11, progress=TqdmProgress(tqdm.tqdm, file=out, delay=0,
                                                            leave=True))
    k = len(d.structures)
    for counted in (" candidates/s]", f"{k}/{k} [", " structures/s]", " reactions contracted/s]"):
        assert counted in out.getvalue(), out.getvalue()
    assert choose(None) is None


@pytest.mark.parametrize("model", ["BIOMD0000000005_Tyson1991.xml",
                                   "BIOMD0000000064_Teusink2000.xml",
                                   "cobrapy_textbook.xml.gz"])
def test_analysis_is_the_networks_own_calls_with_the_same_draws(model):
    # the search is handed the sensitivity already computed; what it finds,
    # and what the diagnosis draws after it, must be as if it had asked the
    # network itself (the textbook model's whole-network sign takes
    # gradients large enough to share out among threads)
    crn = quelmar.load(os.path.join(MODELS, model))
    result = quelmar.analyze(crn, trials=3, seed=4)
    state = np.random.get_state()
    try:
        np.random.seed(4)
        own = quelmar.CRN(crn.stoi.copy(), crn.reginfo.copy())
        sens = np.array(own._smat_(3), dtype=bool)
        found = np.array(own.search_for_isoBSs(3), dtype=bool).reshape(-1, sum(sens.shape))
        diagnosis = indicator_diagnose(own)
    finally:
        np.random.set_state(state)
    assert (result.sensitivity == sens).all()
    m = sens.shape[0]
    assert [(np.flatnonzero(row[:m]).tolist(), np.flatnonzero(row[m:]).tolist())
            for row in found] == [
        ([crn.X_names.index(x) for x in s.species], [crn.R_names.index(r) for r in s.reactions])
        for s in result.structures]
    np.testing.assert_array_equal([r["sign_det"] for r in diagnosis],
                                  [r["sign_det"] for r in result.diagnosis])  # NaN for NaN


def test_analyze_rejects_bad_arguments(mini):
    with pytest.raises(TypeError, match="expected a network: a CRN, a model file name or"):
        quelmar.analyze(np.zeros((2, 2)))
    with pytest.raises(ValueError, match="at least 1"):
        quelmar.analyze(mini, trials=0)
    # names the reports and the JSON form could not tell apart or print
    S = np.array([[1.0, -1.0, 0.0], [0.0, 1.0, -1.0]])
    for names, error, match in (
            (dict(X_names=["A", "A"]), ValueError, "'A' is given twice"),
            (dict(X_names=["A"]), ValueError, "1 species names, not one per species"),
            (dict(R_names=[b"x", "y", "z"]), TypeError, "must be strings, not bytes")):
        with pytest.raises(error, match=match):
            quelmar.analyze(quelmar.cyquelmar.CRN(S, **names))


def test_json_round_trip_and_nan_sign(mini_result):
    data = json.loads(mini_result.to_json())
    assert (data["format"], data["schema"], data["quelmar"]) == ("quelmar-analysis", 2,
                                                                 quelmar.__version__)
    assert data["species"] == mini_result.species
    back = Analysis.from_json(mini_result.to_json(indent=None))
    assert back.to_dict() == mini_result.to_dict()
    np.testing.assert_array_equal(back.sensitivity, mini_result.sensitivity)
    assert (back.structures, back.annotations) == (mini_result.structures,
                                                    mini_result.annotations)
    assert back.irreducible == mini_result.irreducible == data["structures"]["irreducible"]
    # the first form: names everywhere, the sensitivity as nested lists
    first = {k: data[k] for k in ("name", "source", "trials", "seed", "species",
                                  "reactions", "diagnosis", "diagnosis_skipped")}
    first["sensitivity"] = mini_result.sensitivity.tolist()
    first["structures"] = [{"id": s.id, "species": s.species, "reactions": s.reactions,
                            "children": s.children} for s in mini_result.structures]
    old = Analysis.from_dict(first)
    assert old.structures == mini_result.structures and not old.annotations
    np.testing.assert_array_equal(old.sensitivity, mini_result.sensitivity)
    # an indeterminate sign is NaN in Python and null in JSON
    odd = Analysis.from_dict(data)
    odd.diagnosis[0]["sign_det"] = math.nan
    text = odd.to_json()
    assert json.loads(text)["diagnosis"][0]["sign_det"] is None
    assert json.loads(text)["diagnosis"][0]["sign"] == "indeterminate"
    assert math.isnan(Analysis.from_json(text).diagnosis[0]["sign_det"])


def _damaged(data, how):
    data = json.loads(json.dumps(data))
    st = data["structures"]
    if how == "negative member":
        st["members"][0][0] = -1
    elif how == "member past the end":
        st["members"][0][0] = len(data["species"]) + len(data["reactions"])
    elif how == "child past the end":
        st["children"][0] = [len(st["members"])]
    elif how == "children in a cycle":
        st["children"][0], st["children"][1] = [1], [0]
    elif how == "names as a string":
        data["species"] = "".join(data["species"])
    elif how == "rows as text":
        data["sensitivity"]["rows"] = str(data["sensitivity"]["rows"])
    elif how == "bits not base64":
        data["sensitivity"]["bits"] = "***"
    elif how == "no reactions":
        del data["reactions"]
    elif how == "a list":
        data = [data]
    return data


@pytest.mark.parametrize("how", ["negative member", "member past the end",
                                 "child past the end", "children in a cycle",
                                 "names as a string", "rows as text", "bits not base64",
                                 "no reactions", "a list"])
def test_damaged_json_is_refused_with_a_reason(mini_result, how):
    data = json.loads(mini_result.to_json())
    assert len(data["structures"]["members"]) >= 2
    with pytest.raises(ValueError) as e:
        Analysis.from_dict(_damaged(data, how))
    assert str(e.value) and "23 x 18, not 23 x 18" not in str(e.value)
    with pytest.raises(ValueError, match="nested too deeply"):
        Analysis.from_json("[" * 100000 + "]" * 100000)


def test_text_and_html(mini_result):
    text = str(mini_result)
    assert text.startswith("Network mini_textbook: 23 species, 18 reactions")
    for s in mini_result.structures:
        assert f"  {s.id}: " in text
    assert "Indicator diagnosis" in text and "Hierarchy" in text
    assert "EX_glc__D_e" in text
    assert "<Analysis of 'mini_textbook'" in repr(mini_result)
    crn = quelmar.from_reactions(["A -> B", "B -> A"], name="<toy & co>")
    page = quelmar.analyze(crn, seed=0)._repr_html_()
    assert "&lt;toy &amp; co&gt;" in page and "<toy" not in page
    assert "<table" in page


def test_dot_text(mini_result):
    dot = hierarchy_dot(mini_result)
    assert dot.startswith("digraph buffering_structures {")
    for s in mini_result.structures:
        assert f'"{s.id}" [label=<' in dot
        for c in s.children:
            assert f'"{s.id}" -> "{c}";' in dot
    assert dot.count(" -> ") == sum(len(s.children) for s in mini_result.structures)


@needs_dot
@pytest.mark.parametrize("ext", [".svg", ".png", ".dot"])
def test_write_diagram(tmp_path, mini_result, ext):
    path = write_diagram(mini_result, tmp_path / f"h{ext}")
    with open(path, "rb") as f:
        data = f.read()
    magic = {".svg": b"<svg", ".png": b"\x89PNG", ".dot": b"digraph"}[ext]
    assert magic in data[:400]


def test_write_diagram_refuses_unknown_type(tmp_path, mini_result):
    with pytest.raises(ValueError, match="unknown diagram type '.jpg'"):
        write_diagram(mini_result, tmp_path / "h.jpg")


def test_singular_network_is_named_not_analysed():
    # 0 -> a, a -> b, a -> 0: b is read by no rate, so the A-matrix is singular.
    crn = quelmar.from_reactions({"in": "-> a", "conv": "a -> b", "out": "a ->"}, name="toy")
    with pytest.warns(quelmar.ModelWarning, match="toy is structurally singular"):
        result = quelmar.analyze(crn, seed=1)
    assert not result.defined and result.sensitivity is None
    assert result.structures == [] and result.diagnosis == []
    assert result.regularity["species"] == ["a", "b"]
    text = str(result)
    assert text.index("Structural regularity: SINGULAR") < text.index("Sensitivity: undefined")
    assert "--prune" in text and "produced but never consumed" in text
    data = json.loads(result.to_json())
    assert list(data)[3:6] == ["name", "source", "regularity"]
    assert data["sensitivity"] is None and data["structures"] is None
    assert data["quelmar"] == quelmar.__version__
    assert repr(crn) == "<CRN 'toy': 2 species, 3 reactions, structurally singular " \
        "(structural rank 2 of 3)>"
    # every view that needs the sensitivity says so, and what to do in Python
    for view in (result.sensitivity_frame, result.structures_frame, result.hierarchy_graph,
                 result.plot_sensitivity, result.to_dot, lambda: result.responding("in")):
        with pytest.raises(quelmar.SingularNetworkError, match=r"quelmar\.prune\(crn\)"):
            view()
    again = Analysis.from_json(result.to_json())
    assert not again.defined and again.regularity == result.regularity
    page = result.to_html()
    assert page.index("Structural regularity: singular") < page.index("Undefined")

    pruned = quelmar.analyze(crn, seed=1, prune=True)
    assert pruned.defined and pruned.species == ["a"] and pruned.reactions == ["in", "out"]
    assert [r["name"] for r in pruned.preparation["removed"]] == ["b", "conv"]
    assert str(pruned).split("\n")[3] == "Preparation"
    assert crn.X_names == ["a", "b"]  # the caller's network is left alone


def test_prune_changes_nothing_for_a_regular_network(mini, mini_result):
    result = quelmar.analyze(mini, seed=3, prune=True)
    assert result.preparation["removed"] == []
    got, want = result.to_dict(), mini_result.to_dict()
    assert got.pop("preparation")["summary"].startswith("Preparation removed nothing")
    assert got == want


def test_diagnosis_runs_on_small_networks_only_by_default(mini, mini_result, monkeypatch):
    # the default is the full diagnosis here, with the same draws
    assert mini_result.diagnosis_skipped is None
    assert quelmar.analyze(mini, seed=3, diagnose=True).to_dict() == mini_result.to_dict()
    # the size rule: the order of the A-matrix (reactions + conserved quantities)
    def chain(k):  # k species, k + 1 reactions, order k + 1
        return quelmar.from_reactions(["-> A0", *(f"A{i} -> A{i + 1}" for i in range(k - 1)),
                                       f"A{k - 1} ->"])
    assert diagnosis_skip_reason(chain(299)) is None
    assert diagnosis_skip_reason(chain(300)).startswith(
        "Indicator diagnosis skipped: the A-matrix has order 301 (301 reactions and 0 "
        "conserved quantities), above the 300 ")
    assert diagnosis_skip_reason(chain(300), True) is None
    assert diagnosis_skip_reason(chain(3), False).startswith("Indicator diagnosis not run")
    with pytest.raises(TypeError, match="diagnose must be True, False or None"):
        quelmar.analyze(mini, diagnose="yes")

    monkeypatch.setattr(quelmar.analysis, "DIAGNOSE_MAX_ORDER", 20)
    big = quelmar.analyze(mini, seed=3)
    assert big.diagnosis == [] and "has order 24 (18 reactions and 6 conserved quantities)" \
        in big.diagnosis_skipped
    assert [s.children for s in big.structures] == [s.children for s in mini_result.structures]
    data = json.loads(big.to_json())
    assert data["diagnosis"] is None and data["diagnosis_skipped"] == big.diagnosis_skipped
    assert Analysis.from_json(big.to_json()).to_dict() == big.to_dict()
    text = str(big)
    assert "Indicator diagnosis skipped: the A-matrix has order 24" in text
    assert "Indicator diagnosis:" not in text and "diagnosis skipped>" in repr(big)
    assert "the A-matrix has order 24" in big.to_html()
    assert quelmar.analyze(mini, seed=3, diagnose=True).to_dict() == mini_result.to_dict()


def test_gene_knockouts_as_cobrapy_evaluates_them():
    cobra = pytest.importorskip("cobra")
    path = os.path.join(MODELS, "cobrapy_textbook.xml.gz")
    result = quelmar.analyze(quelmar.load(path), seed=1, diagnose=False)
    table = result.gene_responses()
    model = cobra.io.read_sbml_model(path)
    assert list(table.gene) == [g.id for g in model.genes] and len(table) == 137
    for row in table.itertuples():
        gene = model.genes.get_by_id(row.gene)
        assert row.name == gene.name and row.reactions == [r for r in result.reactions
                                                           if r in {x.id for x in gene.reactions}]
        with model:
            gene.knock_out()
            assert row.disabled == [r for r in row.reactions
                                    if not model.reactions.get_by_id(r).functional]
        hit = result.sensitivity[:, [result.reactions.index(r) for r in row.reactions]]
        assert row.responding == [s for s, h in zip(result.species, hit.any(axis=1)) if h]


def test_structures_and_responses_by_subsystem(mini_result):
    from quelmar.pathways import subsystem_summary
    subsystems = {"a": "Glycolysis", "b": "Glycolysis", "c": "Transport"}
    assert subsystem_summary(["a", "b", "c", "d"], subsystems, "reaction") \
        == "4 reactions, 2 of them in Glycolysis (the rest in 1 other subsystem)"
    assert subsystem_summary(["a", "b"], subsystems, "reaction") == "2 reactions, all in Glycolysis"
    assert subsystem_summary(["d"], subsystems, "species") == "1 species"
    # the only subsystem of the mini model's JSON is LDH_D's; its species follow it
    notes = mini_result.annotations
    assert notes.subsystems == {"LDH_D": "Pyruvate Metabolism"}
    assert set(notes.species_subsystems) == {"lac__D_c", "nad_c", "nadh_c", "pyr_c", "h_c"}


def test_a_seed_leaves_the_callers_generator_as_it_was():
    crn = quelmar.from_reactions(["-> A", "A -> B", "B ->"])
    np.random.seed(11)
    expected = np.random.random(3)
    np.random.seed(11)
    first = quelmar.analyze(crn, seed=5)
    assert np.array_equal(np.random.random(3), expected)
    assert quelmar.analyze(crn, seed=5).to_json() == first.to_json()


@settings(max_examples=100, deadline=None)
@given(st.lists(st.lists(st.booleans(), min_size=11, max_size=11), max_size=12),
       st.integers(1, 5))
def test_structures_of_the_search_rows(rows, chunk):
    species, reactions = [f"x{i}" for i in range(4)], [f"r{j}" for j in range(7)]
    member = np.array(rows, dtype=bool).reshape(-1, 11)
    k, x = np.nonzero(member)
    indptr = np.searchsorted(k, np.arange(len(rows) + 1))
    structures = structures_of(indptr, x.astype(np.int32), species, reactions, chunk=chunk)
    assert [(s.id, s.species, s.reactions) for s in structures] == [
        (f"B{k}", [x for x, b in zip(species, r) if b], [x for x, b in zip(reactions, r[4:]) if b])
        for k, r in enumerate(rows, 1)]


@pytest.mark.parametrize("network", ["mini", "chain", "e_coli_core"])
def test_search_rows_are_the_search_as_bits(network, mini):
    from quelmar.cyquelmar import _search_rows
    if network == "mini":
        crn = mini
    elif network == "chain":  # in -> a -> out: the whole network is the one structure
        crn = quelmar.CRN(np.array([[1.0, -1.0]]))
    else:
        crn = quelmar.load(os.path.join(NETWORKS, "e_coli_core.network.json"))
    state = np.random.get_state()
    try:
        np.random.seed(5)
        found = np.array(crn.search_for_isoBSs(), dtype=bool)
        after = np.random.get_state()[1]
        np.random.seed(5)
        bits, indptr, indices = _search_rows(crn)
        assert (np.random.get_state()[1] == after).all()  # the same draws
    finally:
        np.random.set_state(state)
    width = found.shape[1]
    assert bits.shape == (len(found), (width + 7) // 8)
    unpacked = np.unpackbits(bits, axis=1, bitorder="little")
    assert (unpacked[:, :width] == found).all() and not unpacked[:, width:].any()
    k, x = np.nonzero(found)
    assert indptr.tolist() == np.searchsorted(k, np.arange(len(found) + 1)).tolist()
    assert indices.tolist() == x.tolist()

"""Reports people look at: the compact and full text, the diagnosis in
words, the heat map, the notebook view and the HTML page (opened in
headless Chromium), and the way in from and out to other libraries."""

import importlib.util
import json
from html import escape as html_escape
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("libsbml")

import quelmar  # noqa: E402
from quelmar.result import Analysis  # noqa: E402
from quelmar.cli import main  # noqa: E402
from quelmar.report import diagnosis_sentences, sensitivity_groups, text_report  # noqa: E402

from support import HERE, MODELS, assert_same_network  # noqa: E402
BROWN = os.path.join(MODELS, "BIOMD0000000033_Brown2004.xml")
ECOLI = os.path.join(MODELS, "cobrapy_textbook.xml.gz")
TYSON = os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml")


@pytest.fixture(scope="module")
def brown():
    return quelmar.analyze(quelmar.load(BROWN), seed=0)


@pytest.fixture(scope="module")
def ecoli():
    return quelmar.analyze(quelmar.load(ECOLI), seed=0)


def test_text_report_compact_by_default_full_on_request(brown, ecoli):
    for r in (brown, ecoli):
        # the groups partition the reactions and rebuild the matrix exactly
        groups = sensitivity_groups(r)
        rebuilt = np.zeros_like(r.sensitivity)
        for species, reactions in groups:
            for x in reactions:
                rebuilt[[r.species.index(s) for s in species], r.reactions.index(x)] = True
        assert sorted(x for _, rs in groups for x in rs) == sorted(r.reactions)
        np.testing.assert_array_equal(rebuilt, r.sensitivity)
        compact, full = str(r), r.report(full=True)
        assert compact == text_report(r) and full == text_report(r, full=True)
        assert max(map(len, compact.splitlines())) <= 78
        for s in r.structures:
            assert f"  {s.id}: " in compact and f"  {s.id}: " in full
        for j, x in enumerate(r.reactions):  # the full report lists every response
            resp = [s for i, s in enumerate(r.species) if r.sensitivity[i, j]]
            assert re.search(rf"^  {re.escape(x)} +{re.escape(resp[0])}", full, re.M)
    # many small pieces: every list of the compact report is cut short
    chains = quelmar.from_reactions([x for i in range(15)
                                     for x in (f"-> A{i}", f"A{i} -> B{i}", f"B{i} ->")])
    wide = quelmar.analyze(chains, seed=0)
    assert len(wide.diagnosis) > 12 and len(sensitivity_groups(wide)) > 15
    assert len(str(wide).splitlines()) <= 100 < len(wide.report(full=True).splitlines())
    assert max(map(len, str(wide).splitlines())) <= 78
    assert "more, in" in str(wide) and "more parts, " in str(wide)
    assert len(str(ecoli).splitlines()) <= 100 < len(ecoli.report(full=True).splitlines())
    assert "every species <- 90 reactions" in str(ecoli)
    assert "(stays within B1: cit_c)" in str(ecoli)


def test_diagnosis_in_words(brown):
    data = brown.to_dict()
    for rec, sign in zip(data["diagnosis"], [1.0, None, 0.0, -1.0]):
        rec["sign_det"] = sign
    r = Analysis.from_dict(data)
    words = diagnosis_sentences(r, limit=None)
    assert len(words) == len(r.diagnosis)
    assert words[0].startswith("Structure B1, 16 species (SosInactive, ")
    assert "fixed (positive)" in words[0] and "no steady-state bifurcation" in words[0]
    assert "can change" in words[1] and "may arise" in words[1]
    assert "zero whatever" in words[2] and "fixed (negative)" in words[3]
    assert words[-1].startswith("What remains once the parts above are contracted, "
                                "3 species (NGF, freeNGFReceptor, boundNGFReceptor)")
    one = quelmar.analyze(quelmar.from_reactions(["-> A", "A ->"]), seed=0)
    assert diagnosis_sentences(one)[0].startswith("The whole network, 1 species (A)")


def test_heat_map_blocks_zoom_and_files(tmp_path, capsys, brown, ecoli):
    pytest.importorskip("matplotlib")
    from itertools import combinations

    from matplotlib.figure import Figure
    from quelmar.plot import heatmap_order, sensitivity_figure, write_plot
    for r in (brown, ecoli):
        rows, cols = heatmap_order(r)
        assert sorted(rows) == list(range(len(r.species)))
        assert sorted(cols) == list(range(len(r.reactions)))
        for s in r.structures:
            if not s.children:  # minimal structures are solid blocks
                pr = sorted(rows.index(r.species.index(x)) for x in s.species)
                pc = sorted(cols.index(r.reactions.index(x)) for x in s.reactions)
                assert pr == list(range(pr[0], pr[0] + len(pr)))
                assert pc == list(range(pc[0], pc[0] + len(pc)))
        fig = sensitivity_figure(r)
        shown = np.asarray(fig.axes[0].images[0].get_array())
        np.testing.assert_array_equal(shown, r.sensitivity[np.ix_(rows, cols)])
        # each structure but the whole network is named beside its outline
        # or listed beside the picture; no two names overlap
        fig.draw_without_rendering()
        ax = fig.axes[-1]  # the enlarged part when there is one
        named = [t.get_text().strip() for t in ax.texts]
        listed = " ".join(t.get_text() for t in ax.artists[0].get_texts()) if ax.artists else ""
        for s in r.structures[:-1]:
            assert (s.id in named) != (f"{s.id} = " in listed), s.id
        for a in fig.axes:
            boxes = [t.get_window_extent() for t in a.texts + a.get_yticklabels()]
            assert not any(p.overlaps(q) for p, q in combinations(boxes, 2))
    # e_coli_core's structures cover a 5 x 5 corner: a second panel enlarges it
    corner = sensitivity_figure(ecoli).axes[1].images[0].get_array()
    assert np.asarray(corner).shape == (5, 5) and len(sensitivity_figure(brown).axes) == 1
    zoom = sensitivity_figure(ecoli, structure="B12", max_labels=2)
    assert np.asarray(zoom.axes[0].images[0].get_array()).shape == (3, 3)
    assert zoom.axes[0].get_ylabel() == "3 species"  # past max_labels: no names
    # into given axes, as pandas and seaborn do; a small one thins the names
    ax = Figure(figsize=(4, 3)).add_subplot()
    assert ecoli.plot_sensitivity(ax) is ax and ax.get_legend() is not None
    assert ax.get_ylabel().startswith("one name in ")
    with pytest.raises(ValueError, match="needs a figure of its own"):
        ecoli.plot_sensitivity(ax, zoom=True)
    for ext, magic in [(".png", b"\x89PNG"), (".svg", b"<svg"), (".pdf", b"%PDF")]:
        path = write_plot(brown, tmp_path / ("h" + ext))
        with open(path, "rb") as f:
            assert magic in f.read(400)
    with pytest.raises(ValueError, match="unknown picture type '.jpg'"):
        write_plot(brown, tmp_path / "h.jpg")
    # from the command line, with the full report
    pdf = tmp_path / "cli.pdf"
    assert main(["analyze", BROWN, "--seed", "0", "--plot", str(pdf), "--full"]) == 0
    assert pdf.read_bytes().startswith(b"%PDF")
    assert "Sensitivity: species that respond" in capsys.readouterr().out
    assert main(["analyze", BROWN, "--plot", str(tmp_path / "h.gif")]) == 2
    assert "unknown picture type .gif" in capsys.readouterr().err


def test_notebook_view_shows_pictures_and_folds_lists(brown):
    pytest.importorskip("matplotlib")
    page = brown._repr_html_()
    assert page.count("<svg") >= (2 if shutil.which("dot") else 1)
    assert "<details><summary>16 species</summary>" in page
    assert "fixed" in page and "no steady-state bifurcation" in page


def test_many_large_structures_stay_readable():
    # a genome-scale result in miniature: small structures, then large nested
    # ones that hold most of the network, no diagnosis
    from quelmar.hasse import hasse_diagram
    from quelmar.result import BufferingStructure
    rng = np.random.default_rng(5)
    species = [f"s{i}" for i in range(300)]
    reactions = [f"r{j}" for j in range(400)]
    member = [np.eye(700, dtype=bool)[[i, 300 + i]].any(axis=0) for i in range(40)]
    base = rng.random(700) < 0.9
    member += [base | (rng.random(700) < 0.05) | member[k % 40] for k in range(110)]
    member = np.unique(np.array(member + [np.ones(700, dtype=bool)]), axis=0)
    member = member[np.lexsort((member[:, 300:].sum(1), member[:, :300].sum(1)))]
    structures = [BufferingStructure(f"B{k}", [species[i] for i in np.flatnonzero(row[:300])],
                                     [reactions[j] for j in np.flatnonzero(row[300:])])
                  for k, row in enumerate(member, 1)]
    for st, kids in zip(structures, hasse_diagram(member)):
        st.children = [f"B{j + 1}" for j in kids]
    assert max(len(st.children) for st in structures) > 10
    skipped = "Indicator diagnosis skipped: the A-matrix has order 700 (...)."
    r = Analysis("big", species, reactions, np.ones((300, 400), dtype=bool), structures,
                 [], diagnosis_skipped=skipped)
    compact, full = str(r).splitlines(), r.report(full=True)
    assert len(compact) <= 80 and max(map(len, compact)) <= 78
    assert any("more sub-structures" in line for line in compact)
    assert compact[-3] == skipped and "Indicator diagnosis" not in full.replace(skipped, "")
    # the full report names every structure, the members of the large ones
    # through their sub-structures and what they add
    for st in structures:
        assert f"  {st.id}: " in full and f"  {st.id} > " in full
    listed = full[full.index("Isolated buffering structures:"):full.index("Hierarchy:")]
    assert len(listed) < 50_000 < 5 * sum(len(st.species + st.reactions) for st in structures)
    page = r.to_html()
    assert len(page) < 500_000 and "all but " in page and html_escape(skipped) in page
    assert f"names of the other {len(structures) - 100} structures" in page
    # the diagram draws the irreducible structures only, the 35 of one species
    # and one reaction with nothing above them in one box
    unions = {st.id for k, st in enumerate(structures) if k not in set(r.irreducible)}
    listed = re.findall(r"<tr><td><b>(B\d+)</b>", page)
    assert len(listed) == len(structures) and set(listed[-4:]) == unions
    assert f"{len(structures)} buffering structures, {len(structures) - 4} irreducible; " \
           "the others are unions of these" in page
    drawn = re.findall(r'^  "([^"]+)" \[label=', r.to_dot(), re.M)
    assert drawn[0] == "B1 and 34 more" and len(drawn) == 109 and not unions & set(drawn)
    assert ("each with what it adds to those inside it" if shutil.which("dot")
            else "too many for a readable diagram") in page


HOSTILE_GENE = """<img src=x onerror="document.title='ran'">"""


def _large_result():
    """A result of more than 300 species, laid out as a large one, with
    subsystems, 251 genes and names that are markup."""
    from quelmar.annotations import Annotations
    from quelmar.result import BufferingStructure
    m, n = 320, 40
    species = [f"s{i}" for i in range(m - 1)] + ["<script>alert(1)</script>"]
    reactions = [f"r{j}" for j in range(n - 1)] + [
        "</script><script>document.title='ran'</script>"]
    sens = np.zeros((m, n), dtype=bool)
    sens[:, 20:] = True  # half of the reactions reach every species
    for j in range(20):
        sens[j, j] = True
    sens[100, 12] = True  # r12 (in "Transport & more") reaches two species
    structures = [BufferingStructure(f"B{j + 1}", [species[j]], [reactions[j]])
                  for j in range(20)]
    structures.append(BufferingStructure("B21", species[:2], reactions[:2], ["B1", "B2"]))
    notes = Annotations(subsystems={r: ("Glycolysis" if j < 10 else "Transport & more")
                                    for j, r in enumerate(reactions)},
                        species_subsystems={x: "Glycolysis" for x in species[:10]},
                        rules={"r0": "g1", "r1": ("or", ["g2", "g240"])},
                        genes={"g1": "<b>gene</b>", **{f"g{k}": f"gene {k}" for k in
                                                       range(2, 251)}, "g0": HOSTILE_GENE})
    return Analysis("big", species, reactions, sens, structures, [], annotations=notes)


def test_page_of_a_large_result_by_pathway():
    r = _large_result()
    species, reactions = r.species, r.reactions
    assert r.irreducible == list(range(20))
    text = str(r).splitlines()
    assert text[3] == "21 buffering structures, 20 irreducible; the others are unions of these"
    assert text[4] == "Sensitivity: 20 of 40 reactions reach more than 90 % of the species."
    assert text[6:10] == [
        "Sensitivity: the most local perturbations, by subsystem",
        "  19 reactions reach one species or none (such as r0, r1, r2 and 16 more)",
        "  Transport & more",
        "      2 species <- 1 reaction: r12 (stays local: s12, s100)"]
    assert text[10] == "  ... 20 reactions more (--full lists them)"
    page = r.to_html(genes=True)
    assert "<script>alert" not in page and "&lt;b&gt;gene&lt;/b&gt;" in page
    assert page.count("<script>") == 1 and "href='#pathways'" in page
    assert "id='local-table'" in page and "Transport &amp; more" in page
    from quelmar.page import pathway_grid
    rows, cols, share = pathway_grid(r)
    assert rows == ["(none)", "Glycolysis"] and cols == ["Glycolysis", "Transport & more"]
    # r0..r9 reach only s0..s9 in turn, r10..r19 one species each, the rest all
    assert share[1, 0] == 0.1 and share[0, 1] == (11 + 20 * 310) / (310 * 30)
    if importlib.util.find_spec("matplotlib"):  # the heat map: by pathway, or the blocks
        from quelmar.plot import heatmap_figure, irreducible_blocks
        assert heatmap_figure(r).axes[0].get_xlabel() == "subsystem of the perturbed reactions"
        blocks = irreducible_blocks(r)
        assert blocks.species == species[:20] and blocks.reactions == reactions[:20]
        assert (blocks.sensitivity == np.eye(20)).all() and len(blocks.structures) == 20
        assert len(heatmap_figure(r, view="blocks").axes[0].get_yticklabels()) == 20


def _browser_env():
    # the sanitizer run preloads its runtime into Python; not into the browser
    return {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_",
                                                                       "UBSAN_"))}


@pytest.mark.skipif(shutil.which("chromium") is None,
                    reason="chromium not installed (scripts/setup.sh installs it)")
def test_html_page_in_a_browser(tmp_path, capsys):
    mpimg = pytest.importorskip("matplotlib.image")
    page, shot = tmp_path / "report.html", tmp_path / "shot.png"
    assert main(["analyze", BROWN, "--seed", "0", "--html", str(page), "-q"]) == 0
    text = page.read_text()
    assert not re.search(r"""(src|href)\s*=\s*["']?(https?:|//)|<script|<link|@import""",
                         text)
    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               f"--user-data-dir={tmp_path / 'profile'}", "--hide-scrollbars",
               "--window-size=1000,900"]
    dom = subprocess.run(browser + ["--dump-dom", page.as_uri()], capture_output=True,
                         text=True, timeout=120, env=_browser_env()).stdout
    for heading in ["Sensitivity", "Isolated buffering structures", "Hierarchy", "Diagnosis"]:
        assert f">{heading}</h2>" in dom
    assert "<h1>Network Brown2004_NGF_EGF_signaling</h1>" in dom and dom.count("<svg") >= 1
    subprocess.run(browser + [f"--screenshot={shot}", page.as_uri()], capture_output=True,
                   timeout=120, env=_browser_env())
    pixels = mpimg.imread(shot)[..., :3]
    ink = (pixels.min(axis=2) < 0.5).mean()  # share of dark pixels: text and heat map
    assert pixels.shape[:2] == (900, 1000) and 0.02 < ink < 0.9


# Run in the page after its own script: types into each filter box as a
# user would (an input event after each change) and writes what it saw,
# with whether every link of the table of contents leads somewhere.
_CHECKS = """<script>
var seen = {toc: [], filters: {}, title: document.title};
document.querySelectorAll('nav a').forEach(function(a){
  seen.toc.push(!!document.getElementById(a.getAttribute('href').slice(1)));});
[['genes-table', 'g240'], ['structures-table', 'b21'], ['local-table', 'S100']]
.forEach(function(c){
  var box = document.querySelector("input.filter[data-table='" + c[0] + "']");
  var rows = function(){ return Array.prototype.filter.call(
    document.getElementById(c[0]).tBodies[0].rows, function(r){ return !r.hidden; }); };
  var before = rows().length;
  box.value = c[1]; box.dispatchEvent(new Event('input'));
  var kept = rows().map(function(r){ return r.cells[0].textContent; });
  box.value = ''; box.dispatchEvent(new Event('input'));
  seen.filters[c[0]] = [before, kept, rows().length];});
var out = document.createElement('pre'); out.id = 'seen';
out.textContent = JSON.stringify(seen); document.body.appendChild(out);
</script>"""


@pytest.mark.skipif(shutil.which("chromium") is None,
                    reason="chromium not installed (scripts/setup.sh installs it)")
def test_large_page_filters_and_contents_in_a_browser(tmp_path):
    page = tmp_path / "large.html"
    text = _large_result().to_html(genes=True)
    assert text.count("<script>") == 1 and HOSTILE_GENE not in text
    page.write_text(text.replace("</body>", _CHECKS + "</body>"))
    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=2000"]
    dom = subprocess.run(browser + ["--dump-dom", page.as_uri()], capture_output=True,
                         text=True, timeout=120, env=_browser_env()).stdout
    seen = json.loads(re.search(r"<pre id=\"seen\">(.*?)</pre>", dom).group(1)
                      .replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&"))
    assert seen["toc"] == [True] * 6
    # nothing of the model ran: the title is the page's own
    assert seen["title"] == "Network big: structural analysis" and "<title>Network big" in dom
    # 251 genes, 200 of them in the table at first; g240 waits in the template
    # until the filter asks for it, and then all of them are rows
    assert seen["filters"]["genes-table"] == [200, ["g240"], 251]
    assert seen["filters"]["structures-table"] == [21, ["B21"], 21]
    assert seen["filters"]["local-table"] == [20, ["Transport & more"], 20]


def test_model_objects_in(tmp_path):
    libsbml = pytest.importorskip("libsbml")
    doc = libsbml.readSBMLFromFile(TYSON)
    assert_same_network(quelmar.load(doc), quelmar.load(TYSON), name=False)
    assert_same_network(quelmar.load(doc.getModel()), quelmar.load(TYSON), name=False)
    assert_same_network(quelmar.load(doc.getModel().clone()), quelmar.load(TYSON),
                        name=False)  # no document
    roadrunner = pytest.importorskip("roadrunner")
    assert_same_network(quelmar.load(roadrunner.RoadRunner(TYSON)), quelmar.load(TYSON), name=False)
    cobra = pytest.importorskip("cobra")
    fbc = os.path.join(MODELS, "cobrapy_mini_fbc2.xml")
    with pytest.warns(quelmar.ModelWarning):
        model, ref = cobra.io.read_sbml_model(fbc), quelmar.load(fbc)
    with pytest.warns(quelmar.ModelWarning):
        assert_same_network(quelmar.load(model), ref, name=False)
    with pytest.warns(quelmar.ModelWarning):
        assert quelmar.analyze(model, seed=1).to_dict() == quelmar.analyze(ref, seed=1).to_dict()
    # every function that takes a network takes a file or a model object too
    with pytest.warns(quelmar.ModelWarning):
        assert quelmar.regularity(model).to_dict() == quelmar.regularity(ref).to_dict()
    with pytest.warns(quelmar.ModelWarning):
        assert quelmar.prune(model).to_dict() == quelmar.prune(ref).to_dict()
    by_path = quelmar.analyze(TYSON, seed=1)
    assert by_path.source == TYSON
    assert by_path.to_dict() | {"source": None} == quelmar.analyze(quelmar.load(TYSON),
                                                                   seed=1).to_dict()
    with pytest.raises(TypeError, match="format applies to files only"):
        quelmar.load(doc, format="sbml")
    with pytest.raises(TypeError, match="cannot read a network from dict"):
        quelmar.load({})


def test_results_out(brown):
    pd = pytest.importorskip("pandas")
    nx = pytest.importorskip("networkx")
    frame = brown.sensitivity_frame()
    assert frame.shape == brown.sensitivity.shape and frame.dtypes.eq(bool).all()
    assert list(frame.index) == brown.species and list(frame.columns) == brown.reactions
    np.testing.assert_array_equal(frame.to_numpy(), brown.sensitivity)
    table = brown.structures_frame()
    assert list(table.index) == [s.id for s in brown.structures]
    assert table.loc["B2", "children"] == ["B1"] and table.loc["B1", "n_species"] == 16
    assert isinstance(table, pd.DataFrame)
    tidy = brown.structures_frame(long=True)
    assert len(tidy) == table.n_species.sum() + table.n_reactions.sum()
    b2 = tidy[tidy.structure == "B2"]
    assert set(b2[b2.kind == "species"].name) == set(brown.structure("B2").species)
    assert set(b2[b2.own].name) == {"BRafInactive", "BRafActive", "BRafByRap1ActivationReaction",
                                    "BRafbyPPtaseDeactivationReaction"}
    g = brown.hierarchy_graph()
    assert set(g.edges) == {(s.id, c) for s in brown.structures for c in s.children}
    assert g.nodes["B1"]["species"] == brown.structure("B1").species
    assert nx.is_directed_acyclic_graph(g)
    assert brown.hierarchy == nx.to_dict_of_lists(g)


def test_response_signs_in_every_output(tmp_path, capsys, brown):
    from quelmar.signs import EXACT, sign_decisions
    pd = pytest.importorskip("pandas")
    result = quelmar.analyze(BROWN, seed=0, signs=True)
    # the signs draw from a generator of their own: the rest is unchanged
    assert np.array_equal(result.sensitivity, brown.sensitivity)
    assert result.structures == brown.structures and result.diagnosis == brown.diagnosis
    alone = sign_decisions(quelmar.load(BROWN), sensitivity=brown.sensitivity)
    assert np.array_equal(result.signs, alone.signs, equal_nan=True)
    assert np.array_equal(result.sign_methods, alone.method)
    assert np.array_equal(result.signs == 0, ~result.sensitivity)
    back = Analysis.from_json(result.to_json())
    assert np.array_equal(back.signs, result.signs, equal_nan=True)
    assert np.array_equal(back.sign_methods, result.sign_methods)
    assert back.sign_draws == result.sign_draws and brown.to_json().find('"signs"') < 0
    words = result.signs_frame(labels=True)
    assert isinstance(words, pd.DataFrame) and list(words.index) == result.species
    assert words.loc["EGF", "EGFBindingReaction"] == "fall"
    assert words.loc["boundEGFReceptor", "EGFBindingReaction"] == "rise"
    assert (words.to_numpy() == "either").sum() == np.isnan(result.signs).sum()
    with pytest.raises(ValueError, match="signs=True"):
        brown.signs_frame()
    text = result.report()
    assert "Response signs (raising a reaction's rate): 21 rise, 21 fall" in text
    assert f"{int((result.sign_methods == EXACT).sum())} decided exactly" in text
    assert "  EGFBindingReaction: up boundEGFReceptor; down EGF, freeEGFReceptor" in text
    page = result.to_html()
    assert "<h2>Response signs</h2>" in page and "species that fall" in page
    assert page.count("<svg") == brown.to_html().count("<svg") + 1
    # the command: --signs with --json and --plot (coloured by sign)
    out, png = tmp_path / "b.json", tmp_path / "b.png"
    assert main(["analyze", BROWN, "--seed", "0", "--signs", "--json", str(out),
                 "--plot", str(png), "--quiet"]) == 0
    written = Analysis.from_json(out.read_text())
    assert np.array_equal(written.signs, result.signs, equal_nan=True)
    assert png.stat().st_size > 0


def test_factors_of_the_determinant_in_the_outputs(tmp_path, brown):
    from quelmar.factors import bifurcation_factors
    result = quelmar.analyze(BROWN, seed=0, factors=True)
    assert np.array_equal(result.sensitivity, brown.sensitivity)
    assert result.diagnosis == brown.diagnosis
    np.random.seed(0)
    alone = bifurcation_factors(quelmar.load(BROWN))
    assert [f.to_dict() for f in result.factors] == [f.to_dict() for f in alone]
    back = Analysis.from_json(result.to_json())
    assert [f.to_dict() for f in back.factors] == [f.to_dict() for f in result.factors]
    frame = result.factors_frame()
    assert list(frame.structure) == [result.structures[f.structure].id if f.structure
                                     is not None else None for f in result.factors]
    text = " ".join(result.report().split())
    assert "det A is the product of 6 factors: 5 of fixed sign, 1 either way" in text
    assert "B1: indeterminate (certified, order 25)" in text
    assert result.report(full=True).count("(exact, order") == 5
    assert "Factors of the determinant</h2>" in result.to_html()
    out = tmp_path / "b.json"
    assert main(["analyze", BROWN, "--seed", "0", "--factors", "--json", str(out),
                 "--quiet"]) == 0
    assert len(Analysis.from_json(out.read_text()).factors) == 6


def test_heat_map_coloured_by_sign(brown):
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure
    from quelmar.plot import SIGN_COLOURS, plot_signs
    result = quelmar.analyze(BROWN, seed=0, signs=True)
    ax = Figure(figsize=(8, 8)).add_subplot()
    assert plot_signs(result, ax, outline=False) is ax
    shown = ax.images[0].get_array()
    codes = np.select([result.signs > 0, result.signs < 0, np.isnan(result.signs)],
                      [1, 2, 3], 0)
    rows, cols = quelmar.plot.heatmap_order(result)
    assert np.array_equal(shown, codes[np.ix_(rows, cols)])
    colours = ax.images[0].cmap.colors
    assert [c.lower() for c in colours] == [SIGN_COLOURS[k] for k in
                                            ("none", "rise", "fall", "either")]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels[0].startswith("the species (row) rises") and "(21)" in labels[0]
    assert labels[2].startswith("either") and labels[3].startswith("does not respond")
    assert ax.get_title(loc="left").startswith("Response signs of")
    with pytest.raises(ValueError, match="signs=True"):
        plot_signs(brown, Figure().add_subplot())


def test_a_missing_library_names_its_extra(brown, monkeypatch):
    for module in ("matplotlib", "graphviz", "pandas", "libsbml"):
        monkeypatch.setitem(sys.modules, module, None)
    page = brown.to_html()  # the page says what it leaves out, and why
    assert ("The heat map is left out of this page: the heat map needs matplotlib "
            "(pip install &#x27;quelmar[plot]&#x27;)") in page
    assert "the hierarchy diagram needs graphviz (pip install &#x27;quelmar[models]&#x27;)" \
        in page and "<li>B9 &gt; B6, B7</li>" in page
    for view, extra in ((brown.plot_sensitivity, "plot"), (brown.sensitivity_frame, "interop"),
                        (brown.diagram, "models"), (lambda: quelmar.load(TYSON), "models")):
        with pytest.raises(quelmar.errors.MissingDependencyError,
                           match=re.escape(f"(pip install 'quelmar[{extra}]')")):
            view()


def test_import_quelmar_leaves_the_optional_libraries_alone():
    optional = ["matplotlib", "pandas", "networkx", "cobra", "roadrunner"]
    # the package's names bound, and the modules that use those libraries loaded
    code = ("import sys, quelmar, quelmar.plot, quelmar.report, quelmar.loaders.objects; "
            "quelmar.analyze, quelmar.load, quelmar.CRN; "
            "print(' '.join(m for m in " + repr(optional) + " if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == ""


def test_the_example_notebook_runs_top_to_bottom():
    nbclient = pytest.importorskip("nbclient")
    nbformat = pytest.importorskip("nbformat")
    for module in ("cobra", "matplotlib", "graphviz", "distributed", "ipykernel"):
        pytest.importorskip(module)
    examples = os.path.join(os.path.dirname(HERE), "examples")
    nb = nbformat.read(os.path.join(examples, "first_analysis.ipynb"), as_version=4)
    assert not any(c.get("outputs") for c in nb.cells)  # kept without outputs
    nbclient.NotebookClient(nb, timeout=300, kernel_name="python3",
                            resources={"metadata": {"path": examples}}).execute()
    shown = [o for c in nb.cells for o in c.get("outputs", [])]
    kinds = {k for o in shown for k in o.get("data", {})}
    assert {"image/png", "image/svg+xml", "text/html"} <= kinds  # heat map, hierarchy, views
    assert "<CRN 'mini_textbook': 23 species, 18 reactions, structurally regular>" in [
        o["data"]["text/plain"] for o in shown if "data" in o]

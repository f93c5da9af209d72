"""Loaders: published models against independently converted matrices, the
SBML rules on small hand-written documents, Antimony and reaction strings."""

import json
import os

import numpy as np
import pytest

pytest.importorskip("libsbml")
pytest.importorskip("antimony")

import quelmar  # noqa: E402
from quelmar import LoadError, ModelWarning  # noqa: E402

from support import MODELS, NETWORKS, assert_same_network, ci, rxn, sbml3  # noqa: E402

# model file -> converted network it must equal
PUBLISHED = {
    "BIOMD0000000005_Tyson1991.xml": "BIOMD0000000005_Tyson1991",
    "BIOMD0000000009_HuangFerrell1996.xml": "BIOMD0000000009_HuangFerrell1996",
    "BIOMD0000000010_Kholodenko2000.xml": "BIOMD0000000010_Kholodenko2000",
    "BIOMD0000000033_Brown2004.xml": "BIOMD0000000033_Brown2004",
    "BIOMD0000000051_Chassagnole2002.xml": "BIOMD0000000051_Chassagnole2002",
    "BIOMD0000000064_Teusink2000.xml": "BIOMD0000000064_Teusink2000",
    "cobrapy_mini_fbc2.xml": "mini_textbook",
    "cobrapy_mini.json": "mini_textbook",
    "cobrapy_textbook.xml.gz": "e_coli_core",
}


def converted(key):
    with open(os.path.join(NETWORKS, key + ".network.json")) as f:
        net = json.load(f)
    m = len(net["species"])
    S = np.array(net["stoichiometry"], dtype=float).reshape(m, -1)
    R = np.array([[np.inf if v == "inf" else float(v) for v in row]
                  for row in net["regulation"]], dtype=float).reshape(S.shape)
    return net, S, R


def load_model(name):
    path = os.path.join(MODELS, name)
    if name.startswith("cobrapy_mini"):  # D_LACt2 has no metabolites in cobrapy's files
        with pytest.warns(ModelWarning, match="D_LACt2 changes no state species"):
            return quelmar.load(path)
    return quelmar.load(path)


@pytest.mark.parametrize("model", sorted(PUBLISHED))
def test_published_model_matches_converted_network(model):
    net, S, R = converted(PUBLISHED[model])
    crn = load_model(model)
    assert crn.name == net["name"]
    assert crn.X_names == net["species"]
    assert crn.R_names == net["reactions"]
    np.testing.assert_array_equal(crn.stoi, S)
    # the converter marks every dependence +inf; the loaders give its direction
    np.testing.assert_array_equal(np.isfinite(crn.reginfo), np.isfinite(R))
    np.testing.assert_array_equal(crn.reginfo[np.isfinite(R)], R[np.isfinite(R)])
    plain = quelmar.load(os.path.join(NETWORKS, PUBLISHED[model] + ".network.json"))
    assert (plain.name, plain.X_names, plain.R_names) == (crn.name, crn.X_names, crn.R_names)
    np.testing.assert_array_equal(plain.stoi, S)
    np.testing.assert_array_equal(plain.reginfo, R)


def test_cobra_json_and_fbc_sbml_give_the_same_network():
    a = load_model("cobrapy_mini.json")
    b = load_model("cobrapy_mini_fbc2.xml")
    assert_same_network(a, b, name=False)
    # Direction information travels with the network: the same in both formats.
    np.testing.assert_array_equal(a.reversible, b.reversible)
    np.testing.assert_array_equal(a.flux_bounds, b.flux_bounds)
    assert a.flux_bounds.shape == (len(a.R_names), 2)
    np.testing.assert_array_equal(a.reversible, a.flux_bounds[:, 0] < 0)
    rs = quelmar.from_reactions(["A -> B", "B <=> C", "C <-> "])
    np.testing.assert_array_equal(rs.reversible, [False, True, True])
    assert not hasattr(rs, "flux_bounds")
    assert not load_model("BIOMD0000000005_Tyson1991.xml").reversible.all()


def test_annotations_of_cobra_json_and_fbc_sbml_agree():
    a, b = load_model("cobrapy_mini.json").annotations, load_model("cobrapy_mini_fbc2.xml").annotations
    assert a.rules == b.rules and a.genes == b.genes  # G_ prefixes removed like M_, R_
    assert (a.species_names, a.compartments) == (b.species_names, b.compartments)
    assert a.rules["GLCpts"][0] == "or" and all(x[0] == "and" for x in a.rules["GLCpts"][1])
    assert a.subsystems == {"LDH_D": "Pyruvate Metabolism"}  # the SBML file has none
    assert len(a.genes) == 29 and a.genes["b0755"] == "gpmA"
    assert a.compartment_names == {"c": "cytosol", "e": "extracellular"}
    assert not load_model("BIOMD0000000005_Tyson1991.xml").annotations.rules
    assert not quelmar.from_reactions(["A -> B"]).annotations


FBC2 = "http://www.sbml.org/sbml/level3/version1/fbc/version2"
GROUPS = "http://www.sbml.org/sbml/level3/version1/groups/version1"


def annotated_sbml():
    """in -> A -> B -> C -> out, with A -> D a dead end; groups, notes and
    gene associations."""
    def gpr(inner):
        return f"<fbc:geneProductAssociation>{inner}</fbc:geneProductAssociation>"

    def ref(g):
        return f'<fbc:geneProductRef fbc:geneProduct="G_{g}"/>'

    def reaction(rid, left, right, extra=""):
        sides = "".join(
            f'<{tag}><speciesReference species="M_{s}" stoichiometry="1" constant="true"/></{tag}>'
            for tag, s in (("listOfReactants", left), ("listOfProducts", right)) if s)
        return (f'<reaction id="R_{rid}" reversible="false" fast="false">{extra}{sides}'
                "</reaction>")
    notes = ('<notes><body xmlns="http://www.w3.org/1999/xhtml"><p>SUBSYSTEM: Exchange'
             " &amp; transport</p></body></notes>")
    reactions = (reaction("in", None, "A", notes)
                 + reaction("ab", "A", "B", gpr("<fbc:or><fbc:and>" + ref("g1") + ref("g2")
                                                + "</fbc:and>" + ref("g3") + "</fbc:or>"))
                 + reaction("bc", "B", "C", gpr(ref("g1")))
                 + reaction("out", "C", None, notes)
                 + reaction("ad", "A", "D", gpr(ref("g4"))))
    species = "".join(f'<species id="M_{s}" name="{s} name" compartment="c" '
                      'hasOnlySubstanceUnits="false" boundaryCondition="false" '
                      'constant="false"/>' for s in "ABCD")
    genes = "".join(f'<fbc:geneProduct fbc:id="G_g{k}" fbc:label="g{k}" fbc:name="gene{k}"/>'
                    for k in range(1, 6))
    group = ('<groups:listOfGroups><groups:group groups:id="gr" groups:name="Glycolysis" '
             'groups:kind="partonomy"><groups:listOfMembers><groups:member groups:idRef="R_ab"/>'
             '<groups:member groups:idRef="R_bc"/><groups:member groups:idRef="M_A"/>'
             "</groups:listOfMembers></groups:group></groups:listOfGroups>")
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n<sbml xmlns="http://www.sbml.org/sbml/'
            f'level3/version1/core" xmlns:fbc="{FBC2}" xmlns:groups="{GROUPS}" level="3" '
            'version="1" fbc:required="false" groups:required="false">'
            '<model id="annotated" fbc:strict="false"><listOfCompartments><compartment id="c" '
            'name="cytosol" constant="true"/></listOfCompartments>'
            f"<listOfSpecies>{species}</listOfSpecies><listOfReactions>{reactions}"
            f"</listOfReactions><fbc:listOfGeneProducts>{genes}</fbc:listOfGeneProducts>"
            f"{group}</model></sbml>")


def test_annotations_of_sbml_follow_prune_and_reduction():
    from quelmar.annotations import annotations_of
    crn = quelmar.loads_sbml(annotated_sbml())
    a = crn.annotations
    assert crn.R_names == ["in", "ab", "bc", "out", "ad"]
    assert a.subsystems == {"ab": "Glycolysis", "bc": "Glycolysis",
                            "in": "Exchange & transport", "out": "Exchange & transport"}
    assert a.rules == {"ab": ("or", [("and", ["g1", "g2"]), "g3"]), "bc": "g1", "ad": "g4"}
    assert a.genes == {f"g{k}": f"gene{k}" for k in range(1, 6)}
    assert a.species_names["A"] == "A name" and a.compartments["D"] == "c"
    assert a.disabled({"g1"}, crn.R_names) == ["bc"]
    assert a.disabled({"g1", "g3"}, crn.R_names) == ["ab", "bc"]
    pruned = quelmar.prune(crn)
    assert "D" in pruned.removed_species and "ad" in pruned.removed_reactions
    p = pruned.network.annotations
    assert set(p.rules) == {"ab", "bc"} and "D" not in p.species_names
    assert p.genes == a.genes  # every gene of the model stays listed
    work = quelmar.loads_sbml(annotated_sbml())
    work.structural_reduction([0, 1, 0, 0] + [0, 0, 1, 0, 0])  # B and bc
    r = annotations_of(work)
    assert set(r.subsystems) == {"in", "ab", "out"} and set(r.rules) == {"ab", "ad"}
    assert "B" not in r.species_names and r.genes == a.genes


def test_cobra_json_rules_and_unreadable_rules(tmp_path):
    model = {"id": "m", "metabolites": [{"id": "a", "name": "alpha", "compartment": "c"}],
             "reactions": [{"id": "r1", "metabolites": {"a": 1}, "subsystem": "S",
                            "gene_reaction_rule": "x AND (y or z) and w"},
                           {"id": "r2", "metabolites": {"a": -1},
                            "gene_reaction_rule": "x and (y"}],
             "genes": [{"id": "x", "name": "gx"}]}
    path = tmp_path / "m.json"
    path.write_text(json.dumps(model))
    with pytest.warns(ModelWarning, match="gene rules of r2"):
        a = quelmar.load(path).annotations
    assert a.rules == {"r1": ("and", ["x", ("or", ["y", "z"]), "w"])}
    assert a.gene_ids() == ["x", "y", "z", "w"] and a.subsystems == {"r1": "S"}
    assert a.species_names == {"a": "alpha"}


def test_cobra_prefixes_kept_on_request():
    with pytest.warns(ModelWarning):
        crn = quelmar.load_sbml(os.path.join(MODELS, "cobrapy_mini_fbc2.xml"),
                                strip_prefixes=False)
    assert crn.X_names[0] == "M_13dpg_c" and all(r.startswith("R_") for r in crn.R_names)


# -- SBML rules on small documents ------------------------------------------

def test_boundary_constant_and_ruled_species_are_not_state_variables():
    rules = ('<listOfParameters><parameter id="k" value="1" constant="true"/></listOfParameters>'
             '<listOfRules><assignmentRule variable="T">'
             '<math xmlns="http://www.w3.org/1998/Math/MathML">'
             "<apply><plus/><ci>A</ci><ci>B</ci></apply></math></assignmentRule></listOfRules>")
    doc = sbml3([("A", ""), ("B", ""), ("X", "b"), ("E", "k"), ("T", ""), ("U", "")],
                rxn("r1", [("X", 1)], [("A", 1)], law=ci("k", "X", "E"))
                + rxn("r2", [("A", 1)], [("B", 2)], law=ci("k", "T")), rules)
    crn = quelmar.loads_sbml(doc)
    assert crn.name == "toy"
    assert crn.X_names == ["A", "B"]  # X boundary, E constant, T ruled, U unused
    np.testing.assert_array_equal(crn.stoi, [[1, -1], [0, 2]])
    # r1 reads only non-state species; r2 reads T = A + B through the rule
    np.testing.assert_array_equal(crn.reginfo, [[0, np.inf], [0, np.inf]])


def test_function_definitions_are_followed_to_the_arguments_they_read():
    funcs = ('<listOfFunctionDefinitions><functionDefinition id="first">'
             '<math xmlns="http://www.w3.org/1998/Math/MathML"><lambda>'
             "<bvar><ci>x</ci></bvar><bvar><ci>y</ci></bvar><ci>x</ci></lambda></math>"
             "</functionDefinition></listOfFunctionDefinitions>")
    law = "<apply><ci>first</ci><ci>B</ci><ci>A</ci></apply>"
    crn = quelmar.loads_sbml(sbml3([("A", ""), ("B", "")],
                                   rxn("r", [("A", 1)], [("B", 1)], law=law), funcs))
    # first(B, A) = B: the rate reads B, not A
    np.testing.assert_array_equal(crn.reginfo, [[0], [np.inf]])


def test_local_parameters_shadow_species():
    doc = sbml3([("A", ""), ("B", "")],
                rxn("r", [("A", 1)], [("B", 1)], law=ci("A", "B"), local=["B"]))
    np.testing.assert_array_equal(quelmar.loads_sbml(doc).reginfo, [[np.inf], [0]])


def test_reaction_without_kinetic_law():
    doc = sbml3([("A", ""), ("B", ""), ("E", "")],
                rxn("irr", [("A", 1)], [("B", 1)], modifiers=["E"])
                + rxn("rev", [("B", 1)], [("A", 1)], reversible=True))
    crn = quelmar.loads_sbml(doc)
    assert crn.X_names == ["A", "B", "E"]
    # without a law a reversible reaction's products lower its net rate
    np.testing.assert_array_equal(crn.reginfo, [[np.inf, -np.inf], [0, np.inf], [np.inf, 0]])
    np.testing.assert_array_equal(crn.stoi, [[-1, 1], [1, -1], [0, 0]])


LEVEL2 = """<?xml version="1.0" encoding="UTF-8"?>
<sbml xmlns="http://www.sbml.org/sbml/level2{ns}" level="2" version="{v}">
<model id="l2"><listOfCompartments><compartment id="c"/></listOfCompartments>
<listOfSpecies><species id="A" compartment="c"/><species id="B" compartment="c"/>
<species id="C" compartment="c"/></listOfSpecies>
<listOfReactions><reaction id="r">
<listOfReactants><speciesReference species="A" stoichiometry="3" denominator="2"/>
</listOfReactants><listOfProducts><speciesReference species="B">{sm}</speciesReference>
<speciesReference species="C">{rational}</speciesReference>
</listOfProducts></reaction></listOfReactions></model></sbml>
"""


def stoichiometry_math(inner):
    if inner is None:
        return ""
    return ('<stoichiometryMath><math xmlns="http://www.w3.org/1998/Math/MathML">'
            f"{inner}</math></stoichiometryMath>")


def level2(version, sm="<apply><divide/><cn>5</cn><cn>2</cn></apply>"):
    return LEVEL2.format(ns="" if version == 1 else f"/version{version}", v=version,
                         sm=stoichiometry_math(sm),
                         rational=stoichiometry_math('<cn type="rational"> 1 <sep/> 3 </cn>'))


@pytest.mark.parametrize("version", [1, 4])
def test_level2_denominators_and_constant_stoichiometry_math(version):
    crn = quelmar.loads_sbml(level2(version))
    np.testing.assert_allclose(crn.stoi, [[-1.5], [2.5], [1 / 3]], rtol=1e-15)
    # level 2 reactions are reversible by default: the products regulate too,
    # lowering the net rate
    np.testing.assert_array_equal(crn.reginfo, [[np.inf], [-np.inf], [-np.inf]])
    with pytest.raises(LoadError, match="stoichiometry of B .*not a constant number"):
        quelmar.loads_sbml(level2(version, sm="<ci>A</ci>"))


def test_level2_documents_that_declare_an_unrequired_package():
    layout = 'xmlns:layout="http://www.sbml.org/sbml/level3/version1/layout/version1" '
    doc = level2(4).replace('level="2"', layout + 'layout:required="false" level="2"', 1)
    with pytest.warns(ModelWarning, match="package 'layout' .*ignored"):
        crn = quelmar.loads_sbml(doc)
    np.testing.assert_allclose(crn.stoi, quelmar.loads_sbml(level2(4)).stoi)
    with pytest.raises(LoadError, match="'layout' cannot be used"):  # needed to read it
        quelmar.loads_sbml(doc.replace('layout:required="false"', 'layout:required="true"'))


def test_stoichiometry_changed_by_a_rule_is_refused():
    doc = sbml3([("A", ""), ("B", "")], rxn("r", [("A", 1)], [("B", 1)]),
                '<listOfParameters><parameter id="k" value="2" constant="true"/>'
                "</listOfParameters><listOfRules><assignmentRule variable=\"sr\">"
                '<math xmlns="http://www.w3.org/1998/Math/MathML"><ci>k</ci></math>'
                "</assignmentRule></listOfRules>")
    doc = doc.replace('<speciesReference species="A" stoichiometry="1" constant="true"/>',
                      '<speciesReference id="sr" species="A" stoichiometry="1" '
                      'constant="false"/>')
    with pytest.raises(LoadError, match="not constant"):
        quelmar.loads_sbml(doc)


def test_events_that_set_species_are_reported():
    crn = None
    with pytest.warns(ModelWarning, match="event reset sets the species A"):
        crn = quelmar.loads_antimony("J0: A -> B; k*A\nk = 1\nreset: at time > 5: A = 10")
    assert crn.X_names == ["A", "B"]


def test_algebraic_rule_on_species_is_refused():
    rule = ('<listOfRules><algebraicRule><math xmlns="http://www.w3.org/1998/Math/MathML">'
            "<apply><minus/><apply><plus/><ci>A</ci><ci>B</ci></apply><cn>10</cn></apply>"
            "</math></algebraicRule></listOfRules>")
    doc = sbml3([("A", ""), ("B", "")], rxn("r", [("A", 1)], [("B", 1)]), rule)
    with pytest.raises(LoadError, match="algebraic rule constrains the species A, B"):
        quelmar.loads_sbml(doc)


def test_rate_rule_feedback_is_reported():
    with pytest.warns(ModelWarning, match="follows a rate rule that reads A"):
        quelmar.loads_antimony("J0: A -> B; k*A\nk' = -A")


# -- bad input ----------------------------------------------------------------


@pytest.mark.parametrize("content, message", [
    ("this is not a model\n", "not a readable SBML document"),
    ('<?xml version="1.0"?>\n<html><body/></html>\n', r"not an SBML document \(its root element is <html>\)"),
    (sbml3([("A", "")], rxn("r", [("A", 1)]))[:300], "not a readable SBML document: line"),
    (sbml3([("A", "")], rxn("r", [("A", 1)], [("Q", 1)])), "reaction r refers to unknown species 'Q'"),
    (sbml3([("A", "")], ""), "the model has no reactions"),
    ("", "the file is empty"),
])
def test_bad_sbml_files(tmp_path, content, message):
    path = tmp_path / "model.xml"
    path.write_text(content)
    with pytest.raises(LoadError, match=message) as ei:
        quelmar.load(path)
    text = str(ei.value)
    assert text.startswith(str(path) + ": ") and "\n" not in text


def test_level1_is_refused():
    doc = ('<?xml version="1.0" encoding="UTF-8"?>\n'
           '<sbml xmlns="http://www.sbml.org/sbml/level1" level="1" version="2">'
           '<model name="old"/></sbml>')
    with pytest.raises(LoadError, match="level 1 is not supported"):
        quelmar.loads_sbml(doc)


def test_bad_cobra_json(tmp_path):
    path = tmp_path / "m.json"
    path.write_text('{"metabolites": [{"id": "a"}], "reactions": '
                    '[{"id": "r", "metabolites": {"a": -1, "b": 1}}]}')
    with pytest.raises(LoadError, match="reaction r refers to unknown species 'b'"):
        quelmar.load(path)
    path.write_text('{"metabolites": [')
    with pytest.raises(LoadError, match="not valid JSON"):
        quelmar.load(path)
    path.write_text('{"metabolites": [], "reactions": []}')
    with pytest.raises(LoadError, match="no reactions"):
        quelmar.load(path)


@pytest.mark.parametrize("doc, message", [
    ({"species": ["a"], "reactions": ["r"]}, "no \"stoichiometry\""),
    ({"species": ["a", "a"], "reactions": ["r"], "stoichiometry": [[1], [1]]},
     "names a species twice"),
    ({"species": ["a"], "reactions": ["r", "s"], "stoichiometry": [[1]]}, "1 rows of 2"),
    ({"species": ["a"], "reactions": ["r"], "stoichiometry": [["inf"]]}, "must be finite"),
    ({"species": ["a"], "reactions": ["r"], "stoichiometry": [[1]],
      "regulation": [[True]]}, r"entry \(0, 0\) is not a number"),
    ({"species": [], "reactions": [], "stoichiometry": []}, "no species or no reactions"),
])
def test_bad_network_json(tmp_path, doc, message):
    path = tmp_path / "m.network.json"
    path.write_text(json.dumps(doc))
    with pytest.raises(LoadError, match=message):
        quelmar.load(path)


def test_missing_file_and_unknown_format(tmp_path):
    with pytest.raises(LoadError, match="no such file"):
        quelmar.load(tmp_path / "absent.xml")
    with pytest.raises(ValueError, match="unknown model format"):
        quelmar.load(tmp_path / "absent.xml", format="csv")


def test_format_is_guessed_from_content(tmp_path):
    path = tmp_path / "model.dat"
    path.write_text("J0: A -> B; k*A\nk = 1\n")
    assert quelmar.load(path).X_names == ["A", "B"]


# -- Antimony and reaction strings ---------------------------------------------

ANTIMONY = """
model cascade
  J0: S1 -> S2; k1*S1
  J1: S2 + E -> C; k2*S2*E
  J2: C -> S1 + E; k3*C - k4*S1*E*I
  J3: S2 -> $W; k5*S2
  J4: $X -> S1; k6*X
  species I
  k1 = 1; k2 = 1; k3 = 1; k4 = 1; k5 = 1; k6 = 1; X = 1
end
"""

REACTIONS = [
    "J0: S1 -> S2; k1*S1",
    "J1: S2 + E -> C; k2*S2*E",
    "J2: C -> S1 + E; k3*C - k4*S1*E*I",
    "J3: S2 -> $W; k5*S2",
    "J4: $X -> S1; k6*X",
]


def test_antimony_and_reaction_strings_give_the_same_network():
    a = quelmar.loads_antimony(ANTIMONY)
    # I is a species read only by the rate law of J2: a regulator of J2
    b = quelmar.from_reactions(REACTIONS, regulators={"J2": ["I"]}, name="cascade")
    assert_same_network(a, b)
    assert a.X_names == ["S1", "S2", "E", "C", "I"]
    assert a.reginfo[4, 2] == -np.inf  # I lowers the net rate of J2


def test_antimony_file_and_mass_action_defaults(tmp_path):
    path = tmp_path / "toy.ant"
    path.write_text("A => B;\nB => A + C;\n")  # no rate laws, irreversible arrows
    a = quelmar.load(path)
    b = quelmar.from_reactions(["A -> B", "B -> A + C"], name="toy")
    b.R_names = ["_J0", "_J1"]  # Antimony's names for unnamed reactions
    a.name = "toy"
    assert_same_network(a, b)
    # Antimony's "->" is reversible: without a rate law the products regulate too
    rev = quelmar.loads_antimony("A -> B;\n")
    np.testing.assert_array_equal(rev.reginfo, quelmar.from_reactions(["A <-> B"]).reginfo)


def test_bad_antimony():
    with pytest.raises(LoadError, match=r"^<string>: Antimony: .*line 1"):
        quelmar.loads_antimony("S1 -> ; (k1*\n")


def test_from_reactions_terms_and_regulators():
    crn = quelmar.from_reactions(["A + 2 B -> C", "C -> ", "2.5C <=> 0.5*D"],
                                 regulators={1: "E", "R2": ["B"]}, name="toy")
    assert crn.name == "toy"
    assert crn.X_names == ["A", "B", "C", "D", "E"]
    assert crn.R_names == ["R0", "R1", "R2"]
    np.testing.assert_array_equal(crn.stoi, [[-1, 0, 0], [-2, 0, 0], [1, -1, -2.5],
                                             [0, 0, 0.5], [0, 0, 0]])
    inf = np.inf
    np.testing.assert_array_equal(crn.reginfo, [[inf, 0, 0], [inf, 0, inf], [0, inf, inf],
                                                [0, 0, -inf], [0, inf, 0]])


def test_from_reactions_mapping_and_rate_laws():
    crn = quelmar.from_reactions({"in": "-> A; k", "conv": "A -> B; V*A/(K + A)",
                                  "out": "B -> ; k*B*exp(A)"})
    assert crn.R_names == ["in", "conv", "out"]
    np.testing.assert_array_equal(crn.reginfo, [[0, np.inf, np.inf], [0, 0, np.inf]])


@pytest.mark.parametrize("reactions, regulators, message", [
    (["A B"], None, "no arrow"),
    (["A + -> B"], None, "cannot read the term ''"),
    (["2 -> B"], None, "cannot read the term '2'"),
    (["A -> B -> C"], None, "more than one arrow"),
    (["A -> B; k*("], None, "cannot read the rate law"),
    (["r: A -> B", "r: B -> A"], None, "used twice: r"),
    (["A -> B"], {"R7": ["A"]}, "no reaction named 'R7'"),
    (["A -> B"], {3: ["A"]}, "no reaction at position 3"),
    ([], None, "no reactions"),
])
def test_from_reactions_errors(reactions, regulators, message):
    with pytest.raises(ValueError, match=message):
        quelmar.from_reactions(reactions, regulators=regulators)


def test_level3_initial_assignment_and_conversion_factor():
    extra = ('<listOfParameters><parameter id="cf" value="2" constant="true"/>'
             "</listOfParameters><listOfInitialAssignments><initialAssignment symbol=\"sr\">"
             '<math xmlns="http://www.w3.org/1998/Math/MathML">'
             "<apply><times/><cn>3</cn><cn>0.5</cn></apply></math></initialAssignment>"
             "</listOfInitialAssignments>")
    doc = sbml3([("A", ""), ("B", "")], rxn("r", [("A", 1)], [("B", 1)]), extra)
    doc = doc.replace('<speciesReference species="B" stoichiometry="1"',
                      '<speciesReference id="sr" species="B"')
    doc = doc.replace('<model id="toy">', '<model id="toy" conversionFactor="cf">')
    crn = quelmar.loads_sbml(doc)
    np.testing.assert_array_equal(crn.stoi, [[-2.0], [3.0]])
    with pytest.raises(LoadError, match="conversion factor cf of species A is not a constant"):
        quelmar.loads_sbml(doc.replace('value="2" constant="true"', 'value="2" constant="false"'))


# -- hostile files ----------------------------------------------------------------

OK = sbml3([("A", ""), ("B", "")], rxn("r", [("A", 1)], [("B", 1)], law=ci("A")))
MATH = '<math xmlns="http://www.w3.org/1998/Math/MathML">'


def function_chain(k):
    """f0(x) = f1(x), ..., f{k}(x) = x, and the rate law f0(A)."""
    fd = "".join(f'<functionDefinition id="f{i}">{MATH}<lambda><bvar><ci>x</ci></bvar>'
                 f"<apply><ci>f{i + 1}</ci><ci>x</ci></apply></lambda></math></functionDefinition>"
                 for i in range(k))
    fd += f'<functionDefinition id="f{k}">{MATH}<lambda><bvar><ci>x</ci></bvar><ci>x</ci>' \
          "</lambda></math></functionDefinition>"
    return OK.replace("<listOfSpecies>", f"<listOfFunctionDefinitions>{fd}"
                      "</listOfFunctionDefinitions><listOfSpecies>").replace(
        ci("A"), "<apply><ci>f0</ci><ci>A</ci></apply>")


def rule_chain(k):
    """p0 = p1, ..., p{k} = A, and the rate law p0."""
    params = "".join(f'<parameter id="p{i}" constant="false"/>' for i in range(k + 1))
    rules = "".join(f'<assignmentRule variable="p{i}">{MATH}<ci>p{i + 1}</ci></math>'
                    "</assignmentRule>" for i in range(k))
    rules += f'<assignmentRule variable="p{k}">{MATH}<ci>A</ci></math></assignmentRule>'
    return OK.replace("<listOfReactions>", f"<listOfParameters>{params}</listOfParameters>"
                      f"<listOfRules>{rules}</listOfRules><listOfReactions>").replace(ci("A"), ci("p0"))


def cobra(mets, coefficient="-1", lower="0"):
    return ('{"metabolites": [' + ", ".join(f'{{"id": "{m}"}}' for m in mets) + '], '
            f'"reactions": [{{"id": "r", "lower_bound": {lower}, '
            f'"metabolites": {{"{mets[0]}": {coefficient}}}}}]}}')


HOSTILE = {
    "truncated.xml": (OK.rstrip()[:-1], "not a readable SBML document: line"),
    "duplicated_species.xml": (OK.replace("<listOfSpecies>", "<listOfSpecies>" + sbml3(
        [("A", "")], "").split("<listOfSpecies>")[1].split("</listOfSpecies>")[0]),
        "species id 'A' is used twice"),
    "deep_math.xml": (OK.replace(ci("A"), "<apply><minus/>" * 50000 + ci("A")
                                 + "</apply>" * 50000), "nested more than 1000 levels"),
    "deep_annotation.xml": (OK.replace('<model id="toy">', '<model id="toy"><annotation>'
                                       + "<x>" * 50000 + "</x>" * 50000 + "</annotation>"),
                            "nested more than 1000 levels"),
    "entities.xml": ('<?xml version="1.0"?><!DOCTYPE sbml [<!ENTITY a SYSTEM "/etc/passwd">]>'
                     + OK.split("?>", 1)[1], "declares entities"),
    "functions.xml": (function_chain(3000), "nested too deeply"),
    "rules.xml": (rule_chain(3000), "nested too deeply"),
    # a level 2 document that took libSBML and the level 2 preparation minutes
    "long_comment.xml": (None, None),
    "deep.json": ('{"reactions": ' + "[" * 100000 + "]" * 100000 + "}", "nested more than"),
    "huge_integer.json": (cobra(["a"], "9" * 5000), "not a finite number"),
    "duplicated_metabolite.json": (cobra(["a", "a"]), "metabolite id 'a' is used twice"),
    "duplicated_key.json": (cobra(["a"]).replace('"lower_bound"', '"id": "s", "lower_bound"'),
                            "the key 'id' appears twice"),
    "latin1.ant": ("J0: A -> B; k*A // caf\xe9\n".encode("latin-1"), "not a text file"),
    "cut_character.ant": ("J0: A -> B; k*A \xe9\xe9\xe9\xe9 (((\n", "Antimony: "),
    "long_line.ant": ("J0: A -> B; " + "+".join(f"k{i}*A" for i in range(20000)) + "\n",
                      "longer than 10000 characters"),
    "deep_brackets.ant": ("J0: A -> B; " + "-(" * 1000 + "A" + ")" * 1000 + "\n",
                          "nested more than 200 levels"),
    "import.ant": ('import "/etc/hostname"\nJ0: A -> B; k*A\n', "imports are read only when allowed"),
}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_files_give_one_load_error(tmp_path, name):
    content, message = HOSTILE[name]
    path = tmp_path / name
    if content is None:
        with open(os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml")) as f:
            content = f.read().replace("<listOfReactions>", "<!-- stoichiometryMath "
                                       + "<speciesReference " * 200000 + "--><listOfReactions>")
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    if message is None:  # read in full, and quickly
        assert len(quelmar.load(path).X_names) == 6
        return
    with pytest.raises(LoadError) as ei:
        quelmar.load(path)
    text = str(ei.value)
    assert text.startswith(f"{path}: ") and "\n" not in text and message in text


def test_only_regular_files_are_read(tmp_path, monkeypatch):
    fifo = tmp_path / "model.xml"
    os.mkfifo(fifo)  # no writer: opening it for reading would block
    with pytest.raises(LoadError, match="a FIFO, not a regular file"):
        quelmar.load(fifo)
    with pytest.raises(LoadError, match="a device, not a regular file"):
        quelmar.load("/dev/zero", format="sbml")
    with pytest.raises(LoadError, match="is a directory"):
        quelmar.load(tmp_path, format="antimony")
    with pytest.raises(LoadError, match="NUL"):
        quelmar.load(str(tmp_path / "a\0b.xml"))
    # a gzip bomb stops at the size limit
    import gzip
    monkeypatch.setattr("quelmar.loaders.common.MAX_BYTES", 10**5)
    (tmp_path / "bomb.xml.gz").write_bytes(gzip.compress(OK.encode() + b" " * 10**6))
    with pytest.raises(LoadError, match="unpacked, the file is larger than 100000 bytes"):
        quelmar.load(tmp_path / "bomb.xml.gz")


COMP = ('<?xml version="1.0" encoding="UTF-8"?>\n<sbml xmlns="http://www.sbml.org/sbml/level3/'
        'version2/core" xmlns:comp="http://www.sbml.org/sbml/level3/version1/comp/version1" '
        'level="3" version="2" comp:required="true"><model id="outer"><comp:listOfSubmodels>'
        '<comp:submodel comp:id="sub" comp:modelRef="ext"/></comp:listOfSubmodels></model>'
        '<comp:listOfExternalModelDefinitions><comp:externalModelDefinition comp:id="ext" '
        'comp:source="SOURCE" comp:modelRef="toy"/></comp:listOfExternalModelDefinitions></sbml>')


def test_other_files_only_when_allowed_and_below_the_model(tmp_path):
    models = tmp_path / "models"
    models.mkdir()
    for where in (tmp_path, models):
        (where / "inner.xml").write_text(OK)
        (where / "inner.ant").write_text("model toy()\n J0: A -> B; k*A\n k = 1\nend\n")
    for name, inside, outside in [
            ("outer.xml", COMP.replace("SOURCE", "inner.xml"),
             COMP.replace("SOURCE", "../inner.xml")),
            ("outer.ant", 'import "inner.ant"\nmodel top()\n M: toy()\nend\n',
             'import "../inner.ant"\nmodel top()\n M: toy()\nend\n')]:
        (models / name).write_text(inside)
        with pytest.raises(LoadError, match="only when allowed"):
            quelmar.load(models / name)
        assert len(quelmar.load(models / name, allow_external=True).X_names) == 2
        (models / name).write_text(outside)
        with pytest.raises(LoadError, match="outside the model's directory"):
            quelmar.load(models / name, allow_external=True)
    with pytest.raises(LoadError, match="text given directly"):
        quelmar.loads_antimony('import "inner.ant"\n')


def test_direction_of_each_dependence_from_the_rate_law():
    crn = quelmar.loads_antimony("""
        J0: S => P; V*S/(1 + I/Ki)
        J1: S -> P; kf*S - kr*P
        J2: S -> P; V*(S - P/Keq)/(Km + S + P/Kp)
        J3: S => ; V*S/(Km + S + S^2/Ki)
        J4: P -> S;
        J5: -> I; k
        species I
    """)
    assert crn.X_names == ["S", "P", "I"]
    inf, nan = np.inf, np.nan
    np.testing.assert_array_equal(crn.reginfo, [[inf, inf, inf, nan, -inf, 0],
                                                [0, -inf, -inf, 0, inf, 0],
                                                [-inf, 0, 0, 0, 0, 0]])
    # the same through reaction strings; the global generator is not touched
    state = np.random.get_state()
    strings = quelmar.from_reactions(["S -> P; V*S/(1 + I/Ki)", "S <-> P; kf*S - kr*P",
                                      "S <-> P; V*(S - P/Keq)/(Km + S + P/Kp)",
                                      "S -> ; V*S/(Km + S + S^2/Ki)", "P <-> S", "-> I"])
    np.testing.assert_array_equal(strings.reginfo, crn.reginfo)
    assert np.array_equal(np.random.get_state()[1], state[1])

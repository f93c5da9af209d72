"""A user's script type-checks against the package: the type checker knows
the type of every public name it uses (the compiled core through its stub),
and none of them is Any."""

import os
import re
import site
import subprocess
import sys

import quelmar

SCRIPT = """\
import cobra  # type: ignore[import-untyped]
import numpy as np
from quelmar import CRN, analyze, from_reactions, load
from quelmar.cyquelmar import indicator_diagnose, signdet
from quelmar.loaders import load_network_json

crn = CRN(np.array([[-1.0, 1.0, 0.0], [1.0, -1.0, -1.0]]), X_names=["a", "b"], name="net")
reveal_type(crn)
reveal_type(crn.stoi)
reveal_type(crn.reginfo)
reveal_type(crn.A)
reveal_type(crn.X_names)
reveal_type(crn.name)
reveal_type(crn._smat_())
reveal_type(crn.isoBS_searchfrom([0], [1], trial=2))
reveal_type(crn.compute_index({0}, {1}))
found = crn.search_for_isoBSs()
reveal_type(found)
reveal_type(crn.signdet_subnetwork(found[0]))
crn.structural_reduction(found[0])
reveal_type(signdet(np.eye(2), trials=3))
reveal_type(indicator_diagnose(crn))
reveal_type(indicator_diagnose(crn)[0]["sign_det"])
reveal_type(from_reactions(["A -> B", "B ->"], name="ab"))
reveal_type(load("model.xml"))
reveal_type(load_network_json("model.network.json"))
result = analyze(crn, seed=0)
reveal_type(result)
reveal_type(result.species)
reveal_type(result.sensitivity)
reveal_type(result.structures[0].children)
reveal_type(result.diagnosis)
reveal_type(result.responding("R0"))
reveal_type(result.to_json())
for network in ("model.xml", cobra.io.load_json_model("model.json"), crn):
    reveal_type(analyze(network).sensitivity)
"""


def package_root():
    """The folder that holds the imported package, for the type checker to
    search unless it is a site folder that it searches anyway."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(quelmar.__file__)))
    return None if root in site.getsitepackages() else root


def test_a_user_script_sees_known_types_only(tmp_path):
    script = tmp_path / "user.py"
    script.write_text(SCRIPT)
    env = dict(os.environ)
    root = package_root()
    if root:
        env["MYPYPATH"] = root
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
         "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", str(script)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )
    lines = run.stdout.splitlines()
    errors = [line for line in lines if ": error:" in line]
    assert not errors and run.returncode == 0, run.stdout + run.stderr
    revealed = [re.search(r'Revealed type is "(.*)"', line) for line in lines]
    revealed = [m.group(1) for m in revealed if m]
    assert len(revealed) == SCRIPT.count("reveal_type(")
    for text in revealed:
        # NumPy leaves the shape of an array open; nothing else may be Any.
        assert "Any" not in text.replace("tuple[Any, ...]", "()"), text
    assert revealed[0] == "quelmar.cyquelmar.CRN"
    assert revealed[-2] == "str"
    # undefined on a singular network: the checker makes the user test for None
    assert revealed[-1].endswith(" | None") and "numpy.bool" in revealed[-1], revealed[-1]


def _package_imports():
    """(importing module, imported module, imported names) for every import
    between the package's own modules, and whether it runs at import time."""
    import ast
    import pathlib

    root = pathlib.Path(quelmar.__file__).parent
    found = []
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root.parent).with_suffix("").parts
        module = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        package = module if path.name == "__init__.py" else module.rpartition(".")[0]
        tree = ast.parse(path.read_text(encoding="utf-8"))
        top = set()
        for node in tree.body:  # module level, outside `if TYPE_CHECKING:`
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                top.add(id(node))
        for node in ast.walk(tree):
            if not isinstance(node, ast.ImportFrom) or not node.level:
                continue
            base = package.split(".")
            base = base[:len(base) - node.level + 1]
            target = ".".join(base + ([node.module] if node.module else []))
            for alias in node.names:
                name = alias.name
                sub = f"{target}.{name}"
                if (root.parent / (sub.replace(".", "/") + ".py")).exists() or \
                        (root.parent / sub.replace(".", "/")).is_dir():
                    found.append((module, sub, [], id(node) in top))
                else:
                    found.append((module, target, [name], id(node) in top))
    return found


def test_modules_import_public_names_without_circles():
    imports = _package_imports()
    # the compiled modules' private helpers are theirs to offer
    compiled = {"quelmar.cyquelmar", "quelmar._structure"}
    private = [(m, t, n) for m, t, names, _ in imports for n in names
               if n.startswith("_") and not n.startswith("__")
               and t not in compiled and f"{t}.{n}" not in compiled]
    private += [(m, t, "") for m, t, _, _ in imports
                if t.rpartition(".")[2].startswith("_") and t not in compiled]
    assert not private, private
    # module-level imports form no circle (a package's __init__ may import
    # its own inner modules)
    graph = {}
    for module, target, _, top in imports:
        if top and not target.startswith(module + "."):
            graph.setdefault(module, set()).add(target)
    state = {}

    def visit(node, path):
        state[node] = 1
        for nxt in graph.get(node, ()):
            if state.get(nxt) == 1:
                raise AssertionError("import circle: " + " -> ".join(path + [nxt]))
            if nxt not in state:
                visit(nxt, path + [nxt])
        state[node] = 2

    for node in list(graph):
        if node not in state:
            visit(node, [node])

"""The quelmar command: analyses of published models, the bundled model,
bad files (one error line, status 1) and usage errors (status 2)."""

import json
import os
import re
import shutil
import subprocess
import time

import pytest

pytest.importorskip("libsbml")
pytest.importorskip("antimony")

from quelmar.result import Analysis  # noqa: E402
from quelmar.cli import main  # noqa: E402

from support import MODELS, QUELMAR, rxn, run_quelmar, sbml3  # noqa: E402
HAVE_DOT = shutil.which("dot") is not None

# cobrapy_mini.json holds the same network as cobrapy_mini_fbc2.xml
# (test_loaders checks that); iJO1366 is left to the benchmarks.
SMALL = ["BIOMD0000000005_Tyson1991.xml", "BIOMD0000000009_HuangFerrell1996.xml",
         "BIOMD0000000010_Kholodenko2000.xml", "BIOMD0000000033_Brown2004.xml",
         "BIOMD0000000051_Chassagnole2002.xml", "BIOMD0000000064_Teusink2000.xml",
         "cobrapy_mini_fbc2.xml", "cobrapy_textbook.xml.gz"]


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("model", SMALL)
def test_analyze_published_model(tmp_path, capsys, model):
    out_json = tmp_path / "result.json"
    diagram = tmp_path / ("tree.svg" if HAVE_DOT else "tree.dot")
    status, out, err = run(capsys, "analyze", os.path.join(MODELS, model), "--seed", "1",
                           "--json", str(out_json), "--diagram", str(diagram))
    assert status == 0, err
    assert out.startswith("Network ")
    data = json.loads(out_json.read_text())
    result = Analysis.from_dict(data)
    assert len(result.species) == data["sensitivity"]["rows"]
    assert [[result.structures[k].id for k in c] for c in data["structures"]["children"]] \
        == [s.children for s in result.structures]
    assert "Traceback" not in err
    text = diagram.read_text()
    assert ("<svg" in text) if HAVE_DOT else text.startswith("digraph")
    for s in result.structures:
        assert s.id in text


def test_bundled_model_and_json_to_stdout(capsys):
    status, out, err = run(capsys, "analyze", "--seed", "2", "--json", "-")
    assert status == 0, err
    data = json.loads(out)
    assert data["name"] == "Brown2004_NGF_EGF_signaling"
    assert "bundled" in data["source"]
    assert len(data["species"]) == 28 and len(data["reactions"]) == 26


def test_same_seed_same_report(capsys):
    model = os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml")
    first = run(capsys, "analyze", model, "--seed", "5", "--trials", "3")
    second = run(capsys, "analyze", model, "--seed", "5", "--trials", "3")
    # A step that happens to be slow on a busy machine reports its progress.
    progress = re.compile(r"^quelmar: .*(\.\.\.| s so far|: done in [0-9.]+ s)$", re.M)
    first, second = ((s, out, progress.sub("", err)) for s, out, err in (first, second))
    assert first == second and first[0] == 0
    assert "(3 random trials, seed 5)" in first[1]


def test_warnings_go_to_stderr(tmp_path, capsys):
    path = tmp_path / "model.json"
    path.write_text(json.dumps({"id": "m", "metabolites": [{"id": "a"}, {"id": "b"}],
                                "reactions": [{"id": "in", "metabolites": {"a": 1}},
                                              {"id": "ab", "metabolites": {"a": -1, "b": 1}},
                                              {"id": "out", "metabolites": {"b": -1}},
                                              {"id": "idle", "metabolites": {}}]}))
    status, out, err = run(capsys, "analyze", str(path), "-q")
    assert status == 0 and out == ""
    assert err == (f"quelmar: warning: {path}: reaction idle changes no state species "
                   "(its column of the stoichiometry matrix is zero)\n")


def test_antimony_model(tmp_path, capsys):
    path = tmp_path / "toy.ant"
    path.write_text("model toy\n J0: S1 -> S2; k1*S1\n J1: S2 -> S1; k2*S2\n"
                    " k1 = 1; k2 = 2\nend\n")
    status, out, err = run(capsys, "analyze", str(path), "--seed", "0")
    assert status == 0, err
    assert out.startswith("Network toy: 2 species, 2 reactions")


BAD = {
    "not_sbml.xml": ("this is plain text\n", "not a readable SBML document"),
    "truncated.xml": (None, "not a readable SBML document: line"),
    "unknown_species.xml": (sbml3([("A", "")], rxn("r1", [("A", 1)], [("Zz", 1)])),
                            "reaction r1 refers to unknown species 'Zz'"),
    "empty_model.xml": ('<?xml version="1.0" encoding="UTF-8"?>\n<sbml xmlns="http://www.sbml.org'
                        '/sbml/level3/version2/core" level="3" version="2"><model id="m"/></sbml>\n',
                        "the model has no reactions"),
    "empty.xml": ("", "the file is empty"),
    "broken.json": ('{"reactions": [', "not valid JSON"),
    "broken.ant": ("S1 -> ; (k1*\n", "Antimony:"),
}


def bad_file(tmp_path, name):
    content, message = BAD[name]
    if name == "truncated.xml":
        with open(os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml")) as f:
            content = f.read()[:3000]
    path = tmp_path / name
    path.write_text(content)
    return str(path), message


@pytest.mark.parametrize("name", sorted(BAD))
def test_bad_files_give_one_error_line(tmp_path, capsys, name):
    path, message = bad_file(tmp_path, name)
    status, out, err = run(capsys, "analyze", path)
    assert status == 1
    assert out == ""
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err.startswith(f"quelmar: error: {path}: ")
    assert message in err


def test_missing_file(tmp_path, capsys):
    status, _, err = run(capsys, "analyze", str(tmp_path / "nowhere.xml"))
    assert status == 1 and err == f"quelmar: error: {tmp_path / 'nowhere.xml'}: no such file\n"


def test_unwritable_json(tmp_path, capsys):
    model = os.path.join(MODELS, "BIOMD0000000010_Kholodenko2000.xml")
    target = tmp_path / "no" / "such" / "dir.json"
    status, _, err = run(capsys, "analyze", model, "-q", "--json", str(target))
    assert status == 1 and err.startswith(f"quelmar: error: {target}: cannot write")
    # one file through a linked directory; a directory where no file can be
    # made: refused before any output (an earlier one included) is replaced
    (tmp_path / "d").mkdir()
    (tmp_path / "ld").symlink_to(tmp_path / "d")
    old = tmp_path / "old.json"
    old.write_text("OLD")
    status, _, err = run(capsys, "analyze", model, "-q", "--json", str(tmp_path / "d" / "x"),
                         "--html", str(tmp_path / "ld" / "x"))
    assert status == 1 and "given as both --json and --html" in err
    if os.path.isdir("/proc/self"):  # no file can be made there, even by root
        status, _, err = run(capsys, "analyze", model, "-q", "--json", str(old),
                             "--html", "/proc/self/x.html")
        assert status == 1 and "cannot write" in err and old.read_text() == "OLD"
    assert sorted(os.listdir(tmp_path / "d")) == []


@pytest.mark.parametrize("argv, message", [
    ([], "required: COMMAND"),
    (["frobnicate"], "invalid choice"),
    (["analyze", "--trials", "0"], "--trials: must be at least 1"),
    (["analyze", "--trials", "two"], "--trials: expected a whole number"),
    (["analyze", "--seed", "-1"], "--seed: must be between"),
    (["analyze", "--diagram", "out.jpg"], "unknown diagram type .jpg"),
    (["analyze", "--colour"], "unrecognized arguments"),
    (["batch", "x.xml", "--max-memory", "1e300"], "--max-memory: too large"),
    (["batch", "x.xml", "--max-seconds", "nan"], "--max-seconds: must be 0"),
])
def test_usage_errors(capsys, argv, message):
    status, out, err = run(capsys, *argv)
    assert status == 2
    assert message in err and "Traceback" not in err


def test_python_dash_m(tmp_path):
    path, _ = bad_file(tmp_path, "truncated.xml")
    proc = run_quelmar("analyze", path)
    assert proc.returncode == 1
    # Progress lines may precede the error on a slow machine.
    assert proc.stdout == "" and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1].startswith("quelmar: error: ")


def test_console_script_is_declared():
    from importlib.metadata import entry_points
    (script,) = entry_points(group="console_scripts", name="quelmar")
    assert script.value == "quelmar.cli:main"


def test_singular_model_and_prune(tmp_path, capsys):
    path = tmp_path / "toy.ant"
    path.write_text("model toy\n feed: -> a; k0\n conv: a -> b; k1*a\n out: a -> ; k2*a\n"
                    " k0 = 1; k1 = 1; k2 = 1\nend\n")
    status, out, err = run(capsys, "analyze", str(path), "--seed", "0",
                           "--plot", str(tmp_path / "heat.png"))
    assert status == 0, err
    assert "warning: network toy is structurally singular" in err
    assert "heat.png not written" in err and not (tmp_path / "heat.png").exists()
    assert out.index("\nStructural regularity: SINGULAR\n") < out.index("Sensitivity: undefined")
    status, out, err = run(capsys, "analyze", str(path), "--seed", "0", "--prune")
    assert status == 0, err
    assert "structurally singular" not in err
    # "->" is reversible in Antimony, so b is no dead end: it is held fixed
    # and every reaction stays.
    assert out.startswith("Network toy: 1 species, 3 reactions")
    assert "species b: held fixed" in out


def test_diagnosis_and_diagram_of_large_results(tmp_path, capsys, monkeypatch):
    import quelmar.analysis
    import quelmar.cli
    model = os.path.join(MODELS, "BIOMD0000000005_Tyson1991.xml")
    status, out, err = run(capsys, "analyze", model, "--seed", "0", "--no-diagnose",
                           "--json", "-")
    assert status == 0 and json.loads(out)["diagnosis"] is None
    assert json.loads(out)["diagnosis_skipped"].startswith("Indicator diagnosis not run")
    # beyond the limits: no diagnosis unless asked, no picture of the hierarchy
    monkeypatch.setattr(quelmar.analysis, "DIAGNOSE_MAX_ORDER", 2)
    monkeypatch.setattr(quelmar.cli, "DIAGRAM_STRUCTURES", 1)
    svg, dot = tmp_path / "h.svg", tmp_path / "h.dot"
    status, out, err = run(capsys, "analyze", model, "--seed", "0", "--diagram", str(svg))
    assert status == 0 and "Indicator diagnosis skipped: the A-matrix has order" in out
    assert "h.svg not written (--diagram): " in err and not svg.exists()
    assert run(capsys, "analyze", model, "--diagram", str(dot), "-q")[0] == 0
    assert dot.read_text().startswith("digraph")
    status, out, err = run(capsys, "analyze", model, "--seed", "0", "--diagnose")
    assert status == 0 and "Indicator diagnosis: structures contracted in turn" in out


# -- hostile outputs, interrupts and names ---------------------------------------

KHOLODENKO = os.path.join(MODELS, "BIOMD0000000010_Kholodenko2000.xml")


def test_outputs_that_must_not_be_written(tmp_path, capsys):
    model = tmp_path / "model.xml"
    shutil.copy(KHOLODENKO, model)
    original = model.read_bytes()
    fifo = tmp_path / "out.json"
    os.mkfifo(fifo)
    (tmp_path / "device.svg").symlink_to("/dev/full")
    for option, target, message in [
            ("--json", model, "is the model file itself"),
            ("--diagram", tmp_path, "is a directory"),
            ("--json", fifo, "is a FIFO, not a regular file"),
            ("--diagram", tmp_path / "device.svg", "is a device, not a regular file")]:
        status, out, err = run(capsys, "analyze", str(model), "-q", option, str(target))
        assert status == 1 and out == ""
        assert err == f"quelmar: error: {target}: cannot write: {message}; " \
            "refusing to overwrite it\n" if "model" in message else \
            err.startswith(f"quelmar: error: {target}: cannot write: {message}")
    assert model.read_bytes() == original


def test_a_failed_write_leaves_no_file(tmp_path):
    import resource

    def limit():  # a file-size limit makes the write fail half-way
        resource.setrlimit(resource.RLIMIT_FSIZE, (200, 200))

    target = tmp_path / "result.json"
    proc = run_quelmar("analyze", KHOLODENKO, "-q", "--json", target, preexec_fn=limit)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.endswith(f"quelmar: error: {target}: cannot write: File too large\n")
    assert os.listdir(tmp_path) == []


def test_closed_or_full_standard_output():
    with open("/dev/full", "w") as full:
        proc = run_quelmar("analyze", KHOLODENKO, stdout=full, stderr=subprocess.PIPE)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines()[-1] == "quelmar: error: standard output: No space left on device"
    proc = subprocess.Popen(QUELMAR + ["analyze", KHOLODENKO, "-q", "--json", "-"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    proc.stdout.close()  # the reader goes away before the result is written
    with proc.stderr:
        err = proc.stderr.read()
    assert proc.wait(timeout=120) == 1 and err == ""
    # started with standard output closed (`>&-`): said at once, in one line
    proc = run_quelmar("analyze", KHOLODENKO, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                       preexec_fn=lambda: os.close(1))
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == ["quelmar: error: standard output: closed"]


def test_a_server_that_is_not_a_dask_scheduler(tmp_path):
    pytest.importorskip("distributed")
    import socket
    import threading

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)

    def answer():  # what a web server would say, read as a Dask message
        while True:
            try:
                conn, _ = server.accept()
            except OSError:
                return
            with conn:
                conn.recv(1024)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" * 8)
                time.sleep(0.3)

    threading.Thread(target=answer, daemon=True).start()
    try:
        proc = run_quelmar("batch", KHOLODENKO, "--out", tmp_path / "t.csv", "--scheduler",
                           f"tcp://127.0.0.1:{server.getsockname()[1]}")
    finally:
        server.close()
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    # (an instrumented build's allocator notes the impossible allocation first)
    said = [line for line in proc.stderr.splitlines() if "AddressSanitizer" not in line]
    assert len(said) == 1 and "not a Dask scheduler" in said[0]


def test_control_characters_in_names_are_escaped(tmp_path, capsys):
    path = tmp_path / "model\x1b[2J.json"
    path.write_text(json.dumps({"id": "net\x9b31m", "metabolites": [{"id": "a\x1b]0;x\x07"}],
                                "reactions": [{"id": "r\x7f", "metabolites": {"a\x1b]0;x\x07": -1}}]}))
    status, out, err = run(capsys, "analyze", str(path))
    assert status == 0
    for text in (out, err):
        assert not any(c in text for c in "\x1b\x9b\x07\x7f")
    assert "a\\x1b]0;x\\x07" in out and "net\\x9b31m" in out and "r\\x7f" in out
    path.write_text("{")
    status, out, err = run(capsys, "analyze", str(path))
    assert status == 1 and "\x1b" not in err and "model\\x1b[2J.json" in err


@pytest.mark.parametrize("how", ["interrupt", "hidden in an ImportError",
                                 "in a collector's callback"])
def test_ctrl_c_exits_130(monkeypatch, capsys, how):
    import gc
    import signal

    import quelmar.loaders

    def callback(phase, info):  # Python ignores what a callback raises
        if phase == "start":
            os.kill(os.getpid(), signal.SIGINT)
            for _ in range(1000):
                time.sleep(0.001)

    def load(path, **options):
        if how == "in a collector's callback":
            gc.callbacks.append(callback)
            try:
                gc.collect()
            finally:
                gc.callbacks.remove(callback)
            for _ in range(1000):  # where it is raised again
                time.sleep(0.001)
            raise AssertionError("the interrupt was lost")
        try:
            os.kill(os.getpid(), signal.SIGINT)
            for _ in range(1000):  # the handler runs between two of these
                time.sleep(0.001)
        except KeyboardInterrupt:
            if how == "interrupt":
                raise
            raise ImportError("a library import was interrupted") from None
        raise AssertionError("no interrupt")

    monkeypatch.setattr(quelmar.loaders, "load", load)
    status, out, err = run(capsys, "analyze", KHOLODENKO, "-q")
    assert status == 130 and err.endswith("quelmar: interrupted\n")

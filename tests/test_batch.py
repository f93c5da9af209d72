"""Batch analysis on Dask: rows equal single analyses, knockouts, lost workers,
streaming tables that survive being cut short, and the ``batch`` command."""

import importlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")
pytest.importorskip("libsbml")

import quelmar  # noqa: E402
from quelmar.words import sign_name  # noqa: E402
from quelmar.batching import COLUMNS, model_files, read_table  # noqa: E402
from quelmar.batching.plan import Task  # noqa: E402
from quelmar.batching.run import _empty_row, _local_cluster  # noqa: E402
from quelmar.batching.tables import CsvTable, ParquetTable  # noqa: E402
from quelmar.cli import main  # noqa: E402

from support import MODELS, NETWORKS, QUELMAR, run_quelmar  # noqa: E402
SMALL_NETWORKS = sorted(os.path.join(NETWORKS, f) for f in os.listdir(NETWORKS)
                        if f.endswith(".network.json"))  # iJO1366 is .json.gz
BROWN = os.path.join(NETWORKS, "BIOMD0000000033_Brown2004.network.json")


@pytest.fixture(scope="module")
def client():
    cluster = _local_cluster(2)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def single(crn, seed):
    """What one analysis of ``crn`` alone gives, in the terms of a row."""
    result = quelmar.analyze(crn, seed=seed)
    return {"species": crn.stoi.shape[0], "reactions": crn.stoi.shape[1],
            "structures": [[s.species, s.reactions] for s in result.structures],
            "signs": [sign_name(r["sign_det"]) for r in result.diagnosis]}


def as_single(row):
    return {"species": row["species"], "reactions": row["reactions"],
            "structures": json.loads(row["structures"]), "signs": json.loads(row["signs"])}


def test_rows_equal_single_analyses_and_resume(client, tmp_path):
    bad = tmp_path / "broken.xml"
    bad.write_text("<sbml")
    crn = quelmar.from_reactions(["-> A", "A -> B", "B ->"])
    singular = quelmar.from_reactions(["-> A", "A -> B"])  # B is never consumed
    out = str(tmp_path / "t.csv")
    models = [MODELS, *SMALL_NETWORKS, bad, singular, crn]
    with pytest.warns(quelmar.ModelWarning):  # cobrapy_mini loaded on this side
        expected = {os.path.abspath(p): single(quelmar.load(p), 7)
                    for p in model_files([MODELS, *SMALL_NETWORKS])}
    expected[f"<object {len(models) - 1}>"] = single(crn, 7)

    table = quelmar.batch(models, seed=7, client=client, out=out)
    assert list(table.columns) == list(COLUMNS)
    assert len(table) == len(expected) + 2
    for _, row in table.iterrows():
        if row["source"] == str(bad):
            assert row["error"].startswith("LoadError: ") and "\n" not in row["error"]
            continue
        if row["source"] == f"<object {len(models) - 2}>":
            assert (row["regular"], row["order"], row["structural_rank"]) == (False, 2, 1)
            assert pd.isna(row["n_structures"]) and row["structures"] == row["error"] == ""
            assert "structurally singular" in row["warnings"]
            continue
        assert row["error"] == "", row["error"]
        assert as_single(row) == expected[row["source"]], row["source"]
        assert row["n_structures"] == len(expected[row["source"]]["structures"])
        assert row["regular"] and row["structural_rank"] == row["order"]
        assert (row["seed"], row["trials"], row["knockout"]) == (7, 2, "")
    assert "D_LACt2 changes no state species" in \
        table.loc[table["source"].str.endswith("cobrapy_mini.json"), "warnings"].iloc[0]

    on_disk = read_table(out).set_index("source").loc[table["source"]].reset_index()
    assert on_disk[list(COLUMNS)].equals(table)
    with open(out) as f:
        lines = f.readlines()
    with open(out, "w") as f:  # as if the batch had been stopped after 5 rows
        f.writelines(lines[:6])
    again = quelmar.batch(models, seed=7, client=client, out=out, resume=True)
    kept = again["source"].isin(read_table(out)["source"].iloc[:5])
    assert kept.sum() == 5 and again[kept].equals(table[kept])
    assert (again[~kept]["seconds"] != table[~kept]["seconds"]).all()
    assert again.drop(columns="seconds").equals(table.drop(columns="seconds"))
    # a row whose worker was lost is run again; a model's own error is not
    lost = dict(table.iloc[0], error="KilledWorker: lost", seconds=None)
    resumed = CsvTable(out, resume=True)
    resumed.add({c: None if pd.isna(v) else v for c, v in lost.items()})
    resumed.close()
    before, again = again, quelmar.batch(models, seed=7, client=client, out=out, resume=True)
    assert again.drop(columns="seconds").equals(table.drop(columns="seconds"))
    assert (again["seconds"] != before["seconds"]).sum() == 1
    with pytest.raises(ValueError, match="seed 7"):
        quelmar.batch(models, seed=8, client=client, out=out, resume=True)
    with pytest.raises(FileExistsError):
        quelmar.batch(models, seed=7, client=client, out=out)


def test_a_row_without_diagnosis_says_why(monkeypatch):
    from quelmar.batching.run import _analyse_task
    brown = Task(0, "brown", BROWN, "", BROWN, None)
    ran = _analyse_task(brown, 0, 2)
    monkeypatch.setattr(quelmar.analysis, "DIAGNOSE_MAX_ORDER", 10)
    row = _analyse_task(brown, 0, 2)
    assert len(json.loads(ran["signs"])) > 1 and row["signs"] == ""
    assert row["structures"] == ran["structures"] and row["error"] == ""
    assert json.loads(row["warnings"])[-1].startswith(
        "Indicator diagnosis skipped: the A-matrix has order ")


def test_batch_command_with_signs(tmp_path, capsys):
    from quelmar.batching.run import sign_strings
    out = str(tmp_path / "t.csv")
    tyson = os.path.join(NETWORKS, "BIOMD0000000005_Tyson1991.network.json")
    assert main(["batch", tyson, "--knockouts=Reaction1", "--out", out, "--workers", "1",
                 "--signs", "--quiet"]) == 0
    table = read_table(out).set_index("knockout")
    alone = quelmar.analyze(quelmar.load(tyson), seed=0, signs=True)
    assert table.loc["", "response_signs"] == sign_strings(alone)
    knocked = json.loads(table.loc["Reaction1", "response_signs"])
    assert "Reaction1" not in knocked["reactions"]
    assert [len(r) for r in knocked["rows"]] == [len(knocked["reactions"])] * len(
        knocked["species"])
    # a table written without the signs is completed when they are asked for
    plain = str(tmp_path / "u.csv")
    quelmar.batch([tyson], out=plain, workers=1)
    again = quelmar.batch([tyson], out=plain, workers=1, resume=True, signs=True)
    assert again.loc[0, "response_signs"] == sign_strings(alone)


def pathways(count, length):
    """Unbranched pathways (inflow, conversions, a degradation of every
    species, outflow): tens of thousands of nested structures."""
    m = count * length
    columns = []
    for p in range(count):
        first = p * length
        columns.append({first: 1})
        for i in range(first, first + length):
            columns.append({i: -1, i + 1: 1} if i + 1 < first + length else {i: -1})
            columns.append({i: -1})
    stoi = np.zeros((m, len(columns)))
    for j, col in enumerate(columns):
        for i, v in col.items():
            stoi[i, j] = v
    return stoi


def test_a_row_over_its_budget_is_an_error_row():
    from quelmar.batching.run import _analyse_task
    brown = Task(0, "brown", BROWN, "", BROWN, None)
    row = _analyse_task(brown, 0, 2, None, (1e-9, None))
    assert row["error"].startswith("TimeoutError: stopped after 1e-09 s, the time budget")
    assert row["regular"] and row["structures"] == ""
    row = _analyse_task(brown, 0, 2, None, (None, 1.0))
    assert row["error"].startswith("MemoryError: stopped at ")
    # a long search stops at its next report of progress
    stoi = pathways(10, 30)
    big = Task(0, "big", "<object 0>", "", None,
                (stoi, np.array(quelmar.CRN(stoi).reginfo), [f"X{i}" for i in range(len(stoi))],
                 [f"R{j}" for j in range(stoi.shape[1])], "big"))
    start = time.monotonic()
    row = _analyse_task(big, 0, 2, None, (1.0, None))
    assert row["error"].startswith("TimeoutError") and time.monotonic() - start < 10
    with pytest.raises(ValueError, match="max_seconds must be 0 or more"):
        quelmar.batch(BROWN, max_seconds=-1)
    with pytest.raises(TypeError, match="max_memory must be a number or None"):
        quelmar.batch(BROWN, max_memory="4GB")


def test_a_singular_variant_is_not_compared():
    from quelmar.batching.run import _compare
    base, singular = rows(2)
    base.update(knockout="", structures='[[["A"], ["R1"]]]')
    assert not _compare(base, singular, ("R1",))  # its structures are undefined ("")
    assert singular["kept"] is None and singular["lost"] == "" and singular["gained"] == ""


def rows(n, **fields):
    task = Task(0, "net", "/m.xml", "", "/m.xml", None)
    return [dict(_empty_row(task, 0, 2), knockout=f"R{k}", species=k, seconds=0.5 * k,
                 **fields) for k in range(n)]


def test_tables_cut_short_keep_their_finished_rows(tmp_path):
    csv_path = str(tmp_path / "t.csv")
    table = CsvTable(csv_path, resume=False)
    for r in rows(3, error='say "no", twice'):
        table.add(r)
    table.close()
    with open(csv_path, "ab") as f:
        f.write(b"net,/m.xml,R9,1")  # the line being written when the batch died
    table = CsvTable(csv_path, resume=True)
    assert table.rows == rows(3, error='say "no", twice')
    table.add(rows(4)[3])
    table.close()
    assert list(read_table(csv_path)["knockout"]) == ["R0", "R1", "R2", "R3"]

    pq_path = str(tmp_path / "t.parquet")
    table = ParquetTable(pq_path, resume=False)
    for r in rows(3):
        table.add(r)
    table.flush()
    table.add(rows(5)[3])
    os.close(table.fd)  # killed: R3 only in the journal, R2 again in it, a line cut short
    with open(os.path.join(pq_path, "_pending.jsonl"), "a") as f:
        f.write(json.dumps(rows(3)[2]) + "\n" + '{"name": "n')
    frame = read_table(pq_path)
    assert sorted(frame["knockout"]) == ["R0", "R1", "R2", "R3"]
    assert frame["species"].dtype == "Int64" and frame["kept"].isna().all()
    table = ParquetTable(pq_path, resume=True)
    assert not os.path.exists(os.path.join(pq_path, "_pending.jsonl")) or \
        os.path.getsize(os.path.join(pq_path, "_pending.jsonl")) == 0
    table.close()
    assert sorted(os.listdir(pq_path)) == ["part-00000.parquet", "part-00001.parquet"]
    assert read_table(pq_path).equals(frame)


def test_file_names_written_alike_are_refused(tmp_path):
    from quelmar.batching.plan import plan_tasks

    with open(BROWN, "rb") as f:
        model = f.read()
    try:
        (tmp_path / os.fsdecode(b"a\xff.network.json")).write_bytes(model)
    except (OSError, UnicodeError):
        pytest.skip("this file system takes only UTF-8 names")
    (tmp_path / "a\\udcff.network.json").write_bytes(model)  # the escape, spelt out
    with pytest.raises(ValueError, match="written alike in the table"):
        plan_tasks([str(tmp_path)], None)


def test_rows_written_in_pieces_are_whole(tmp_path, monkeypatch):
    # a nearly full disk takes part of a write without an error
    from quelmar.batching import tables

    real = os.write
    monkeypatch.setattr(tables.os, "write", lambda fd, data: real(fd, bytes(data[:7])))
    for path, kind in ((tmp_path / "t.csv", CsvTable), (tmp_path / "t.parquet", ParquetTable)):
        table = kind(str(path), resume=False)
        for r in rows(3, error="disk"):
            table.add(r)
        if kind is ParquetTable:
            os.close(table.fd)  # killed: the rows only in the journal
        else:
            table.close()
        assert list(read_table(path)["knockout"]) == ["R0", "R1", "R2"]


def test_tables_of_the_earlier_layout_are_read_and_resumed(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    older = [c for c in COLUMNS if c != "response_signs"]
    csv_path = str(tmp_path / "old.csv")
    table = CsvTable(csv_path, resume=False)
    for r in rows(2, error="=1+1"):
        table.add(r)
    table.close()
    frame = pd.read_csv(csv_path, dtype=str, keep_default_na=False)[older]
    frame.to_csv(csv_path, index=False)  # as an earlier version wrote it
    assert list(read_table(csv_path)["knockout"]) == ["R0", "R1"]
    table = CsvTable(csv_path, resume=True)
    assert table.rows == rows(2, error="=1+1")
    table.add(rows(3)[2])
    table.close()
    with open(csv_path) as f:
        assert f.readline().rstrip("\n").split(",") == list(COLUMNS)
    again = read_table(csv_path)
    assert list(again["knockout"]) == ["R0", "R1", "R2"] and (again["response_signs"] == "").all()
    assert list(again["error"]) == ["=1+1", "=1+1", ""]

    pq_path = tmp_path / "old.parquet"
    pq_path.mkdir()
    part = pa.Table.from_pylist([{c: r[c] for c in older} for r in rows(2)])
    pq.write_table(part, pq_path / "part-00000.parquet")
    assert list(read_table(pq_path)["knockout"]) == ["R0", "R1"]
    table = ParquetTable(str(pq_path), resume=True)
    table.add(rows(3)[2])
    table.close()
    whole = pd.read_parquet(pq_path)  # one table: every part has every column
    assert list(whole.columns) == list(COLUMNS) and sorted(whole["knockout"]) == ["R0", "R1", "R2"]
    with pytest.raises(ValueError, match="other columns"):
        pd.DataFrame({"name": ["x"], "other": [1]}).to_csv(tmp_path / "x.csv", index=False)
        read_table(tmp_path / "x.csv")
    # a journal line that is not a whole row becomes no row
    journal = pq_path / "_pending.jsonl"
    for line, match in (('{"source": "x", "seed": 0, "trials": 2}', "line 1 is not a row"),
                        (json.dumps(dict(rows(1)[0], species="abc")), "line 1: invalid literal")):
        journal.write_text(line + "\n")
        with pytest.raises(ValueError, match=match):
            read_table(pq_path)


def test_knockouts_survive_a_killed_worker(client, tmp_path):
    out = str(tmp_path / "ko.parquet")
    pids = list(client.run(os.getpid).values())
    journal = os.path.join(out, "_pending.jsonl")

    def kill_when_rows_arrive():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if os.path.exists(journal) and os.path.getsize(journal) > 0:
                os.kill(pids[0], signal.SIGKILL)
                return
            time.sleep(0.02)

    killer = threading.Thread(target=kill_when_rows_arrive)
    killer.start()
    crn = quelmar.load(BROWN)
    chosen = [0, 6, 7, 9, 10, 12, 16, 20]  # unchanged, gains only, loses and gains, ...
    names = [crn.R_names[j] for j in chosen]
    table = quelmar.batch(BROWN, knockouts=names, seed=3, client=client, out=out)
    killer.join()
    assert pids[0] not in client.run(os.getpid).values()

    assert list(table["knockout"]) == [""] + names
    assert (table["error"] == "").all()
    assert read_table(out).sort_values("knockout").reset_index(drop=True).equals(
        table.sort_values("knockout").reset_index(drop=True))
    base = single(crn, 3)["structures"]
    for k, j in enumerate(chosen[:4], 1):
        row = table.iloc[k]
        gone = crn.R_names[j]
        variant = quelmar.CRN(np.delete(crn.stoi, j, 1), np.delete(crn.reginfo, j, 1),
                              crn.X_names, crn.R_names[:j] + crn.R_names[j + 1:], crn.name)
        assert as_single(row) == single(variant, 3)
        after = [(set(s), set(r)) for s, r in json.loads(row["structures"])]
        before = [(set(s), set(r) - {gone}) for s, r in base]
        lost = [f"B{k}" for k, b in enumerate(before, 1) if b not in after]
        gained = [f"B{k}" for k, a in enumerate(after, 1) if a not in before]
        assert (json.loads(row["lost"]), json.loads(row["gained"])) == (lost, gained)
        assert row["kept"] == len(base) - len(lost)
    assert list(table["lost"].iloc[1:4] != "[]") == [False, False, True]
    assert list(table["gained"].iloc[1:4] != "[]") == [False, True, True]


def test_variants_sharing_signs_equal_their_analyses_alone(monkeypatch, tmp_path):
    from quelmar.batching import memo
    from quelmar.batching.plan import network_task
    from quelmar.batching.run import _analyse_tasks

    regularity_module = importlib.import_module("quelmar.preparation.regularity")
    network = network_task(BROWN)
    names = network[3][:6]
    tasks = [Task(k, "brown", BROWN, r, None, None, (r,)) for k, r in enumerate(names, 1)]
    memo._signs.clear()
    signdet, regularity = quelmar.cyquelmar.signdet, quelmar.preparation.regularity
    measured = []
    measure = regularity_module.regularity_of
    monkeypatch.setattr(regularity_module, "regularity_of",
                        lambda *a: measured.append(a[4]) or measure(*a))
    first = _analyse_tasks(tasks, 3, 2, network, directory=str(tmp_path))
    assert len(measured) == len(tasks)  # once per row, not again in its analysis
    remembered = len(memo._signs)
    again = _analyse_tasks(tasks[::-1], 3, 2, network)[::-1]  # every sign from memory
    assert len(memo._signs) == remembered > 0
    memo._signs.clear()  # another worker of this machine: the signs left in the directory
    decided = []
    monkeypatch.setattr(quelmar.cyquelmar, "signdet",
                        lambda A, trials=10: decided.append(A) or signdet(A, trials))
    elsewhere = _analyse_tasks(tasks, 3, 2, network, directory=str(tmp_path))
    assert all(np.isfinite(A).all() for A in decided)  # only those without free entries
    assert len(os.listdir(tmp_path)) > 0
    crn = quelmar.load(BROWN)
    for j, (row, other) in enumerate(zip(first, again)):
        variant = quelmar.CRN(np.delete(crn.stoi, j, 1), np.delete(crn.reginfo, j, 1),
                              crn.X_names, crn.R_names[:j] + crn.R_names[j + 1:], crn.name)
        assert row["error"] == other["error"] == ""
        assert as_single(row) == as_single(other) == as_single(elsewhere[j]) \
            == single(variant, 3)
    monkeypatch.undo()
    assert quelmar.cyquelmar.signdet is signdet  # put back
    assert quelmar.preparation.regularity is regularity


def test_singular_variants_are_rows_of_the_scan(client, tmp_path):
    network = os.path.join(NETWORKS, "e_coli_core.network.json")
    out = str(tmp_path / "ko.csv")
    table = quelmar.batch(network, knockouts=["GND", "PGI"], seed=0, client=client, out=out)
    assert list(table["knockout"]) == ["", "GND", "PGI"]
    assert (table["error"] == "").all(), list(table["error"])
    gnd = table.iloc[1]  # without GND the network is singular: marked, not compared
    assert gnd["regular"] is False or gnd["regular"] == False  # noqa: E712 - pandas boolean
    assert gnd["structures"] == "" and pd.isna(gnd["kept"]) and "singular" in gnd["warnings"]
    assert not pd.isna(table.iloc[2]["kept"])
    again = quelmar.batch(network, knockouts=["GND", "PGI"], seed=0, client=client, out=out,
                          resume=True)
    assert again.equals(table)


def test_batch_command(tmp_path, capsys):
    out, other = str(tmp_path / "t.csv"), str(tmp_path / "u.csv")
    tyson = os.path.join(NETWORKS, "BIOMD0000000005_Tyson1991.network.json")
    assert main(["batch", tyson, "--knockouts=Reaction1,Reaction2", "--out", out,
                 "--workers", "1"]) == 0
    assert "3 rows (0 failed)" in capsys.readouterr().out
    assert sorted(read_table(out)["knockout"]) == ["", "Reaction1", "Reaction2"]
    for argv, message in [
        (["batch", tyson, "--out", out], "already exists"),
        (["batch", tyson, BROWN, "--knockouts", "--out", other], "exactly one model"),
        (["batch", tyson, tyson, "--out", other], "the same model is given twice"),
        (["batch", tyson, "--knockouts=Reaction1,Rx", "--out", other], "no reaction named 'Rx'"),
        (["batch", str(tmp_path / "absent"), "--out", other], "no such file"),
        (["batch", str(tmp_path), "--out", other], "no model files"),
        (["batch", tyson, "--out", str(tmp_path / "t.xlsx")], "use .csv or .parquet"),
    ]:
        assert main(argv) == 1
        assert message in capsys.readouterr().err
    assert main(["batch", tyson, "--out", out, "--workers", "2", "--scheduler", "x"]) == 2


def test_interrupted_command_keeps_its_rows_and_resumes(tmp_path):
    out = tmp_path / "ko.csv"
    names = quelmar.load(BROWN).R_names[:20]
    args = ["batch", BROWN, "--knockouts=" + ",".join(names), "--out", str(out), "--workers", "1", "-q"]
    proc = subprocess.Popen(QUELMAR + args, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and proc.poll() is None:
        if out.exists() and out.read_text().count("\n") >= 3:  # header and two rows
            break
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=60)[1]
    assert proc.returncode == 130, err
    kept = read_table(out)
    # (on a slow machine the last rows may finish before the interrupt lands)
    assert f"{len(kept)} rows kept in {out}" in err and 2 <= len(kept) <= 21, err

    done = run_quelmar(*args, "--resume")
    assert done.returncode == 0, done.stderr
    final = read_table(out)
    assert sorted(final["knockout"]) == sorted(["", *names]) and (final["error"] == "").all()
    again = final.set_index("knockout").loc[kept["knockout"]]
    assert list(again["seconds"]) == list(kept["seconds"])  # not run again
    assert final.loc[final["knockout"] != "", "kept"].notna().all()


def test_only_the_batch_path_imports_its_extra(tmp_path):
    code = ("import sys, quelmar, quelmar.cli\n"
            "quelmar.cli.main(['analyze', '-q', sys.argv[1]])\n"
            "print(sorted({'dask', 'distributed', 'pandas', 'pyarrow'} & set(sys.modules)))\n"
            "sys.modules['pyarrow'] = None\n"
            "sys.exit(quelmar.cli.main(['batch', sys.argv[1], '--out', 't.csv']))")
    done = subprocess.run([sys.executable, "-c", code, SMALL_NETWORKS[0]], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.stdout.strip() == "[]"
    assert (done.returncode, done.stderr) == (1, "quelmar: error: batch analysis needs "
                                              "pyarrow (pip install 'quelmar[batch]')\n")


def test_gene_knockouts_delete_what_each_gene_disables(client):
    path = os.path.join(MODELS, "cobrapy_mini.json")
    with pytest.warns(quelmar.ModelWarning):
        crn = quelmar.load(path)
    notes = crn.annotations
    table = quelmar.batch(path, knockouts="genes", seed=3, client=client)
    assert list(table["knockout"]) == [""] + notes.gene_ids() and len(table) == 30
    assert (table["error"] == "").all()
    # the network's own row says what loading its file warned about
    assert "D_LACt2 changes no state species" in table["warnings"].iloc[0]
    base = single(crn, 3)["structures"]
    for gene in ["b1779", "b2415", "b1773", "s0001"]:  # alone, in a complex, redundant
        row = table[table["knockout"] == gene].iloc[0]
        gone = notes.disabled({gene}, crn.R_names)
        keep = [j for j, r in enumerate(crn.R_names) if r not in gone]
        variant = quelmar.CRN(crn.stoi[:, keep], crn.reginfo[:, keep], crn.X_names,
                              [crn.R_names[j] for j in keep], crn.name)
        assert as_single(row) == single(variant, 3)
        after = [(set(s), set(r)) for s, r in json.loads(row["structures"])]
        lost = [f"B{k}" for k, (s, r) in enumerate(base, 1)
                if (set(s), set(r) - set(gone)) not in after]
        assert json.loads(row["lost"]) == lost and row["kept"] == len(base) - len(lost)
    assert notes.disabled({"b1779"}, crn.R_names) == ["GAPD"]
    assert notes.disabled({"b2415"}, crn.R_names) == ["GLCpts"]
    assert notes.disabled({"b1773"}, crn.R_names) == []


def _worker_settings():
    import dask
    return (dask.config.get("distributed.worker.profile.enabled"),
            os.environ.get("OMP_NUM_THREADS"))


def test_local_workers_run_without_profiler_on_one_thread(client):
    # the workers' stack sampler slows a Python-heavy analysis by a quarter;
    # one thread each, as the exact sensitivity and BLAS follow
    assert set(client.run(_worker_settings).values()) == {(False, "1")}
    client.restart()  # as after a crash: the nannies start new workers
    assert set(client.run(_worker_settings).values()) == {(False, "1")}

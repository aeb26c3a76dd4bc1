"""Ingestion under a limit on threads: a preloaded pthread_create that lets a few threads run
at once and refuses any more. Every call does its work on the threads it has and returns what it
returns without the limit; none hangs or dies."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import write_csv

from quib_engine import QuibDB

SHIM = os.path.join(os.path.dirname(__file__), "thread_limit_shim.c")

# Enough rows that the readers, the mapping and the resolution split their work into chunks.
ROWS = [
    (f"202{i % 3}-0{1 + i % 9}-1{i % 10}", "abc"[i % 4 % 3], f"{i % 17}.5", f"s{i % 5}")
    for i in range(3000)
]
HEADER = ["day", "label", "amount", "shop"]

CHILD = textwrap.dedent(
    """
    import json, sys
    from quib_engine import QuibDB, QuibError
    db_path, road, csv_path, records_path = sys.argv[1:]
    out = {}
    try:
        with QuibDB.open(db_path) if road.endswith("more") else QuibDB.create(db_path) as db:
            if road.startswith("file"):
                report = db.ingest(csv_path)
            else:
                with open(records_path) as handle:
                    report = db.ingest_records(json.load(handle))
            out["report"] = [report.total_rows, report.processed_rows, report.skipped_rows,
                             report.distributions_updated]
            out["stats"] = repr(db.stats())
            for text in ("SHOW label AT day:2021", "SHOW amount AT day:2022",
                         "RANK shop BY ENTROPY OVER day", "CORRELATIONS"):
                try:
                    out[text] = db.query(text).rows
                except QuibError as error:
                    out[text] = str(error)
    except QuibError as error:
        out["error"] = str(error)
    print(json.dumps(out))
    """
)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the pthread_create shim")
    library = tmp_path_factory.mktemp("shim") / "thread_limit_shim.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), SHIM, "-ldl"],
                   check=True)
    return str(library)


def run_child(tmp_path, db_path, road, env):
    csv_path = write_csv(tmp_path / "rows.csv", HEADER, ROWS)
    records_path = tmp_path / "records.json"
    records_path.write_text(json.dumps([dict(zip(HEADER, row)) for row in ROWS]))
    child = subprocess.run(
        [sys.executable, "-c", CHILD, db_path, road, csv_path, str(records_path)],
        env=env, capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout)


def seeded(tmp_path, name):
    """A database holding some rows of the file, the same ones every time."""
    db_path = str(tmp_path / name)
    with QuibDB.create(db_path) as db:
        db.ingest(write_csv(tmp_path / "seed.csv", HEADER, ROWS[::7]))
    return db_path


@pytest.mark.parametrize("allowed", [0, 2])
@pytest.mark.parametrize("road", ["file", "records", "file_more", "records_more"])
def test_a_thread_limit_gives_the_answers_of_no_limit(tmp_path, shim, allowed, road):
    fresh = road in ("file", "records")
    free_db = str(tmp_path / "free") if fresh else seeded(tmp_path, "free")
    expected = run_child(tmp_path, free_db, road, dict(os.environ))
    assert expected["report"][1] == len(ROWS)

    limited_db = str(tmp_path / "limited") if fresh else seeded(tmp_path, "limited")
    env = dict(os.environ, LD_PRELOAD=shim, THREAD_LIMIT_ALLOW=str(allowed))
    assert run_child(tmp_path, limited_db, road, env) == expected

"""Times file ingestion against the tools a user would pick to compute the same counts.

Every tool turns one generated file into counts per (region, month, column):
a 20-bin histogram over the inferred range for each continuous column and
category counts for each categorical one. Each measurement runs in its own
child process, so peak RSS belongs to one tool alone. After the clock stops,
every tool hands back its counts of a sample of (variable, region, month)
keys, cell by cell, and the parent holds each peer's against the engine's.
"""

import argparse
import csv
import importlib
import importlib.util
import itertools
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
DATA_DIR = BENCH_DIR / "data"

SIZES = [100_000, 1_000_000, 5_000_000]
RECORDS_LIMIT = 1_000_000  # above this a list of dicts no longer fits comfortably
SAMPLE_ROWS = 1000  # rows that inference looks at
# The files in the query form of the generator (bench/generate.py): region names without a
# blank, so that SHOW can name each sampled key and read the engine's counts back.
DATE = "time"
INGEST_ARGS = {"date_columns": [DATE], "date_granularity": "monthly"}
TOOLS = ["quib", "quib-records", "quib-1core", "duckdb", "polars", "polars-int", "polars-records",
         "pandas", "pandas-default", "pandas-records"]
DEFAULT_TOOLS = [t for t in TOOLS if t not in ("quib-1core", "pandas-default")]
RECORD_TOOLS = {"quib-records", "polars-records", "pandas-records"}
# The keys whose every cell each tool reports: regions (positions in generate.REGIONS) of high,
# middle and low weight, times months at both ends and in the middle of the two years.
SAMPLE_REGIONS = (0, 13, 59)
SAMPLE_MONTHS = ("2023-01", "2024-03", "2024-12")


# ---------------------------------------------------------------- schema

def schema_from_engine(head):
    """Bins and categories as the engine infers them from the leading rows."""
    import quib_engine
    tmp = tempfile.mkdtemp(dir=DATA_DIR, prefix="schema-")
    try:
        db = quib_engine.QuibDB.create(os.path.join(tmp, "db"))
        db.ingest(str(head), **INGEST_ARGS)
        raw = db.schema()
        db.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    schema = {"continuous": {}, "categorical": {}}
    for var in raw["variables"]:
        kind, spec = next(iter(var["var_type"].items()))
        if kind == "Continuous":
            schema["continuous"][var["name"]] = [*spec["range"], spec["bins"]]
        else:
            schema["categorical"][var["name"]] = spec["categories"]
    return schema


def schema_from_sample(path, fmt):
    """The same bins computed here: range (min, max + margin) of the leading rows."""
    with open(path, newline="") as f:
        rows = csv.DictReader(f) if fmt == "csv" else map(json.loads, f)
        sample = list(itertools.islice(rows, SAMPLE_ROWS))
    import generate
    schema = {"continuous": {}, "categorical": {}}
    for col in generate.CONTINUOUS:
        values = [float(r[col]) for r in sample]
        lo, hi = min(values), max(values)
        margin = 1.0 if abs(hi - lo) < 2.220446049250313e-16 else (hi - lo) * 0.001
        schema["continuous"][col] = [lo, hi + margin, 20]
    for col in generate.CATEGORICAL:
        schema["categorical"][col] = list(dict.fromkeys(str(r[col]) for r in sample))
    return schema


def bins(schema):
    """(column, low, width, last bin index) per continuous column."""
    return [(c, lo, (hi - lo) / n, n - 1) for c, (lo, hi, n) in schema["continuous"].items()]


# ---------------------------------------------------------------- tools (children)

def columns_of(schema):
    return [*schema["continuous"], *schema["categorical"]]


def cell_name(variable, region, month, cell):
    return f"{variable}|{region}|{month}|{cell}"


def quib_cells(db, schema, keys):
    """The engine's nonzero counts of the sampled keys, read back through SHOW: a histogram's
    cells by bin position, a categorical's by category."""
    import quib_engine
    cells = {}
    for variable in columns_of(schema):
        for region, month in keys:
            try:
                rows = db.query(f"SHOW {variable} AT region:{region} WHERE {DATE}:{month}").rows
            except quib_engine.QuibError as error:
                if "not found" not in str(error):
                    raise
                continue  # no row holds the key: no counts
            for position, (name, value) in enumerate(rows[4:]):  # after entropy, samples, version
                cell = position if variable in schema["continuous"] else name
                if count := int(value.split()[0]):
                    cells[cell_name(variable, region, month, cell)] = count
    return cells


def run_quib(path, fmt, schema, tmp, keys):
    import quib_engine
    start = time.perf_counter()
    db = quib_engine.QuibDB.create(os.path.join(tmp, "db"))
    db.ingest(str(path), **INGEST_ARGS)
    seconds = time.perf_counter() - start
    stats = db.stats()
    cells = quib_cells(db, schema, keys)
    db.close()
    raw = Path(tmp, "db", "raw")
    _extra["raw_log_bytes"] = sum(f.stat().st_size for f in raw.iterdir() if f.is_file())
    return seconds, stats.distributions, stats.total_samples, cells


def read_records(path, fmt):
    """The file as a list of dicts, as every records tool receives it (built before timing)."""
    import polars as pl
    reader = pl.read_csv if fmt == "csv" else pl.read_ndjson
    return reader(path, schema_overrides={DATE: pl.String}).to_dicts()


def run_quib_records(path, fmt, schema, tmp, keys):
    import quib_engine
    # ingest_records infers nothing: the leading rows define the schema first, and their counts
    # are taken off the records' afterwards.
    db = quib_engine.QuibDB.create(os.path.join(tmp, "db"))
    db.ingest(str(DATA_DIR / f"sales_{SAMPLE_ROWS}_query.{fmt}"), **INGEST_ARGS)
    before, cells_before = db.stats().total_samples, quib_cells(db, schema, keys)
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    db.ingest_records(records)
    seconds = time.perf_counter() - start
    stats = db.stats()
    cells = quib_cells(db, schema, keys)
    db.close()
    cells = {k: n - cells_before.get(k, 0) for k, n in cells.items()}
    return (seconds, stats.distributions, stats.total_samples - before,
            {k: n for k, n in cells.items() if n})


def run_duckdb(path, fmt, schema, tmp, keys):
    import duckdb
    con = duckdb.connect()
    path = str(path).replace("'", "''")
    if fmt == "csv":
        source = f"read_csv('{path}', types={{'{DATE}': 'VARCHAR'}})"
    else:
        source = f"read_json('{path}', format='newline_delimited')"
    binned = [f"least(greatest(floor(({c} - '{lo!r}'::DOUBLE) / '{w!r}'::DOUBLE), 0), {last})"
              f"::INTEGER AS {c}" for c, lo, w, last in bins(schema)]
    columns = columns_of(schema)
    sets = ", ".join(f"(region, month, {c})" for c in columns)
    start = time.perf_counter()
    con.execute(f"""
        CREATE TABLE counts AS
        WITH t AS (SELECT region, left(CAST({DATE} AS VARCHAR), 7) AS month,
                          {', '.join(binned)}, {', '.join(schema['categorical'])}
                   FROM {source})
        SELECT GROUPING({', '.join(columns)}) AS g, region, month, {', '.join(columns)},
               count(*) AS n
        FROM t GROUP BY GROUPING SETS ({sets})""")
    seconds = time.perf_counter() - start
    dists, = con.execute("SELECT count(*) FROM (SELECT DISTINCT g, region, month FROM counts)").fetchone()
    total, = con.execute("SELECT sum(n) FROM counts").fetchone()
    cells, wanted = {}, set(keys)
    for i, c in enumerate(columns):
        # GROUPING() sets the bit of each column a row is not grouped by, the first column highest.
        grouped_by_c = (1 << len(columns)) - 1 - (1 << (len(columns) - 1 - i))
        for region, month, cell, n in con.execute(
                f"SELECT region, month, {c}, n FROM counts WHERE g = {grouped_by_c}").fetchall():
            if (region, month) in wanted:
                cells[cell_name(c, region, month, cell)] = n
    return seconds, dists, int(total), cells


def polars_counts(rows, schema, month):
    """The grouped counts of every column over a polars frame (lazy or not), `month` its key."""
    import polars as pl
    queries = [rows.group_by("region", month, ((pl.col(c) - lo) / w).floor().clip(0, last)
                             .cast(pl.Int32)).len() for c, lo, w, last in bins(schema)]
    queries += [rows.group_by("region", month, c).len() for c in schema["categorical"]]
    return queries


def polars_result(counts, month, schema, keys, month_text=str):
    """(distributions, samples, cells of the sampled keys); `month_text` turns a month key back
    into its text."""
    dists = sum(r.select("region", month).n_unique() for r in counts)
    cells, wanted = {}, set(keys)
    for c, frame in zip(columns_of(schema), counts):
        for region, when, cell, n in frame.iter_rows():
            if (str(region), month_text(when)) in wanted:
                cells[cell_name(c, region, month_text(when), cell)] = n
    return dists, sum(r["len"].sum() for r in counts), cells


def run_polars(path, fmt, schema, tmp, keys):
    import polars as pl
    scan = pl.scan_csv if fmt == "csv" else pl.scan_ndjson
    start = time.perf_counter()
    rows = scan(path, schema_overrides={DATE: pl.String}).with_columns(
        pl.col(DATE).str.slice(0, 7).alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))  # one shared scan of the file
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month", schema, keys))


def run_polars_int(path, fmt, schema, tmp, keys):
    """What a user who knows polars writes: texts read as categoricals, the month as an integer
    (year * 100 + month), so that every group key is a small integer."""
    import polars as pl
    scan = pl.scan_csv if fmt == "csv" else pl.scan_ndjson
    texts = {c: pl.Categorical for c in ["region", *schema["categorical"]]}
    start = time.perf_counter()
    date = pl.col(DATE)
    rows = scan(path, schema_overrides={DATE: pl.String, **texts}).with_columns(
        (date.str.slice(0, 4).cast(pl.Int32) * 100 + date.str.slice(5, 2).cast(pl.Int32))
        .alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month", schema, keys, month_of_number))


def month_of_number(number):
    return f"{number // 100}-{number % 100:02d}"


def run_polars_records(path, fmt, schema, tmp, keys):
    import polars as pl
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    rows = pl.from_dicts(records).lazy().with_columns(pl.col(DATE).str.slice(0, 7).alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month", schema, keys))


def pandas_counts(df, schema):
    """Counts of every column over a DataFrame: each (region, month, cell) one integer, counted
    by value_counts; with the labels that decode them (see pandas_result)."""
    import numpy as np
    import pandas as pd
    when = df[DATE]
    if pd.api.types.is_datetime64_any_dtype(when):  # pyarrow's JSON reader parses the dates
        month, months = pd.factorize(when.dt.year * 100 + when.dt.month)
        months = [month_of_number(m) for m in months]
    else:
        month, months = pd.factorize(when.str.slice(0, 7))
    region, regions = pd.factorize(df["region"])
    key = region.astype(np.int64) * len(months) + month
    counts = []
    for c, lo, w, last in bins(schema):
        cell = np.clip(np.floor((df[c].to_numpy() - lo) / w), 0, last).astype(np.int64)
        counts.append((pd.Series(key * (last + 1) + cell).value_counts(sort=False), last + 1, None))
    for c in schema["categorical"]:
        cell, names = pd.factorize(df[c])
        counts.append((pd.Series(key * len(names) + cell).value_counts(sort=False), len(names),
                       names))
    return counts, list(regions), list(months)


def pandas_result(counted, schema, keys):
    """(distributions, samples, cells of the sampled keys) of pandas_counts' answer."""
    import numpy as np
    counts, regions, months = counted
    place = {(str(r), m): i * len(months) + j
             for i, r in enumerate(regions) for j, m in enumerate(months)}
    wanted = {place[k]: k for k in keys if k in place}
    dists, total, cells = 0, 0, {}
    for c, (series, width, names) in zip(columns_of(schema), counts):
        codes, n = series.index.to_numpy(), series.to_numpy()
        dists += len(np.unique(codes // width))
        total += int(n.sum())
        sampled = np.isin(codes // width, list(wanted))
        for code, count in zip(codes[sampled], n[sampled]):
            (region, month), cell = wanted[int(code) // width], int(code) % width
            cells[cell_name(c, region, month, cell if names is None else names[cell])] = int(count)
    return dists, total, cells


def run_pandas(path, fmt, schema, tmp, keys):
    """pandas as its skilled user reads a file: pyarrow's reader, the texts of few values as
    categories, the date as an arrow string."""
    import pandas as pd
    texts = {c: "category" for c in ["region", *schema["categorical"]]}
    start = time.perf_counter()
    if fmt == "csv":
        df = pd.read_csv(path, engine="pyarrow", dtype={**texts, DATE: "string[pyarrow]"})
    else:
        df = pd.read_json(path, lines=True, engine="pyarrow").astype(texts)
    counted = pandas_counts(df, schema)
    seconds = time.perf_counter() - start
    return (seconds, *pandas_result(counted, schema, keys))


def run_pandas_default(path, fmt, schema, tmp, keys):
    """The same counts after pandas' default reader, every text a plain string column."""
    import pandas as pd
    start = time.perf_counter()
    if fmt == "csv":
        df = pd.read_csv(path)
    else:
        df = pd.read_json(path, lines=True, convert_dates=False, keep_default_dates=False)
    counted = pandas_counts(df, schema)
    seconds = time.perf_counter() - start
    return (seconds, *pandas_result(counted, schema, keys))


def run_pandas_records(path, fmt, schema, tmp, keys):
    import pandas as pd
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    counted = pandas_counts(pd.DataFrame(records), schema)
    seconds = time.perf_counter() - start
    return (seconds, *pandas_result(counted, schema, keys))


RUNNERS = {"quib": run_quib, "quib-records": run_quib_records, "quib-1core": run_quib,
           "duckdb": run_duckdb, "polars": run_polars, "polars-int": run_polars_int,
           "polars-records": run_polars_records, "pandas": run_pandas,
           "pandas-default": run_pandas_default, "pandas-records": run_pandas_records}

_baseline_kb = None
_extra = {}  # what a tool reports beside the common figures


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def mark_baseline():
    """Resident size before the measured work: the interpreter, imports and inputs."""
    global _baseline_kb
    try:  # restart the peak here, so building the inputs does not count as the work's peak
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    _baseline_kb = status_kb("VmRSS")


def child(args):
    tool = args.child
    importlib.import_module(module_of(tool))
    mark_baseline()
    tmp = tempfile.mkdtemp(dir=DATA_DIR, prefix=f"{tool}-")
    try:
        keys = [tuple(k) for k in json.loads(args.keys)]
        seconds, dists, total, cells = RUNNERS[tool](args.file, args.format,
                                                     json.loads(args.schema), tmp, keys)
        peak_kb = status_kb("VmHWM")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    result = {"seconds": seconds, "peak_kb": peak_kb, "base_kb": _baseline_kb,
              "dists": dists, "total": total, "cells": cells, **_extra}
    print("RESULT " + json.dumps(result))


# ---------------------------------------------------------------- many distributions

def many_path(count):
    """A CSV file of `count` distinct keys, one row each: `count` distributions of one variable."""
    path = DATA_DIR / f"keys_{count}.csv"
    if not path.exists():
        DATA_DIR.mkdir(exist_ok=True)
        with open(path, "w") as f:
            f.write("key,value\n")
            f.writelines(f"k{i:08d},{(i * 7919) % 1000 / 10}\n" for i in range(count))
    return path


def many_child(phase, path, db_dir):
    """One phase of the many-distributions point, in a process of its own."""
    import quib_engine
    mark_baseline()
    result = {}
    if phase == "ingest":
        start = time.perf_counter()
        db = quib_engine.QuibDB.create(db_dir)
        db.ingest(str(path))
        result["ingest"] = time.perf_counter() - start
        result["distributions"] = db.stats().distributions
        result["peak_kb"] = status_kb("VmHWM") - _baseline_kb
        db.close()
    elif phase == "update":
        start = time.perf_counter()
        db = quib_engine.QuibDB.open(db_dir, mode="read_write")
        result["open"] = time.perf_counter() - start
        start = time.perf_counter()
        db.ingest_records([{"key": "k00000000", "value": 1.5}])  # ends with its own flush
        result["record"] = time.perf_counter() - start
        start = time.perf_counter()
        db.close()  # nothing changed since that flush
        result["close"] = time.perf_counter() - start
    else:  # a read-only open: its time, and the resident bytes the handle holds
        start = time.perf_counter()
        db = quib_engine.QuibDB.open(db_dir, mode="read_only")
        result["open ro"] = time.perf_counter() - start
        result["held_kb"] = status_kb("VmRSS") - _baseline_kb
        db.close()
    print("RESULT " + json.dumps(result))


def many_distributions(counts, repeat):
    print(f"\nmany distributions: one variable, one row per key, median of {repeat} runs, "
          f"{os.cpu_count()} cores, {load_text()}")
    head = (f"{'distributions':>14}{'ingest s':>10}{'peak RSS':>11}{'open rw s':>11}"
            f"{'1-row s':>9}{'close s':>9}{'open ro s':>11}{'bytes/dist':>12}")
    print(head + "\n" + "-" * len(head))
    for count in counts:
        path = many_path(count)
        runs = []
        for _ in range(repeat):
            tmp = tempfile.mkdtemp(dir=DATA_DIR, prefix="many-")
            try:
                run = {}
                for phase in ["ingest", "update", "held"]:
                    cmd = [sys.executable, __file__, "--many-child", phase, "--file", str(path),
                           "--db", os.path.join(tmp, "db")]
                    proc = subprocess.run(cmd, capture_output=True, text=True)
                    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
                    if proc.returncode != 0 or not lines:
                        sys.stderr.write(f"{phase} failed:\n{proc.stderr[-2000:]}\n")
                        return
                    run.update(json.loads(lines[-1][len("RESULT "):]))
                runs.append(run)
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        print(f"{int(med['distributions']):>14,}{med['ingest']:>10.3f}"
              f"{med['peak_kb'] / 1024:>8.0f} MB{med['open']:>11.3f}{med['record']:>9.3f}"
              f"{med['close']:>9.3f}{med['open ro']:>11.3f}"
              f"{med['held_kb'] * 1024 / med['distributions']:>12,.0f}")
    print(f"({load_text()} at the end)")
    sys.stdout.flush()


# ---------------------------------------------------------------- parent

def measure(tool, path, fmt, schema, keys):
    cmd = [sys.executable, __file__, "--child", tool, "--file", str(path),
           "--format", fmt, "--schema", json.dumps(schema), "--keys", json.dumps(keys)]
    if tool == "quib-1core":
        cmd = ["taskset", "-c", "0", *cmd]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    if proc.returncode != 0 or not lines:
        sys.stderr.write(f"{tool} failed (exit {proc.returncode}):\n{proc.stderr[-2000:]}\n")
        return None
    return json.loads(lines[-1][len("RESULT "):])


def module_of(tool):
    return "quib_engine" if tool.startswith("quib") else tool.split("-")[0]


def available_tools(wanted, rows, notes):
    have_engine = importlib.util.find_spec("quib_engine") is not None
    tools = []
    for tool in wanted:
        if tool.startswith("quib") and not have_engine:
            continue
        if tool in RECORD_TOOLS and rows > RECORDS_LIMIT:
            notes.append(f"{tool}: skipped above {RECORDS_LIMIT:,} rows "
                         "(a list of that many dicts is too large to hold)")
            continue
        if tool in RECORD_TOOLS and importlib.util.find_spec("polars") is None:
            notes.append(f"{tool}: skipped, polars builds the list of dicts")
            continue
        if tool == "quib-1core" and not shutil.which("taskset"):
            notes.append("quib-1core: skipped, taskset is not installed")
            continue
        if not tool.startswith("quib") and importlib.util.find_spec(module_of(tool)) is None:
            notes.append(f"{tool}: not installed (pip install -r bench/requirements.txt)")
            continue
        tools.append(tool)
    if not have_engine:
        notes.append("quib_engine is not importable (run `make install`): "
                     "timing the peers only, schema computed from the leading rows")
    return tools


def load_text():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.1f} / {five:.1f} / {fifteen:.1f}"


def cell_agreement(results, keys):
    """Each tool's counts of the sampled keys held against the engine's, cell by cell."""
    reference = next((runs[-1]["cells"] for tool, runs in results.items()
                      if tool == "quib" and runs), None)
    if reference is None:
        print("per-cell check: skipped, quib did not run")
        return
    print(f"per-cell counts of {len(keys)} sampled (region, month) keys x every variable against "
          f"quib's {len(reference):,} nonzero cells ({sum(reference.values()):,} samples):")
    for tool, runs in results.items():
        if tool == "quib" or not runs:
            continue
        theirs = runs[-1]["cells"]
        differ = sum(1 for k in reference.keys() & theirs.keys() if reference[k] != theirs[k])
        one_side = len(reference.keys() ^ theirs.keys())
        verdict = "agree" if not differ and not one_side else "DISAGREE"
        print(f"  {tool:<15}{len(theirs):>7,} cells, {differ} differ, {one_side} on one side "
              f"only: {verdict}")


def report(rows, path, results, source, notes, keys):
    size = path.stat().st_size
    runs = max((len(r) for r in results.values()), default=0)
    print(f"\n{rows:,} rows: {path.name} ({size / 1e6:.1f} MB), bins from {source}, "
          f"median of {runs} runs, {os.cpu_count()} cores, {load_text()}")
    head = (f"{'tool':<15}{'seconds':>9}{'rows/s':>12}{'peak RSS':>11}{'above base':>12}"
            f"{'RSS/file':>10}{'time/quib':>11}{'distributions':>15}{'samples':>12}")
    print(head + "\n" + "-" * len(head))
    med = {t: statistics.median(r["seconds"] for r in runs) for t, runs in results.items() if runs}
    for tool, runs in results.items():
        if not runs:
            print(f"{tool:<15}  failed")
            continue
        peak = statistics.median(r["peak_kb"] for r in runs) * 1024
        above = statistics.median(r["peak_kb"] - r["base_kb"] for r in runs) * 1024
        ratio = f"{med[tool] / med['quib']:.2f}" if "quib" in med else "-"
        print(f"{tool:<15}{med[tool]:>9.3f}{rows / med[tool]:>12,.0f}{peak / 1e6:>8.0f} MB"
              f"{above / 1e6:>9.0f} MB{above / size:>10.2f}{ratio:>11}"
              f"{runs[-1]['dists']:>15,}{runs[-1]['total']:>12,}")
    if logs := [r["raw_log_bytes"] for r in results.get("quib", [])]:
        log = statistics.median(logs)
        print(f"quib's raw log after the ingest: {log / 1e6:.0f} MB, {log / size:.2f}x the file")
    cell_agreement(results, keys)
    for note in notes:
        print(f"note: {note}")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, help="one file size (default: 100k, 1M and 5M)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per tool; the median is shown")
    parser.add_argument("--format", choices=["csv", "jsonl"], default="csv")
    parser.add_argument("--workers", action="store_true",
                        help="also time the engine pinned to one core (taskset -c 0)")
    parser.add_argument("--tools", default=",".join(DEFAULT_TOOLS),
                        help=f"comma-separated subset of {','.join(TOOLS)}")
    parser.add_argument("--many", metavar="COUNTS",
                        help="instead, the many-distributions point for these comma-separated "
                             "distribution counts (e.g. 100000,1000000)")
    parser.add_argument("--child", choices=TOOLS, help=argparse.SUPPRESS)
    parser.add_argument("--many-child", choices=["ingest", "update", "held"], help=argparse.SUPPRESS)
    parser.add_argument("--db", help=argparse.SUPPRESS)
    parser.add_argument("--file", help=argparse.SUPPRESS)
    parser.add_argument("--schema", help=argparse.SUPPRESS)
    parser.add_argument("--keys", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)
    if args.many_child:
        return many_child(args.many_child, args.file, args.db)
    if args.many:
        return many_distributions([int(c) for c in args.many.split(",")], args.repeat)
    sys.path.insert(0, str(BENCH_DIR))
    import generate

    wanted = [t for t in args.tools.split(",") if t]
    if unknown := set(wanted) - set(TOOLS):
        parser.error(f"unknown tools: {', '.join(sorted(unknown))}")
    if args.workers and "quib-1core" not in wanted:
        wanted.insert(wanted.index("quib") + 1 if "quib" in wanted else 0, "quib-1core")
    keys = [(generate.REGIONS[i].replace(" ", "-"), month)
            for i in SAMPLE_REGIONS for month in SAMPLE_MONTHS]
    for rows in [args.rows] if args.rows else SIZES:
        notes = []
        tools = available_tools(wanted, rows, notes)
        path = generate.ensure(rows, args.format, query_form=True)
        if importlib.util.find_spec("quib_engine"):
            head = generate.ensure(SAMPLE_ROWS, args.format, query_form=True)
            schema, source = schema_from_engine(head), "db.schema()"
        else:
            schema, source = schema_from_sample(path, args.format), f"the first {SAMPLE_ROWS} rows"
        results = {tool: [] for tool in tools}
        for _ in range(args.repeat):  # round-robin, so drift of the machine hits every tool alike
            for tool in tools:
                if (r := measure(tool, path, args.format, schema, keys)) is not None:
                    results[tool].append(r)
        report(rows, path, results, source, notes, keys)


if __name__ == "__main__":
    main()

"""Times file ingestion against the tools a user would pick to compute the same counts.

Every tool turns one generated file into counts per (region, month, column):
a 20-bin histogram over the inferred range for each continuous column and
category counts for each categorical one. Each measurement runs in its own
child process, so peak RSS belongs to one tool alone.
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
INGEST_ARGS = {"date_columns": ["date"], "date_granularity": "monthly"}
TOOLS = ["quib", "quib-records", "quib-1core", "duckdb", "polars", "polars-int", "polars-records",
         "pandas", "pandas-records"]
RECORD_TOOLS = {"quib-records", "polars-records", "pandas-records"}


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

def run_quib(path, fmt, schema, tmp):
    import quib_engine
    start = time.perf_counter()
    db = quib_engine.QuibDB.create(os.path.join(tmp, "db"))
    db.ingest(str(path), **INGEST_ARGS)
    seconds = time.perf_counter() - start
    stats = db.stats()
    db.close()
    return seconds, stats.distributions, stats.total_samples


def read_records(path, fmt):
    """The file as a list of dicts, as every records tool receives it (built before timing)."""
    import polars as pl
    reader = pl.read_csv if fmt == "csv" else pl.read_ndjson
    return reader(path, schema_overrides={"date": pl.String}).to_dicts()


def run_quib_records(path, fmt, schema, tmp):
    import quib_engine
    # ingest_records infers nothing: the leading rows define the schema first.
    db = quib_engine.QuibDB.create(os.path.join(tmp, "db"))
    db.ingest(str(DATA_DIR / f"sales_{SAMPLE_ROWS}.{fmt}"), **INGEST_ARGS)
    before = db.stats().total_samples
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    db.ingest_records(records)
    seconds = time.perf_counter() - start
    stats = db.stats()
    db.close()
    return seconds, stats.distributions, stats.total_samples - before


def run_duckdb(path, fmt, schema, tmp):
    import duckdb
    con = duckdb.connect()
    path = str(path).replace("'", "''")
    if fmt == "csv":
        source = f"read_csv('{path}', types={{'date': 'VARCHAR'}})"
    else:
        source = f"read_json('{path}', format='newline_delimited')"
    binned = [f"least(greatest(floor(({c} - '{lo!r}'::DOUBLE) / '{w!r}'::DOUBLE), 0), {last})"
              f"::INTEGER AS {c}" for c, lo, w, last in bins(schema)]
    columns = [*schema["continuous"], *schema["categorical"]]
    sets = ", ".join(f"(region, month, {c})" for c in columns)
    start = time.perf_counter()
    con.execute(f"""
        CREATE TABLE counts AS
        WITH t AS (SELECT region, left(CAST(date AS VARCHAR), 7) AS month,
                          {', '.join(binned)}, {', '.join(schema['categorical'])}
                   FROM {source})
        SELECT GROUPING({', '.join(columns)}) AS g, region, month, {', '.join(columns)},
               count(*) AS n
        FROM t GROUP BY GROUPING SETS ({sets})""")
    seconds = time.perf_counter() - start
    dists, = con.execute("SELECT count(*) FROM (SELECT DISTINCT g, region, month FROM counts)").fetchone()
    total, = con.execute("SELECT sum(n) FROM counts").fetchone()
    return seconds, dists, int(total)


def polars_counts(rows, schema, month):
    """The grouped counts of every column over a polars frame (lazy or not), `month` its key."""
    import polars as pl
    queries = [rows.group_by("region", month, ((pl.col(c) - lo) / w).floor().clip(0, last)
                             .cast(pl.Int32)).len() for c, lo, w, last in bins(schema)]
    queries += [rows.group_by("region", month, c).len() for c in schema["categorical"]]
    return queries


def polars_result(counts, month):
    dists = sum(r.select("region", month).n_unique() for r in counts)
    return dists, sum(r["len"].sum() for r in counts)


def run_polars(path, fmt, schema, tmp):
    import polars as pl
    scan = pl.scan_csv if fmt == "csv" else pl.scan_ndjson
    start = time.perf_counter()
    rows = scan(path, schema_overrides={"date": pl.String}).with_columns(
        pl.col("date").str.slice(0, 7).alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))  # one shared scan of the file
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month"))


def run_polars_int(path, fmt, schema, tmp):
    """What a user who knows polars writes: texts read as categoricals, the month as an integer
    (year * 100 + month), so that every group key is a small integer."""
    import polars as pl
    scan = pl.scan_csv if fmt == "csv" else pl.scan_ndjson
    texts = {c: pl.Categorical for c in ["region", *schema["categorical"]]}
    start = time.perf_counter()
    date = pl.col("date")
    rows = scan(path, schema_overrides={"date": pl.String, **texts}).with_columns(
        (date.str.slice(0, 4).cast(pl.Int32) * 100 + date.str.slice(5, 2).cast(pl.Int32))
        .alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month"))


def run_polars_records(path, fmt, schema, tmp):
    import polars as pl
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    rows = pl.from_dicts(records).lazy().with_columns(pl.col("date").str.slice(0, 7).alias("month"))
    counts = pl.collect_all(polars_counts(rows, schema, "month"))
    seconds = time.perf_counter() - start
    return (seconds, *polars_result(counts, "month"))


def pandas_counts(df, schema):
    """Grouped counts of every column over a DataFrame, and (distributions, samples)."""
    import numpy as np
    key = df.groupby([df["region"], df["date"].str.slice(0, 7)], sort=False).ngroup().to_numpy()
    counts = [df.groupby([key, np.clip(np.floor((df[c].to_numpy() - lo) / w), 0, last)
                          .astype(np.int32)]).size() for c, lo, w, last in bins(schema)]
    counts += [df.groupby([key, df[c]]).size() for c in schema["categorical"]]
    dists = sum(r.index.get_level_values(0).nunique() for r in counts)
    return dists, int(sum(r.sum() for r in counts))


def run_pandas(path, fmt, schema, tmp):
    import pandas as pd
    start = time.perf_counter()
    if fmt == "csv":
        df = pd.read_csv(path)
    else:
        df = pd.read_json(path, lines=True, convert_dates=False, keep_default_dates=False)
    dists, total = pandas_counts(df, schema)
    return time.perf_counter() - start, dists, total


def run_pandas_records(path, fmt, schema, tmp):
    import pandas as pd
    records = read_records(path, fmt)
    mark_baseline()
    start = time.perf_counter()
    dists, total = pandas_counts(pd.DataFrame(records), schema)
    return time.perf_counter() - start, dists, total


RUNNERS = {"quib": run_quib, "quib-records": run_quib_records, "quib-1core": run_quib,
           "duckdb": run_duckdb, "polars": run_polars, "polars-int": run_polars_int,
           "polars-records": run_polars_records, "pandas": run_pandas,
           "pandas-records": run_pandas_records}

_baseline_kb = None


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
        seconds, dists, total = RUNNERS[tool](args.file, args.format, json.loads(args.schema), tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    result = {"seconds": seconds, "peak_kb": status_kb("VmHWM"), "base_kb": _baseline_kb,
              "dists": dists, "total": total}
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
        db.ingest_records([{"key": "k00000000", "value": 1.5}])
        db.flush()
        result["record"] = time.perf_counter() - start
        start = time.perf_counter()
        db.close()
        result["close"] = time.perf_counter() - start
    else:  # resident bytes a read-only handle holds
        db = quib_engine.QuibDB.open(db_dir, mode="read_only")
        result["held_kb"] = status_kb("VmRSS") - _baseline_kb
        db.close()
    print("RESULT " + json.dumps(result))


def many_distributions(counts, repeat):
    print(f"\nmany distributions: one variable, one row per key, median of {repeat} runs, "
          f"{os.cpu_count()} cores")
    head = (f"{'distributions':>14}{'ingest s':>10}{'peak RSS':>11}{'open s':>9}"
            f"{'1-row s':>9}{'close s':>9}{'bytes/dist':>12}")
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
              f"{med['peak_kb'] / 1024:>8.0f} MB{med['open']:>9.3f}{med['record']:>9.3f}"
              f"{med['close']:>9.3f}{med['held_kb'] * 1024 / med['distributions']:>12,.0f}")
    sys.stdout.flush()


# ---------------------------------------------------------------- parent

def measure(tool, path, fmt, schema):
    cmd = [sys.executable, __file__, "--child", tool, "--file", str(path),
           "--format", fmt, "--schema", json.dumps(schema)]
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


def report(rows, path, results, source, notes):
    size = path.stat().st_size
    runs = max((len(r) for r in results.values()), default=0)
    print(f"\n{rows:,} rows: {path.name} ({size / 1e6:.1f} MB), bins from {source}, "
          f"median of {runs} runs, {os.cpu_count()} cores")
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
    parser.add_argument("--tools", default=",".join(t for t in TOOLS if t != "quib-1core"),
                        help=f"comma-separated subset of {','.join(TOOLS)}")
    parser.add_argument("--many", metavar="COUNTS",
                        help="instead, the many-distributions point for these comma-separated "
                             "distribution counts (e.g. 100000,1000000)")
    parser.add_argument("--child", choices=TOOLS, help=argparse.SUPPRESS)
    parser.add_argument("--many-child", choices=["ingest", "update", "held"], help=argparse.SUPPRESS)
    parser.add_argument("--db", help=argparse.SUPPRESS)
    parser.add_argument("--file", help=argparse.SUPPRESS)
    parser.add_argument("--schema", help=argparse.SUPPRESS)
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
    for rows in [args.rows] if args.rows else SIZES:
        notes = []
        tools = available_tools(wanted, rows, notes)
        path = generate.ensure(rows, args.format)
        if importlib.util.find_spec("quib_engine"):
            schema, source = schema_from_engine(generate.ensure(SAMPLE_ROWS, args.format)), "db.schema()"
        else:
            schema, source = schema_from_sample(path, args.format), f"the first {SAMPLE_ROWS} rows"
        results = {tool: [] for tool in tools}
        for _ in range(args.repeat):  # round-robin, so drift of the machine hits every tool alike
            for tool in tools:
                if (r := measure(tool, path, args.format, schema)) is not None:
                    results[tool].append(r)
        report(rows, path, results, source, notes)


if __name__ == "__main__":
    main()

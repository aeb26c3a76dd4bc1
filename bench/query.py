"""Times query-language statements against the tools a user would pick to answer the same questions.

The engine answers from the counts it keeps (`QuibDB.query`); the peers answer from the raw file
as a user without the engine would: pandas (filter, histogram / value counts) or DuckDB (SQL for
the counts), then the same scipy calls (`jensenshannon`, `entropy`, `wasserstein_distance`).
Each measurement runs in a child process of its own, round-robin, and the table shows medians.
"""

import argparse
import importlib.util
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
DATA_DIR = BENCH_DIR / "data"
JOINT = ["channel", "product"]
INGEST_ARGS = {"date_columns": ["time"], "date_granularity": "monthly"}
PEERS = ["pandas", "duckdb"]
WARM_ISSUES = 20
WARM_SECONDS = 1.0  # a warm measurement stops after this much time, however few issues it made


# ---------------------------------------------------------------- the questions

def statements(regions, month):
    """(label, database, statement) per timed statement; the peers answer the same labels."""
    a, b = regions[0], regions[1]
    return [
        ("COMPARE exact keys (histogram)", "main",
         f"COMPARE price BETWEEN region:{a} AND region:{b} WHERE time:{month}"),
        ("COMPARE exact keys (categorical)", "main",
         f"COMPARE product BETWEEN region:{a} AND region:{b} WHERE time:{month}"),
        ("COMPARE BETWEEN two regions", "main", f"COMPARE price BETWEEN region:{a} AND region:{b}"),
        ("COMPARE ACROSS region", "main", "COMPARE price ACROSS region"),
        ("EXPLAIN region VS region", "main", f"EXPLAIN region:{a} VS region:{b}"),
        ("PAIRWISE region ON price", "main", "PAIRWISE region ON price"),
        ("NEAREST region", "main", f"NEAREST region:{a} ON region"),
        ("TRACK 24 months, one region", "main", f"TRACK price FROM region:{a}"),
        ("TRACK 24 months, all regions", "main", f"TRACK price FROM time:{month}"),
        ("SHOW one distribution", "main", f"SHOW price AT region:{a} WHERE time:{month}"),
        ("RANK by entropy", "main", "RANK price BY ENTROPY OVER region"),
        ("MI AT region", "region", f"MI channel, product AT region:{a}"),
        ("CMI GIVEN region", "region", "CMI channel, product GIVEN region"),
        ("CORRELATIONS", "main", "CORRELATIONS"),
        ("EXPORT RANK AS JSON", "main", "EXPORT RANK price BY ENTROPY OVER region AS JSON"),
    ]


# ---------------------------------------------------------------- databases

def create_database(path, csv_path):
    """A database whose stored schema names the joint pair before the first ingest."""
    import quib_engine
    shutil.rmtree(path, ignore_errors=True)
    quib_engine.QuibDB.create(str(path)).close()
    # Joint pairs come only with a stored schema: the meta file in its JSON form.
    meta = {"schema": {"variables": [], "dimensions": [], "joints": [JOINT]},
            "next_distribution_id": 1, "next_joint_id": 1, "next_raw_record_id": 1,
            "format_version": 3, "raw_log_enabled": True, "high_water_mark": 0}
    Path(path, "meta.edb").write_text(json.dumps(meta))
    with quib_engine.QuibDB.open(str(path)) as db:
        db.ingest(str(csv_path), **INGEST_ARGS)
        return db.schema(), db.stats()


def without_time(csv_path):
    """The same rows without the time column: MI ... AT and CMI ... GIVEN need joints stored
    under exactly one pair, the region."""
    import polars as pl
    out = csv_path.with_name(csv_path.stem + "_notime.csv")
    if not out.exists():
        pl.read_csv(csv_path, infer_schema_length=0).drop("time").write_csv(out)
    return out


def plain_schema(raw):
    """{variable: ("continuous", lo, hi, bins) or ("categorical", categories)} in schema order."""
    schema = {}
    for var in raw["variables"]:
        kind, spec = next(iter(var["var_type"].items()))
        if kind == "Continuous":
            schema[var["name"]] = ("continuous", *spec["range"], spec["bins"])
        else:
            schema[var["name"]] = ("categorical", spec["categories"])
    return schema


# ---------------------------------------------------------------- engine child

def run_quib(args):
    """`first`: the statement's first issue in a new process (its code and the module's data not
    yet touched); `cold`: the first issue on a fresh handle (an empty compare cache, the files
    just read) after that; `warm`: repeats on that handle, answered from its cache."""
    import quib_engine
    db = quib_engine.QuibDB.open(args.db, mode="read_only")
    start = time.perf_counter()
    db.query(args.statement)
    first = time.perf_counter() - start
    db.close()
    start = time.perf_counter()
    db = quib_engine.QuibDB.open(args.db, mode="read_only")
    opened = time.perf_counter() - start
    start = time.perf_counter()
    result = db.query(args.statement)
    cold = time.perf_counter() - start
    warm = []
    spent = time.perf_counter()
    while len(warm) < WARM_ISSUES and time.perf_counter() - spent < WARM_SECONDS:
        start = time.perf_counter()
        db.query(args.statement)
        warm.append(time.perf_counter() - start)
    db.close()
    return {"open": opened, "first": first, "cold": cold, "warm": statistics.median(warm),
            "rows": len(result.rows)}


# ---------------------------------------------------------------- peer children

def assemble(key_columns, codes, weights, width):
    """Counts per group: keys (tuples, sorted) and an array [group, cell]; `codes` are the cell
    indices of the rows (or of the rows of counts `weights`)."""
    import pandas as pd
    if key_columns:
        factors = [pd.factorize(column, sort=True) for column in key_columns]
        combined = np.ravel_multi_index([f[0] for f in factors], [len(f[1]) for f in factors])
        present, groups = np.unique(combined, return_inverse=True)
        parts = np.unravel_index(present, [len(f[1]) for f in factors])
        keys = list(zip(*(f[1][p] for f, p in zip(factors, parts))))
    else:
        groups, keys = np.zeros(len(codes), dtype=np.int64), [()]
    keep = codes >= 0  # a category outside the schema's list has no cell
    flat = groups[keep] * width + codes[keep]
    counts = np.bincount(flat, weights=None if weights is None else weights[keep],
                         minlength=len(keys) * width)
    return keys, counts.reshape(len(keys), width)


def cell_codes(kind_spec, values):
    """Bin index (clamped into the range, as the engine counts) or category position."""
    import pandas as pd
    if kind_spec[0] == "continuous":
        _, lo, hi, bins = kind_spec
        width = (hi - lo) / bins
        values = np.asarray(values, dtype=np.float64)
        return np.clip(np.floor((values - lo) / width), 0, bins - 1).astype(np.int64), bins
    categories = kind_spec[1]
    return pd.Categorical(values, categories=categories).codes.astype(np.int64), len(categories)


class PandasCounts:
    """Counts from a DataFrame: boolean filters, then histograms / value counts."""

    def __init__(self, df, schema):
        self.df, self.schema = df, schema

    def _slice(self, where):
        df = self.df
        for name, value in where.items():
            df = df[df[name] == value]
        return df

    def hist(self, var, where, by=()):
        df = self._slice(where)
        codes, width = cell_codes(self.schema[var], df[var].to_numpy())
        return assemble([df[b].to_numpy() for b in by], codes, None, width)

    def cross(self, a, b, where, by=()):
        df = self._slice(where)
        ca, na = cell_codes(self.schema[a], df[a].to_numpy())
        cb, nb = cell_codes(self.schema[b], df[b].to_numpy())
        codes = np.where((ca >= 0) & (cb >= 0), ca * nb + cb, -1)
        keys, flat = assemble([df[c].to_numpy() for c in by], codes, None, na * nb)
        return keys, flat.reshape(len(keys), na, nb)


class DuckCounts:
    """Counts from SQL: one GROUP BY per question over the file (or a table loaded from it)."""

    def __init__(self, con, source, schema):
        self.con, self.source, self.schema = con, source, schema

    def _cell(self, var):
        spec = self.schema[var]
        if spec[0] == "categorical":
            return f'"{var}"'
        _, lo, hi, bins = spec
        width = (hi - lo) / bins
        return (f"least(greatest(floor((\"{var}\" - {lo!r}) / {width!r}), 0), {bins - 1})"
                f"::INTEGER")

    def _counts(self, cells, where, by):
        groups = ", ".join([*(f'"{b}"' for b in by), *(f"{c} AS c{i}" for i, c in enumerate(cells))])
        filters = " AND ".join(f'"{name}" = ?' for name in where) or "true"
        got = self.con.execute(f"SELECT {groups}, count(*) AS n FROM {self.source} "
                               f"WHERE {filters} GROUP BY ALL", list(where.values())).fetchnumpy()
        return got, [np.asarray(got[b]) for b in by], got["n"].astype(np.float64)

    def _codes(self, var, cells):
        """SQL already turned values into bins; categories still become positions here."""
        spec = self.schema[var]
        if spec[0] == "continuous":
            return np.asarray(cells, dtype=np.int64), spec[3]
        return cell_codes(spec, cells)

    def hist(self, var, where, by=()):
        got, keys, n = self._counts([self._cell(var)], where, by)
        codes, width = self._codes(var, got["c0"])
        return assemble(keys, codes, n, width)

    def cross(self, a, b, where, by=()):
        got, keys, n = self._counts([self._cell(a), self._cell(b)], where, by)
        ca, na = self._codes(a, got["c0"])
        cb, nb = self._codes(b, got["c1"])
        codes = np.where((ca >= 0) & (cb >= 0), ca * nb + cb, -1)
        keys, flat = assemble(keys, codes, n, na * nb)
        return keys, flat.reshape(len(keys), na, nb)


def peer_answers(counts, schema, regions, month):
    """label -> function answering that statement's question from `counts`; each returns the
    figures that the agreement check compares (or None)."""
    from scipy.spatial.distance import jensenshannon
    from scipy.stats import entropy, wasserstein_distance
    a, b = regions[0], regions[1]
    first = next(iter(schema))

    def jsd(p, q):
        return float(jensenshannon(p, q, base=2) ** 2)

    def centers(var):
        _, lo, hi, bins = schema[var]
        return lo + (hi - lo) / bins * (np.arange(bins) + 0.5)

    def compare(var, where_a, where_b):
        p = counts.hist(var, where_a)[1][0]
        q = counts.hist(var, where_b)[1][0]
        out = {"JSD": jsd(p, q), "Entropy(A)": float(entropy(p, base=2)),
               "Entropy(B)": float(entropy(q, base=2))}
        if schema[var][0] == "continuous":
            x = centers(var)
            out["Wasserstein"] = float(wasserstein_distance(x, x, p, q))
        else:
            shift = q / q.sum() - p / p.sum()
            out["movers"] = np.argsort(-np.abs(shift), kind="stable")[:10].tolist()
        return out

    def per_region(var, where=None):
        keys, m = counts.hist(var, where or {}, by=("region",))
        return [k[0] for k in keys], m

    def across(var):
        values, m = per_region(var)
        pairs = {f"{values[i]}|{values[j]}": jsd(m[i], m[j])
                 for i in range(len(values)) for j in range(i + 1, len(values))}
        return {"JSD": dict(sorted(pairs.items(), key=lambda item: -item[1]))}

    def pairwise(var):
        values, m = per_region(var)
        matrix = np.zeros((len(values), len(values)))
        for i in range(len(values)):
            for j in range(i + 1, len(values)):
                matrix[i, j] = matrix[j, i] = jsd(m[i], m[j])
        return {"JSD": matrix.tolist()}

    def explain():
        rows = {var: compare(var, {"region": a}, {"region": b})["JSD"] for var in schema}
        return {"JSD": dict(sorted(rows.items(), key=lambda item: -item[1]))}

    def nearest():
        values, m = per_region(first)
        target = values.index(a)
        distances = [(jsd(m[target], m[i]), v) for i, v in enumerate(values) if i != target]
        return {"nearest": sorted(distances)[:3]}

    def track(where):
        keys, m = counts.hist("price", where, by=("time",))
        entropies = entropy(m, base=2, axis=1).tolist()
        drifts = [jsd(m[i - 1], m[i]) for i in range(1, len(m))]
        return {"Entropy": dict(zip((k[0] for k in keys), entropies)),
                "Drift": dict(zip((k[0] for k in keys), drifts))}

    def show():
        p = counts.hist("price", {"region": a, "time": month})[1][0]
        return {"Prob": dict(enumerate((p / p.sum()).tolist()))}

    def rank():
        keys, m = counts.hist("price", {}, by=("region", "time"))
        h = entropy(m, base=2, axis=1)
        order = np.argsort(-h, kind="stable")
        return [(keys[i][0], float(h[i]), int(m[i].sum())) for i in order]

    def mutual_information(tables):
        """MI of each table of a stack [table, row, column], in one scipy call per term."""
        return (entropy(tables.sum(axis=2), base=2, axis=1)
                + entropy(tables.sum(axis=1), base=2, axis=1)
                - entropy(tables.reshape(len(tables), -1), base=2, axis=1))

    def mi():
        tables = counts.cross(*JOINT, {"region": a})[1]
        return {"MI": float(mutual_information(tables)[0])}

    def cmi():
        keys, tables = counts.cross(*JOINT, {}, by=("region",))
        totals = tables.sum(axis=(1, 2))
        per = mutual_information(tables)
        return {"CMI": float(np.dot(per, totals / totals.sum())),
                "MI": {k[0]: float(v) for k, v in zip(keys, per)}}

    def correlations():
        keys, tables = counts.cross(*JOINT, {}, by=("region", "time"))
        per = mutual_information(tables)
        order = np.argsort(-per, kind="stable")[:20]
        return {"MI": [float(per[i]) for i in order]}

    def export_rank():
        return {"bytes": len(json.dumps([{"region": r, "Entropy": f"{h:.4f} bits",
                                          "Samples": str(n)} for r, h, n in rank()]))}

    def rank_figures():
        return {"Entropy": sorted(h for _, h, _ in rank())}

    return {
        "COMPARE exact keys (histogram)":
            lambda: compare("price", {"region": a, "time": month}, {"region": b, "time": month}),
        "COMPARE exact keys (categorical)":
            lambda: compare("product", {"region": a, "time": month}, {"region": b, "time": month}),
        "COMPARE BETWEEN two regions": lambda: compare("price", {"region": a}, {"region": b}),
        "COMPARE ACROSS region": lambda: across("price"),
        "EXPLAIN region VS region": explain,
        "PAIRWISE region ON price": lambda: pairwise("price"),
        "NEAREST region": nearest,
        "TRACK 24 months, one region": lambda: track({"region": a}),
        "TRACK 24 months, all regions": lambda: track({}),
        "SHOW one distribution": show,
        "RANK by entropy": rank_figures,
        "MI AT region": mi,
        "CMI GIVEN region": cmi,
        "CORRELATIONS": correlations,
        "EXPORT RANK AS JSON": export_rank,
    }


def load_pandas(path):
    import pandas as pd
    df = pd.read_csv(path)
    df["time"] = df["time"].str.slice(0, 7)  # the month, as the engine buckets it
    return df


def run_peer(args):
    """Times every question: `file` = reading the file (once per question, as a user without
    the engine must) plus answering; `memory` = answering from data already loaded."""
    schema = plain_schema(json.loads(args.schema))
    regions, month = json.loads(args.regions), args.month
    labels = json.loads(args.labels)
    times, figures = {}, {}
    if args.child == "pandas":
        start = time.perf_counter()
        df = load_pandas(args.file)
        load = time.perf_counter() - start
        answers = peer_answers(PandasCounts(df, schema), schema, regions, month)
        for label in labels:
            start = time.perf_counter()
            figures[label] = answers[label]()
            spent = time.perf_counter() - start
            times[label] = {"file": load + spent, "memory": spent}
    else:
        import duckdb
        con = duckdb.connect()
        path = str(args.file).replace("'", "''")
        source = (f"(SELECT * REPLACE (left(\"time\", 7) AS \"time\") "
                  f"FROM read_csv('{path}', types={{'time': 'VARCHAR'}}))")
        on_file = peer_answers(DuckCounts(con, source, schema), schema, regions, month)
        con.execute(f"CREATE TABLE t AS SELECT * FROM {source}")
        in_memory = peer_answers(DuckCounts(con, "t", schema), schema, regions, month)
        for label in labels:
            start = time.perf_counter()
            figures[label] = on_file[label]()
            spent_file = time.perf_counter() - start
            start = time.perf_counter()
            in_memory[label]()
            times[label] = {"file": spent_file, "memory": time.perf_counter() - start}
    return {"times": times, "figures": figures}


# ---------------------------------------------------------------- parent

def child_main(args):
    result = run_quib(args) if args.child == "quib" else run_peer(args)
    print("RESULT " + json.dumps(result, default=str))


def measure(cmd):
    proc = subprocess.run([sys.executable, __file__, *cmd], capture_output=True, text=True)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    if proc.returncode != 0 or not lines:
        sys.stderr.write(f"{cmd[:2]} failed (exit {proc.returncode}):\n{proc.stderr[-2000:]}\n")
        return None
    return json.loads(lines[-1][len("RESULT "):])


def engine_figures(db_paths, plan):
    """The figures our tables show, read back from their cells, for the agreement check."""
    import quib_engine
    handles = {name: quib_engine.QuibDB.open(str(p), mode="read_only")
               for name, p in db_paths.items()}
    figures = {}
    for label, db, sql in plan:
        rows = handles[db].query(sql).rows
        figures[label] = rows
    for handle in handles.values():
        handle.close()
    return figures


def number(cell):
    return float(cell.split()[0].rstrip("%"))


def agreement(ours, peer):
    """Largest |ours - peer| per figure where the two define it alike; ours are printed to 6
    (JSD, Wasserstein) or 4 (entropy, MI) decimals, which bounds what can agree."""
    diffs = {}

    def note(name, x, y):
        diffs[name] = max(diffs.get(name, 0.0), abs(x - y))

    for label in ["COMPARE exact keys (histogram)", "COMPARE exact keys (categorical)",
                  "COMPARE BETWEEN two regions"]:
        if label in peer and label in ours:
            cells = {r[0]: r[1] for r in ours[label] if len(r) == 2}
            for name in ["JSD", "Entropy(A)", "Entropy(B)", "Wasserstein"]:
                if name in peer[label]:
                    note(name.split("(")[0], number(cells[name]), peer[label][name])
    if "COMPARE ACROSS region" in peer:
        theirs = peer["COMPARE ACROSS region"]["JSD"]
        for r in ours["COMPARE ACROSS region"]:
            note("JSD", number(r[2]), theirs[f"{r[0]}|{r[1]}"])
    if "EXPLAIN region VS region" in peer:
        for r in ours["EXPLAIN region VS region"][1:]:
            if not r[0].startswith(" "):
                note("JSD", number(r[1]), peer["EXPLAIN region VS region"]["JSD"][r[0]])
    for label in ["TRACK 24 months, one region", "TRACK 24 months, all regions"]:
        if label in peer:
            for r in ours[label]:
                if r[0] in peer[label]["Entropy"]:
                    note("Entropy", number(r[1]), peer[label]["Entropy"][r[0]])
                    if r[0] in peer[label]["Drift"]:
                        note("JSD", number(r[2]), peer[label]["Drift"][r[0]])
    if "RANK by entropy" in peer:
        mine = sorted(number(r[1]) for r in ours["RANK by entropy"])
        for x, y in zip(mine, peer["RANK by entropy"]["Entropy"]):
            note("Entropy", x, y)
    if "MI AT region" in peer:
        note("MI", number(ours["MI AT region"][0][1]), peer["MI AT region"]["MI"])
    if "CMI GIVEN region" in peer:
        rows = ours["CMI GIVEN region"]
        note("MI", number(rows[0][1]), peer["CMI GIVEN region"]["CMI"])
        for r in rows[3:]:
            note("MI", number(r[1]), peer["CMI GIVEN region"]["MI"][r[0]])
    if "CORRELATIONS" in peer:
        for r, y in zip(ours["CORRELATIONS"], peer["CORRELATIONS"]["MI"]):
            note("MI", number(r[2]), y)
    return diffs


def seconds_text(value):
    if value is None:
        return "-"
    if value < 1e-3:
        return f"{value * 1e6:.0f} µs"
    if value < 1:
        return f"{value * 1e3:.2f} ms"
    return f"{value:.2f} s"


def report(args, plan, quib, peers, diffs, opened, notes):
    load = os.getloadavg()
    print(f"\n{args.rows:,} rows, {len(plan)} statements, median of {args.repeat} runs, "
          f"{os.cpu_count()} cores, load {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f}")
    cols = ["statement", "1st in proc", "ours cold", "ours warm", *[f"{p} file" for p in peers],
            *[f"{p} memory" for p in peers], "peer/ours cold", "memory peer/ours"]
    widths = [32, 12, 11, 11, *[15] * (2 * len(peers)), 16, 18]
    print("".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cols, widths))))
    print("-" * sum(widths))
    med = lambda values: statistics.median(values) if values else None  # noqa: E731
    for label, _, _ in plan:
        first = med([r["first"] for r in quib.get(label, [])])
        cold = med([r["cold"] for r in quib.get(label, [])])
        warm = med([r["warm"] for r in quib.get(label, [])])
        files = [med([r[label]["file"] for r in peers[p]]) for p in peers]
        memory = [med([r[label]["memory"] for r in peers[p]]) for p in peers]
        best_file = min((f for f in files if f is not None), default=None)
        best_memory = min((m for m in memory if m is not None), default=None)
        ratio = f"{best_file / cold:,.0f}" if best_file and cold else "-"
        ratio_memory = f"{best_memory / cold:,.0f}" if best_memory and cold else "-"
        cells = [label, seconds_text(first), seconds_text(cold), seconds_text(warm),
                 *map(seconds_text, files),
                 *map(seconds_text, memory), ratio, ratio_memory]
        print("".join(c.ljust(w) if i == 0 else c.rjust(w)
                      for i, (c, w) in enumerate(zip(cells, widths))))
    if opened:
        print(f"note: opening a handle (read-only, main database) takes {seconds_text(med(opened))}; "
              "cold times start after it")
        print("note: 1st in proc = the statement's first issue in a new process; cold = the "
              "first issue on a fresh handle after that; warm = repeats on that handle")
    for peer, worst in diffs.items():
        shown = ", ".join(f"{name} {value:.1e}" for name, value in sorted(worst.items()))
        print(f"note: largest |ours - {peer}|: {shown}")
    for note in notes:
        print(f"note: {note}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5, help="runs per tool; the median is shown")
    parser.add_argument("--tools", default=",".join(["quib", *PEERS]),
                        help="comma-separated subset of quib,pandas,duckdb")
    parser.add_argument("--only", help="time only the statements whose label contains this text")
    parser.add_argument("--child", choices=["quib", *PEERS], help=argparse.SUPPRESS)
    for hidden in ["--db", "--statement", "--file", "--schema", "--regions", "--month", "--labels"]:
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child_main(args)

    sys.path.insert(0, str(BENCH_DIR))
    import generate
    tools = [t for t in args.tools.split(",") if t]
    notes = []
    if importlib.util.find_spec("quib_engine") is None:
        sys.exit("quib_engine is not importable: run `make install` first")
    for peer in PEERS:
        if peer in tools and importlib.util.find_spec(peer) is None:
            notes.append(f"{peer}: not installed (pip install -r bench/requirements.txt)")
            tools.remove(peer)

    csv_path = generate.ensure(args.rows, "csv", query_form=True)
    db_paths = {"main": DATA_DIR / f"query_db_{args.rows}",
                "region": DATA_DIR / f"query_db_{args.rows}_region"}
    raw_schema, stats = create_database(db_paths["main"], csv_path)
    create_database(db_paths["region"], without_time(csv_path))
    regions = [r.replace(" ", "-") for r in generate.REGIONS[:2]]
    month = "2024-03"
    plan = statements(regions, month)
    if args.only:
        plan = [p for p in plan if args.only.lower() in p[0].lower()]
    labels = [label for label, _, _ in plan]
    print(f"{csv_path.name}: {stats.distributions:,} distributions, "
          f"{stats.total_samples:,} samples", file=sys.stderr)

    quib = {label: [] for label in labels}
    peers = {p: [] for p in tools if p in PEERS}
    figures = {}
    opened = []
    shared = ["--schema", json.dumps(raw_schema), "--regions", json.dumps(regions),
              "--month", month]
    for round_ in range(args.repeat):  # round-robin, so drift of the machine hits every tool alike
        if "quib" in tools:
            for label, db, sql in plan:
                got = measure(["--child", "quib", "--db", str(db_paths[db]), "--statement", sql])
                if got:
                    quib[label].append(got)
                    if db == "main":
                        opened.append(got["open"])
        for peer in peers:
            got = measure(["--child", peer, "--file", str(csv_path), "--labels",
                           json.dumps(labels), *shared])
            if got:
                peers[peer].append(got["times"])
                figures[peer] = got["figures"]
        print(f"run {round_ + 1} of {args.repeat} done", file=sys.stderr)
    ours = engine_figures(db_paths, plan)
    diffs = {peer: agreement(ours, got) for peer, got in figures.items()}
    report(args, plan, quib, peers, diffs, opened, notes)


if __name__ == "__main__":
    main()

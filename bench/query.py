"""Times query-language statements against the tools a user would pick to answer the same questions.

The engine answers from the counts it keeps (`QuibDB.query`). Each peer is written as its best
user would: DuckDB with one GROUP BY over the file, or over a counts table it holds; polars
lazily over the file, or over a DataFrame it holds; numpy over counts arrays it holds. All of them
then compute the measures vectorised over every pair at once, with the engine's definitions, and
the figures of each are held against ours. Each measurement runs in a child process of its own,
round-robin, and the tables show medians.
"""

import argparse
import importlib.util
import itertools
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
PEERS = ["duckdb-file", "duckdb-memory", "polars-file", "polars-memory", "numpy-memory"]
SHOWN = {"duckdb-file": "DuckDB file", "duckdb-memory": "DuckDB memory", "polars-file": "polars file",
         "polars-memory": "polars memory", "numpy-memory": "numpy memory"}
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
            "rows": len(result.rows), "module": quib_engine.__file__}


# ---------------------------------------------------------------- measures

# The engine's definitions, in bits, vectorised over any leading axes: a side is counts [..., W]
# and its total [...], which for a categorical includes the values counted as unknown, so shares
# need not sum to 1. Both sides broadcast, so all pairs of 60 rows are one call on [60, 1, W]
# against [1, 60, W].

SMOOTHING = 1e-10  # what the divergences add to every count of their second side


def shares_and_logs(counts, totals):
    """Shares over the total (0 where the total is) and their log2 (0 where the share is)."""
    totals = np.asarray(totals, dtype=np.float64)[..., None]
    p = np.divide(counts, totals, out=np.zeros(np.shape(counts)), where=totals > 0)
    return p, np.log2(p, out=np.zeros_like(p), where=p > 0)


def entropy_bits(counts, totals):
    p, log_p = shares_and_logs(counts, totals)
    return -(p * log_p).sum(axis=-1)


def pair_measures(a, na, b, nb, wanted, width=None):
    """{measure: array over the broadcast leading axes} for the measures in `wanted`."""
    p, log_p = shares_and_logs(a, na)
    q, log_q = shares_and_logs(b, nb)
    na = np.asarray(na, dtype=np.float64)
    nb = np.asarray(nb, dtype=np.float64)
    bins = np.shape(a)[-1]
    out = {}
    if "JSD" in wanted:
        # H(M) - (H(P) + H(Q)) / 2: one log per cell of the pair, the sides' terms per side.
        m = (p + q) * 0.5
        m_log_m = m * np.log2(m, out=np.zeros_like(m), where=m > 0)
        value = 0.5 * (p * log_p).sum(-1) + 0.5 * (q * log_q).sum(-1) - m_log_m.sum(-1)
        out["JSD"] = np.clip(value, 0.0, 1.0)
    if {"KL(A→B)", "KL(B→A)", "PSI"} & set(wanted):
        either_empty = (na == 0) | (nb == 0)
        smoothed_b = np.log2((b + SMOOTHING) / (bins * SMOOTHING + nb)[..., None])
        smoothed_a = np.log2((a + SMOOTHING) / (bins * SMOOTHING + na)[..., None])
        kl_ab = np.where(either_empty, 0.0, (p * (log_p - smoothed_b)).sum(-1))
        kl_ba = np.where(either_empty, 0.0, (q * (log_q - smoothed_a)).sum(-1))
        out.update({"KL(A→B)": kl_ab, "KL(B→A)": kl_ba, "PSI": kl_ab + kl_ba})
    if "Hellinger" in wanted:
        value = np.sqrt(0.5 * ((np.sqrt(p) - np.sqrt(q)) ** 2).sum(-1))
        out["Hellinger"] = np.where((na == 0) & (nb == 0), 0.0,
                                    np.where((na == 0) | (nb == 0), 1.0, value))
    if "Wasserstein" in wanted:
        gap = np.abs(np.cumsum(p, axis=-1) - np.cumsum(q, axis=-1))
        out["Wasserstein"] = np.where((na == 0) | (nb == 0), 0.0, width * gap.sum(-1))
    if "CI" in wanted:
        both = na + nb
        n_eff = na * nb / np.where(both == 0, 1.0, both)
        jsd = out["JSD"]
        margin = 1.96 * np.sqrt(np.fmax(jsd, 1e-12) * np.fmax(1 - jsd, 1e-12)
                                / np.where(n_eff > 0, n_eff, 1.0))
        margin = np.where(n_eff > 0, margin, 0.0)
        out["CI low"], out["CI high"] = np.fmax(jsd - margin, 0.0), np.fmin(jsd + margin, 1.0)
    return out


def category_shifts(a, na, b, nb):
    """(order, delta, share A, share B, contribution): categories by change of share, largest
    first, ties in list order; the contribution is the category's term of the JSD."""
    p, log_p = shares_and_logs(a, na)
    q, log_q = shares_and_logs(b, nb)
    m = (p + q) * 0.5
    log_m = np.log2(m, out=np.zeros_like(m), where=m > 0)
    contribution = 0.5 * p * (log_p - log_m) + 0.5 * q * (log_q - log_m)
    delta = q - p
    return np.argsort(-np.abs(delta), kind="stable"), delta, p, q, contribution


def table_measures(tables, totals):
    """MI, NMI and Cramér's V of each table of a stack [..., rows, columns], margins being the
    table's sums over the joint's total."""
    totals = np.asarray(totals, dtype=np.float64)
    n = totals[..., None, None]
    cells = np.divide(tables, n, out=np.zeros(tables.shape), where=n > 0)
    rows, columns = cells.sum(-1), cells.sum(-2)

    def x_log_x(x):
        return (x * np.log2(x, out=np.zeros_like(x), where=x > 0)).sum(axis=-1)

    h_rows, h_columns = -x_log_x(rows), -x_log_x(columns)
    mi = x_log_x(cells.reshape(*cells.shape[:-2], -1)) + h_rows + h_columns
    denominator = np.fmin(h_rows, h_columns)
    nmi = np.where(denominator > 0, np.clip(mi / np.where(denominator > 0, denominator, 1), 0, 1),
                   0.0)
    expected = tables.sum(-1)[..., :, None] * tables.sum(-2)[..., None, :] / np.where(n > 0, n, 1)
    chi = np.divide((tables - expected) ** 2, expected, out=np.zeros(tables.shape),
                    where=expected > 0).sum(axis=(-2, -1))
    degrees = min(tables.shape[-2], tables.shape[-1]) - 1
    v = np.fmin(np.sqrt(chi / (np.where(totals > 0, totals, 1) * max(degrees, 1))), 1.0)
    v = np.where((totals > 0) & (degrees > 0), v, 0.0)
    mi = np.where(totals > 0, mi, 0.0)
    return mi, nmi, v


def drift_threshold(drifts):
    """The step above which TRACK reports an event: q3 + 1.5 IQR, or 3 medians when flat."""
    s = np.sort(drifts)
    m = len(s)
    q1, q3 = s[m // 4], s[(3 * m) // 4]
    return s[m // 2] * 3.0 if q3 - q1 < 1e-12 else q3 + 1.5 * (q3 - q1)


# ---------------------------------------------------------------- peer counts

def cell_codes(spec, values):
    """Bin index (clamped into the range, as the engine counts) or category position (-1: not
    in the list, which counts in the total only)."""
    if spec[0] == "continuous":
        _, lo, hi, bins = spec
        values = np.asarray(values, dtype=np.float64)
        return np.clip(np.floor((values - lo) / ((hi - lo) / bins)), 0, bins - 1).astype(np.int64)
    position = {c: i for i, c in enumerate(spec[1])}
    return np.fromiter((position.get(v, -1) for v in values), np.int64, len(values))


def width_of(spec):
    return spec[3] if spec[0] == "continuous" else len(spec[1])


def to_arrays(key_columns, cells, n, width):
    """Rows of (keys..., cell, count) -> sorted keys, counts [group, width], totals [group]."""
    cells = np.asarray(cells, dtype=np.int64)
    n = np.asarray(n, dtype=np.float64)
    if key_columns:
        import pandas as pd
        # Hashing the labels, not sorting them: np.unique over strings costs ten times more.
        levels = [pd.factorize(np.asarray(c, dtype=object), sort=True)[::-1] for c in key_columns]
        sizes = [len(u) for u, _ in levels]
        combined = np.ravel_multi_index([inverse for _, inverse in levels], sizes)
        present, group = np.unique(combined, return_inverse=True)
        parts = np.unravel_index(present, sizes)
        keys = list(zip(*(np.asarray(u)[p].tolist() for (u, _), p in zip(levels, parts))))
    else:
        group, keys = np.zeros(len(cells), dtype=np.int64), [()]
    totals = np.bincount(group, weights=n, minlength=len(keys))
    keep = cells >= 0
    counts = np.bincount(group[keep] * width + cells[keep], weights=n[keep],
                         minlength=len(keys) * width)
    return keys, counts.reshape(len(keys), width), totals


def sql_cell(name, spec):
    if spec[0] == "categorical":
        listed = ", ".join("'" + c.replace("'", "''") + "'" for c in spec[1])
        return f'coalesce(list_position([{listed}], "{name}"), 0) - 1'
    _, lo, hi, bins = spec
    return f'least(greatest(floor(("{name}" - {lo!r}) / {(hi - lo) / bins!r}), 0), {bins - 1})::BIGINT'


def sql_filter(where):
    parts, params = [], []
    for name, value in where.items():
        values = value if isinstance(value, list) else [value]
        parts.append(f'"{name}" IN ({", ".join("?" * len(values))})')
        params.extend(values)
    return " AND ".join(parts) or "true", params


class DuckRows:
    """DuckDB over the rows of the file: one GROUP BY per question, GROUPING SETS for several
    variables at once."""

    def __init__(self, con, source, schema):
        self.con, self.source, self.schema = con, source, schema

    def _fetch(self, cells, where, by):
        columns = ", ".join([*(f'"{b}"' for b in by), *(f"{c} AS c{i}" for i, c in enumerate(cells))])
        filters, params = sql_filter(where)
        got = self.con.execute(f"SELECT {columns}, count(*) AS n FROM {self.source} "
                               f"WHERE {filters} GROUP BY ALL", params).fetchnumpy()
        return [got[b] for b in by], got

    def hist(self, var, where, by=()):
        keys, got = self._fetch([sql_cell(var, self.schema[var])], where, by)
        return to_arrays(keys, got["c0"], got["n"], width_of(self.schema[var]))

    def hists(self, variables, where, by=()):
        keyed = ", ".join(f'"{b}"' for b in by)
        sets = ", ".join(f"({keyed}, c{i})" for i in range(len(variables)))
        cells = ", ".join(f"{sql_cell(v, self.schema[v])} AS c{i}" for i, v in enumerate(variables))
        filters, params = sql_filter(where)
        got = self.con.execute(
            f"SELECT {keyed}, {cells}, count(*) AS n, "
            f"{' + '.join(f'grouping(c{i}) * {1 << i}' for i in range(len(variables)))} AS g "
            f"FROM {self.source} WHERE {filters} GROUP BY GROUPING SETS ({sets})",
            params).df()
        everything = (1 << len(variables)) - 1
        out = {}
        for i, var in enumerate(variables):
            part = got[got["g"] == everything - (1 << i)]
            out[var] = to_arrays([part[b].to_numpy() for b in by], part[f"c{i}"].to_numpy(),
                                 part["n"].to_numpy(), width_of(self.schema[var]))
        return out

    def cross(self, x, y, where, by=()):
        keys, got = self._fetch([sql_cell(x, self.schema[x]), sql_cell(y, self.schema[y])],
                                where, by)
        return cross_arrays(keys, got["c0"], got["c1"], got["n"], self.schema, x, y)


def cross_arrays(keys, cx, cy, n, schema, x, y):
    wx, wy = width_of(schema[x]), width_of(schema[y])
    cx, cy = np.asarray(cx, dtype=np.int64), np.asarray(cy, dtype=np.int64)
    cells = np.where((cx >= 0) & (cy >= 0), cx * wy + cy, -1)
    keys, flat, totals = to_arrays(keys, cells, n, wx * wy)
    return keys, flat.reshape(len(keys), wx, wy), totals


class DuckCountsTable:
    """DuckDB over counts kept in memory: (region, time, variable, cell, n) and the joint's
    (region, time, x, y, n), built beforehand; a question sums them."""

    def __init__(self, con, source, schema):
        self.con, self.schema = con, schema
        parts = [f"SELECT region, time, '{v}' AS variable, {sql_cell(v, s)} AS cell, count(*) AS n "
                 f"FROM {source} GROUP BY ALL" for v, s in schema.items()]
        con.execute("CREATE TABLE counts AS " + " UNION ALL ".join(parts))
        x, y = JOINT
        con.execute(f"CREATE TABLE joint AS SELECT region, time, {sql_cell(x, schema[x])} AS x, "
                    f"{sql_cell(y, schema[y])} AS y, count(*) AS n FROM {source} GROUP BY ALL")

    def _sum(self, table, cells, where, by, extra=""):
        filters, params = sql_filter(where)
        columns = ", ".join([*(f'"{b}"' for b in by), *cells])
        return self.con.execute(f"SELECT {columns}, sum(n)::DOUBLE AS n FROM {table} "
                                f"WHERE {filters}{extra} GROUP BY ALL", params).fetchnumpy()

    def hist(self, var, where, by=()):
        return self.hists([var], where, by)[var]

    def hists(self, variables, where, by=()):
        got = self._sum("counts", ["variable", "cell"], where, by,
                        f" AND variable IN ({', '.join(repr(v) for v in variables)})")
        out = {}
        for var in variables:
            rows = got["variable"] == var
            out[var] = to_arrays([got[b][rows] for b in by], got["cell"][rows], got["n"][rows],
                                 width_of(self.schema[var]))
        return out

    def cross(self, x, y, where, by=()):
        got = self._sum("joint", ["x", "y"], where, by)
        return cross_arrays([got[b] for b in by], got["x"], got["y"], got["n"], self.schema, x, y)


class PolarsRows:
    """polars over rows, lazily: `scan_csv` for the file, a DataFrame's `lazy()` in memory."""

    def __init__(self, frame, schema):
        self.frame, self.schema = frame, schema

    def _cell(self, var):
        import polars as pl
        spec = self.schema[var]
        if spec[0] == "categorical":
            return pl.col(var).replace_strict(spec[1], list(range(len(spec[1]))), default=-1,
                                              return_dtype=pl.Int64)
        _, lo, hi, bins = spec
        return ((pl.col(var) - lo) / ((hi - lo) / bins)).floor().clip(0, bins - 1).cast(pl.Int64)

    def _query(self, cells, where, by):
        import polars as pl
        frame = self.frame
        for name, value in where.items():
            frame = frame.filter(pl.col(name).is_in(value) if isinstance(value, list)
                                 else pl.col(name) == value)
        return frame, frame.group_by([*by, *(c.alias(f"c{i}") for i, c in enumerate(cells))]).len()

    def hist(self, var, where, by=()):
        return self.hists([var], where, by)[var]

    def hists(self, variables, where, by=()):
        import polars as pl
        frame, _ = self._query([], where, by)
        frame = frame.select([*by, *(self._cell(v).alias(v) for v in variables)])
        got = pl.collect_all([frame.group_by([*by, v]).len() for v in variables])
        return {v: to_arrays([g[b].to_numpy() for b in by], g[v].to_numpy(), g["len"].to_numpy(),
                             width_of(self.schema[v])) for v, g in zip(variables, got)}

    def cross(self, x, y, where, by=()):
        got = self._query([self._cell(x), self._cell(y)], where, by)[1].collect()
        return cross_arrays([got[b].to_numpy() for b in by], got["c0"].to_numpy(),
                            got["c1"].to_numpy(), got["len"].to_numpy(), self.schema, x, y)


class NumpyCounts:
    """Counts arrays held in memory: [region, month, cell] per variable and [region, month, x, y]
    for the joint, each with its totals [region, month]."""

    def __init__(self, frame, schema):
        self.schema = schema
        self.levels = {d: np.unique(frame[d].to_numpy()) for d in ("region", "time")}
        r = np.searchsorted(self.levels["region"], frame["region"].to_numpy())
        t = np.searchsorted(self.levels["time"], frame["time"].to_numpy())
        shape = (len(self.levels["region"]), len(self.levels["time"]))
        group = r * shape[1] + t
        self.totals = np.bincount(group, minlength=shape[0] * shape[1]).reshape(shape)
        self.counts, codes = {}, {}
        for var, spec in schema.items():
            codes[var] = cell_codes(spec, frame[var].to_numpy())
            self.counts[var] = self._count(group, codes[var], shape, width_of(spec))
        x, y = JOINT
        wy = width_of(schema[y])
        joint = np.where((codes[x] >= 0) & (codes[y] >= 0), codes[x] * wy + codes[y], -1)
        self.joint = self._count(group, joint, shape, width_of(schema[x]) * wy).reshape(
            *shape, width_of(schema[x]), wy)

    @staticmethod
    def _count(group, cells, shape, width):
        keep = cells >= 0
        flat = np.bincount(group[keep] * width + cells[keep], minlength=shape[0] * shape[1] * width)
        return flat.reshape(*shape, width).astype(np.float64)

    def _pick(self, array, where, by):
        """Sum over the dimensions neither kept by `by` nor fixed by `where`; groups without a
        count are left out, as no distribution is stored for them."""
        axes = ("region", "time")
        if list(by) != [axis for axis in axes if axis in by]:
            raise ValueError("`by` follows the order region, time")
        positions = []
        for axis in axes:
            value = where.get(axis)
            positions.append(np.arange(len(self.levels[axis])) if value is None else
                             np.searchsorted(self.levels[axis],
                                             value if isinstance(value, list) else [value]))
        summed = tuple(i for i, axis in enumerate(axes) if axis not in by)
        totals = self.totals[np.ix_(*positions)].sum(axis=summed).reshape(-1)
        picked = array[np.ix_(*positions)].sum(axis=summed).reshape(len(totals), *array.shape[2:])
        labels = [self.levels[axis][p] for axis, p in zip(axes, positions) if axis in by]
        keys = list(itertools.product(*labels))
        present = totals > 0
        return [k for k, p in zip(keys, present) if p], picked[present], totals[present]

    def hist(self, var, where, by=()):
        return self._pick(self.counts[var], where, by)

    def hists(self, variables, where, by=()):
        return {v: self.hist(v, where, by) for v in variables}

    def cross(self, x, y, where, by=()):
        return self._pick(self.joint, where, by)


# ---------------------------------------------------------------- peer questions

COMPARE_MEASURES = ["JSD", "PSI", "Hellinger", "KL(A→B)", "KL(B→A)", "CI"]


def peer_answers(counts, schema, regions, month):
    """label -> function answering that statement's question from `counts`. What it returns is
    itself a function, called after the clock stops, giving the figures {name: number} that the
    agreement check holds against ours: naming every figure is our check's work, not the user's."""
    a, b = regions[0], regions[1]
    first = next(iter(schema))

    def bin_width(var):
        _, lo, hi, bins = schema[var]
        return (hi - lo) / bins

    def compare(var, where_a, where_b):
        _, ca, na = counts.hist(var, where_a)
        _, cb, nb = counts.hist(var, where_b)
        continuous = schema[var][0] == "continuous"
        wanted = COMPARE_MEASURES + (["Wasserstein"] if continuous else [])
        got = pair_measures(ca[0], na[0], cb[0], nb[0], wanted,
                            bin_width(var) if continuous else None)
        got["Entropy(A)"], got["Entropy(B)"] = entropy_bits(ca[0], na[0]), entropy_bits(cb[0], nb[0])
        got["Samples A"], got["Samples B"] = na[0], nb[0]
        shifts = None if continuous else category_shifts(ca[0], na[0], cb[0], nb[0])

        def figures():
            out = {name: float(value) for name, value in got.items()}
            if shifts:
                out.update(movers(var, shifts, 10, shares=True))
            return out
        return figures

    def movers(var, shifts, top, shares):
        order, delta, p, q, contribution = shifts
        out = {}
        for rank, k in enumerate(order[:top]):
            name = f"{var} mover {rank} {schema[var][1][k]}"
            out[f"{name} delta"] = float(delta[k])
            out[f"{name} contrib"] = float(contribution[k])
            if shares:
                out[f"{name} share A"], out[f"{name} share B"] = float(p[k]), float(q[k])
        return out

    def per_region(var, where=None):
        keys, c, n = counts.hist(var, where or {}, by=("region",))
        return [k[0] for k in keys], c, n

    def across(var):
        values, c, n = per_region(var)
        got = pair_measures(c[:, None], n[:, None], c[None], n[None], ["JSD", "Hellinger", "PSI"])
        i, j = np.triu_indices(len(values), 1)
        order = np.argsort(-got["JSD"][i, j], kind="stable")  # the table's order
        i, j = i[order], j[order]
        table = {name: got[name][i, j] for name in ["JSD", "Hellinger", "PSI"]}
        table["Samples A"], table["Samples B"] = n[i], n[j]

        def figures():
            pairs = [f"{values[x]}|{values[y]}" for x, y in zip(i, j)]
            return {f"{pair} {name}": float(value) for name, column in table.items()
                    for pair, value in zip(pairs, column)}
        return figures

    def pairwise(var):
        values, c, n = per_region(var)
        matrix = pair_measures(c[:, None], n[:, None], c[None], n[None], ["JSD"])["JSD"]
        return lambda: {f"{values[x]}|{values[y]}": float(matrix[x, y])
                        for x in range(len(values)) for y in range(len(values)) if x != y}

    def explain():
        got = counts.hists(list(schema), {"region": [a, b]}, by=("region",))
        rows = {}
        for var, (keys, c, n) in got.items():
            sides = [k[0] for k in keys]
            x, y = sides.index(a), sides.index(b)
            rows[var] = (float(pair_measures(c[x], n[x], c[y], n[y], ["JSD"])["JSD"]),
                         entropy_bits(c[x], n[x]), entropy_bits(c[y], n[y]),
                         category_shifts(c[x], n[x], c[y], n[y])
                         if schema[var][0] == "categorical" else None)
        total = sum(row[0] for row in rows.values())
        ranked = sorted(rows, key=lambda var: -rows[var][0])

        def figures():
            out = {"TOTAL": total}
            for var in ranked:
                jsd, h_a, h_b, shifts = rows[var]
                out[f"{var} JSD"], out[f"{var} Fraction"] = jsd, jsd / total if total > 0 else 0.0
                out[f"{var} H(A)"], out[f"{var} H(B)"] = float(h_a), float(h_b)
                if shifts:
                    out.update(movers(var, shifts, 5, shares=False))
            return out
        return figures

    def nearest():
        values, c, n = per_region(first)
        t = values.index(a)
        others = [i for i in range(len(values)) if i != t]
        jsd = pair_measures(c[t], n[t], c[others], n[others], ["JSD"])["JSD"]
        best = np.argsort(jsd, kind="stable")[:3]
        return lambda: {f"{rank} {values[others[k]]}": float(jsd[k])
                        for rank, k in enumerate(best)}

    def track(where):
        keys, c, n = counts.hist("price", where, by=("time",))
        entropies = entropy_bits(c, n)
        drifts = pair_measures(c[:-1], n[:-1], c[1:], n[1:], ["JSD"])["JSD"]
        threshold = drift_threshold(drifts)
        events = np.nonzero(drifts > threshold)[0] if threshold > 0 else []

        def figures():
            times = [k[0] for k in keys]
            out = {f"{t} Entropy": float(h) for t, h in zip(times, entropies)}
            out.update({f"{t} Drift": float(d) for t, d in zip(times, [*drifts, 0.0])})
            for k in events:
                out[f"event {times[k]}→{times[k + 1]}"] = float(drifts[k])
                out["threshold"] = float(threshold)
            return out
        return figures

    def show():
        _, c, n = counts.hist("price", {"region": a, "time": month})
        h, shares = entropy_bits(c[0], n[0]), c[0] / n[0]

        def figures():
            out = {"Entropy": float(h), "Samples": float(n[0])}
            for i, (count, share) in enumerate(zip(c[0], shares)):
                out[f"bin {i} count"], out[f"bin {i} prob"] = float(count), float(share)
            return out
        return figures

    def rank():
        keys, c, n = counts.hist("price", {}, by=("region", "time"))
        h = entropy_bits(c, n)
        order = np.argsort(-h, kind="stable")
        return [(keys[i][0], float(h[i]), int(n[i])) for i in order]

    def rank_figures(rows):
        out = {}
        for position, (region, h, samples) in enumerate(rows):
            out[f"{position} {region} Entropy"], out[f"{position} {region} Samples"] = h, samples
        return out

    def export_rank():
        text = json.dumps([{"region": r, "Entropy": f"{h:.4f} bits", "Samples": str(n)}
                           for r, h, n in rank()], indent=2)
        return lambda: rank_figures((row["region"], float(row["Entropy"].split()[0]),
                                     int(row["Samples"])) for row in json.loads(text))

    def mi():
        _, tables, totals = counts.cross(*JOINT, {"region": a})
        m, nmi, v = table_measures(tables, totals)
        return lambda: {"MI": float(m[0]), "NMI": float(nmi[0]), "Cramér's V": float(v[0]),
                        "Samples": float(totals[0])}

    def cmi():
        keys, tables, totals = counts.cross(*JOINT, {}, by=("region",))
        m, nmi, _ = table_measures(tables, totals)
        weighted = np.dot(m, totals / totals.sum())

        def figures():
            out = {"CMI": float(weighted), "Total samples": float(totals.sum())}
            for (region,), x, y, n in zip(keys, m, nmi, totals):
                out[f"{region} MI"], out[f"{region} NMI"] = float(x), float(y)
                out[f"{region} Samples"] = float(n)
            return out
        return figures

    def correlations():
        keys, tables, totals = counts.cross(*JOINT, {}, by=("region", "time"))
        m, nmi, v = table_measures(tables, totals)
        top = np.argsort(-m, kind="stable")[:20]

        def figures():
            out = {}
            for rank_, i in enumerate(top):
                name = f"{rank_} region:{keys[i][0]}/time:{keys[i][1]}"
                out[f"{name} MI"], out[f"{name} NMI"] = float(m[i]), float(nmi[i])
                out[f"{name} V"], out[f"{name} Samples"] = float(v[i]), float(totals[i])
            return out
        return figures

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
        "RANK by entropy": lambda: (lambda rows: lambda: rank_figures(rows))(rank()),
        "MI AT region": mi,
        "CMI GIVEN region": cmi,
        "CORRELATIONS": correlations,
        "EXPORT RANK AS JSON": export_rank,
    }


def load_rows(path):
    """The file's rows as a polars DataFrame, the time cut to its month as the engine buckets it."""
    import polars as pl
    return (pl.scan_csv(path, schema_overrides={"time": pl.String})
            .with_columns(pl.col("time").str.slice(0, 7)))


def peer_source(peer, path, schema):
    """The peer's counts object; whatever it builds here (a table, a DataFrame, arrays) is held
    in memory before any question and not timed."""
    import pandas  # noqa: F401  (to_arrays labels groups with it: imported before the clock)
    if peer.startswith("duckdb"):
        import duckdb
        con = duckdb.connect()
        quoted = str(path).replace("'", "''")
        rows = (f"(SELECT * REPLACE (left(\"time\", 7) AS \"time\") "
                f"FROM read_csv('{quoted}', types={{'time': 'VARCHAR'}}))")
        return DuckRows(con, rows, schema) if peer == "duckdb-file" else \
            DuckCountsTable(con, rows, schema)
    if peer == "polars-file":
        return PolarsRows(load_rows(path), schema)
    frame = load_rows(path).collect()
    if peer == "numpy-memory":
        return NumpyCounts(frame, schema)
    # Held as a user keeping it would: the dimensions' few values as categories, not text.
    import polars as pl
    return PolarsRows(frame.with_columns(pl.col("region", "time").cast(pl.Categorical)).lazy(),
                      schema)


PEER_ISSUES = 5
PEER_SECONDS = 0.6  # a peer's repeats of one question stop after this much time


def run_peer(args):
    """The first issue of each question gives the figures; the time is the median of the issues
    after it (code paths, the file's pages and the peer's plan caches warm), or of the first
    alone when it took longer than PEER_SECONDS."""
    schema = plain_schema(json.loads(args.schema))
    answers = peer_answers(peer_source(args.child, args.file, schema), schema,
                           json.loads(args.regions), args.month)
    times, figures = {}, {}
    for label in json.loads(args.labels):
        start = time.perf_counter()
        answered = answers[label]()
        spent = [time.perf_counter() - start]
        figures[label] = answered()
        began, repeats = time.perf_counter(), []
        while spent[0] < PEER_SECONDS and len(repeats) < PEER_ISSUES \
                and time.perf_counter() - began < PEER_SECONDS:
            start = time.perf_counter()
            answers[label]()
            repeats.append(time.perf_counter() - start)
        times[label] = statistics.median(repeats or spent)
    return {"times": times, "figures": figures}


# ---------------------------------------------------------------- parent

def child_main(args):
    if args.child == "scale":
        result = run_scale(args)
    else:
        result = run_quib(args) if args.child == "quib" else run_peer(args)
    print("RESULT " + json.dumps(result, default=str))


def measure(cmd):
    # The children import the module the parent imported: PYTHONPATH passes on unchanged.
    proc = subprocess.run([sys.executable, __file__, *cmd], capture_output=True, text=True,
                          env=os.environ)
    lines = [l for l in proc.stdout.splitlines() if l.startswith("RESULT ")]
    if proc.returncode != 0 or not lines:
        sys.stderr.write(f"{cmd[:2]} failed (exit {proc.returncode}):\n{proc.stderr[-2000:]}\n")
        return None
    return json.loads(lines[-1][len("RESULT "):])


def printed(text):
    """(value, half a unit of the last printed digit) of a cell such as `0.1234 bits`, `12.5%`,
    `contrib=0.0012`, `2209`."""
    word = text.split()[0].split("=")[-1].strip("[](),")
    scale = 0.01 if word.endswith("%") else 1.0
    word = word.rstrip("%")
    decimals = len(word.split(".")[1]) if "." in word else 0
    return float(word) * scale, 0.5 * 10.0 ** -decimals * scale


def our_figures(label, rows):
    """Our table's numbers under the names the peers give theirs."""
    out = {}
    if label.startswith("COMPARE") and "ACROSS" not in label:
        variable = "product" if "categorical" in label else "price"
        movers = False
        for name, value in rows:
            if name == "--- Top Movers ---":
                movers = True
            elif movers:
                words = value.split()
                rank = sum(1 for key in out if key.endswith(" delta"))
                key = f"{variable} mover {rank} {name}"
                out[f"{key} delta"], out[f"{key} share A"] = printed(words[0]), printed(words[1])
                out[f"{key} share B"], out[f"{key} contrib"] = printed(words[3]), printed(words[4])
            elif name == "Samples":
                out["Samples A"], out["Samples B"] = printed(value), printed(value.split()[-1])
            elif name == "95% CI":
                out["CI low"], out["CI high"] = printed(value), printed(value.split()[-1])
            elif name:
                out[name] = printed(value)
    elif label == "COMPARE ACROSS region":
        for a, b, jsd, hellinger, psi, samples in rows:
            for name, cell in [("JSD", jsd), ("Hellinger", hellinger), ("PSI", psi),
                               ("Samples A", samples), ("Samples B", samples.split()[-1])]:
                out[f"{a}|{b} {name}"] = printed(cell)
    elif label.startswith("EXPLAIN"):
        variable = None
        for name, jsd, fraction, h_a, h_b in rows:
            if name == "TOTAL":
                out["TOTAL"] = printed(jsd)
            elif not name.startswith("  "):
                variable = name
                for column, cell in [("JSD", jsd), ("Fraction", fraction), ("H(A)", h_a),
                                     ("H(B)", h_b)]:
                    out[f"{variable} {column}"] = printed(cell)
            else:
                rank = sum(1 for key in out if key.startswith(f"{variable} mover")) // 2
                key = f"{variable} mover {rank} {name.strip()}"
                out[f"{key} delta"], out[f"{key} contrib"] = printed(jsd), printed(fraction)
    elif label.startswith("PAIRWISE"):
        values = [r[0] for r in rows]
        for r in rows:
            for b, cell in zip(values, r[1:]):
                if b != r[0]:
                    out[f"{r[0]}|{b}"] = printed(cell)
    elif label.startswith("NEAREST"):
        out = {f"{rank} {value}": printed(cell) for rank, (value, cell) in enumerate(rows)}
    elif label.startswith("TRACK"):
        for when, entropy, drift in rows:
            if "→" in when:
                out[f"event {when.replace(' → ', '→')}"] = printed(entropy)
                out["threshold"] = printed(drift.split("threshold ")[1])
            elif when:
                out[f"{when} Entropy"], out[f"{when} Drift"] = printed(entropy), printed(drift)
    elif label.startswith("SHOW"):
        for i, (name, value) in enumerate(r for r in rows[4:]):
            count, share = value.split()[:2]
            out[f"bin {i} count"], out[f"bin {i} prob"] = printed(count), printed(share)
        out["Entropy"], out["Samples"] = printed(rows[0][1]), printed(rows[1][1])
    elif label.startswith("RANK") or label.startswith("EXPORT"):
        table = [(d["region"], d["Entropy"], d["Samples"]) for d in json.loads(rows[0][0])] \
            if label.startswith("EXPORT") else [r[:3] for r in rows]
        for position, (region, entropy, samples) in enumerate(table):
            out[f"{position} {region} Entropy"] = printed(entropy)
            out[f"{position} {region} Samples"] = printed(samples)
    elif label.startswith("MI"):
        out = {name: printed(value) for name, value in rows if name != "Strength"}
    elif label.startswith("CMI"):
        out["CMI"], out["Total samples"] = printed(rows[0][1]), printed(rows[1][1])
        for region, mi, nmi, samples in rows[3:]:
            out[f"{region} MI"], out[f"{region} NMI"] = printed(mi), printed(nmi)
            out[f"{region} Samples"] = printed(samples)
    elif label == "CORRELATIONS":
        for rank, (_, where, mi, nmi, v, samples) in enumerate(rows):
            for name, cell in [("MI", mi), ("NMI", nmi), ("V", v), ("Samples", samples)]:
                out[f"{rank} {where} {name}"] = printed(cell)
    return out


def engine_figures(db_paths, plan):
    import quib_engine
    handles = {name: quib_engine.QuibDB.open(str(p), mode="read_only")
               for name, p in db_paths.items()}
    figures = {label: our_figures(label, handles[db].query(sql).rows) for label, db, sql in plan}
    for handle in handles.values():
        handle.close()
    return figures


def agreement(ours, theirs):
    """(largest |ours - theirs|, figures beyond our printed rounding, figures only one side has)."""
    worst, beyond = 0.0, 0
    for name, (value, half_unit) in ours.items():
        if name in theirs:
            gap = abs(value - theirs[name])
            worst = max(worst, gap)
            beyond += gap > half_unit * (1 + 1e-9) + 1e-12
    return worst, beyond, len(set(ours) ^ set(theirs))


def seconds_text(value):
    if value is None:
        return "-"
    if value < 1e-3:
        return f"{value * 1e6:.0f} µs"
    if value < 1:
        return f"{value * 1e3:.2f} ms"
    return f"{value:.2f} s"


def agreement_text(worst, beyond, unmatched):
    text = f"{worst:.1e}"
    if beyond:
        text += f" ({beyond} off)"
    if unmatched:
        text += f" ({unmatched} unmatched)"
    return text


def print_table(columns, widths, rows):
    def line(cells):
        return "".join(c.ljust(w) if i == 0 else c.rjust(w)
                       for i, (c, w) in enumerate(zip(cells, widths)))
    print(line(columns))
    print("-" * sum(widths))
    for row in rows:
        print(line(row))


# The numpy peer over counts arrays is the one to beat on the statements that compare many
# pairs at once.
TARGETS = ["COMPARE ACROSS region", "PAIRWISE region ON price", "EXPLAIN region VS region"]


def ratio_ranges(figures):
    """Per peer, and for the faster of the two that read the file, the smallest and the largest
    peer / ours cold over the statements, with the statements they belong to."""
    def line(name, ratios):
        if ratios:
            low, high = min(ratios), max(ratios)
            print(f"  {name}: {low[0]:,.1f} ({low[1]}) to {high[0]:,.1f} ({high[1]})")
    print("peer / ours cold, smallest to largest:")
    file_peers = ("duckdb-file", "polars-file")
    fastest_file = []
    for label, (cold, _, theirs) in figures.items():
        times = [theirs[p] for p in file_peers if theirs.get(p)]
        if cold and times:
            fastest_file.append((min(times) / cold, label))
    line("answers from the file (the faster of DuckDB file and polars file)", fastest_file)
    for peer in sorted({p for _, _, theirs in figures.values() for p in theirs}, key=PEERS.index):
        line(SHOWN[peer], [(theirs[peer] / cold, label) for label, (cold, _, theirs)
                           in figures.items() if cold and theirs.get(peer)])


def report(args, plan, quib, peers, agreements, opened, notes):
    load = os.getloadavg()
    print(f"\n{args.rows:,} rows, {len(plan)} statements, median of {args.repeat} runs, "
          f"{os.cpu_count()} cores, load {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f}")
    med = lambda values: statistics.median(values) if values else None  # noqa: E731
    rows, figures = [], {}
    for label, _, _ in plan:
        cold = med([r["cold"] for r in quib.get(label, [])])
        warm = med([r["warm"] for r in quib.get(label, [])])
        theirs = [med([r[label] for r in peers[p]]) for p in peers]
        best = min((t for t in theirs if t is not None), default=None)
        figures[label] = (cold, warm, dict(zip(peers, theirs)))
        rows.append([label, seconds_text(cold), seconds_text(warm), *map(seconds_text, theirs),
                     f"{best / cold:,.1f}" if best and cold else "-"])
    print_table(["statement", "ours cold", "ours warm", *(SHOWN[p] for p in peers),
                 "fastest peer/ours"],
                [32, 11, 11, *[15] * len(peers), 19], rows)
    ratio_ranges(figures)
    firsts = [r["first"] for runs in quib.values() for r in runs]
    if opened:
        print(f"note: opening a handle (read-only, main database) takes {seconds_text(med(opened))}; "
              "cold = the first issue on a fresh handle after it, warm = repeats on that handle; "
              f"the first issue in a new process takes {seconds_text(min(firsts))} to "
              f"{seconds_text(max(firsts))}")
    if agreements:
        print("\nlargest |ours - peer| per statement (off: beyond the rounding of our printed cell; "
              "unmatched: a figure only one side has)")
        print_table(["statement", *(SHOWN[p] for p in agreements)], [34, *[24] * len(agreements)],
                    [[label, *(agreement_text(*agreements[p][label]) if label in agreements[p]
                               else "-" for p in agreements)] for label, _, _ in plan])
    modules = sorted({r["module"] for runs in quib.values() for r in runs})
    if modules:
        print(f"note: the children's module: {', '.join(modules)}")
    for label in TARGETS:
        if label in figures and figures[label][2].get("numpy-memory") and figures[label][0]:
            cold, warm, theirs = figures[label]
            numpy_time = theirs["numpy-memory"]
            verdicts = ", ".join(f"{name} {'met' if ours <= numpy_time else 'missed'}"
                                 for name, ours in [("cold", cold), ("warm", warm)])
            print(f"target: {label}: ours cold {seconds_text(cold)}, warm {seconds_text(warm)}, "
                  f"numpy memory {seconds_text(numpy_time)}: {verdicts}")
    for note in notes:
        print(f"note: {note}")


def statements_section(args, tools, notes):
    """Every statement of the plan, ours against each peer, then how far each peer's figures
    are from ours."""
    sys.path.insert(0, str(BENCH_DIR))
    import generate
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
    peers = {p: [] for p in PEERS if p in tools}
    figures, opened = {}, []
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
    agreements = {peer: {label: agreement(ours[label], got[label]) for label in got}
                  for peer, got in figures.items()}
    report(args, plan, quib, peers, agreements, opened, notes)


# ---------------------------------------------------------------- scale

SCALE_SIZES = (1_000, 100_000, 1_000_000)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_scale(args):
    """One store in a fresh process: open, cold statements on the opened handle (each on an
    engine of its own, so each is cold), a 1-row ingest with its flush, and close."""
    from quib_engine import QuibDB

    def timed(fn):
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start

    out = {}
    base = resident_bytes()
    db = None

    def open_db():
        nonlocal db
        db = QuibDB.open(args.db, "read_write")

    out["open"] = timed(open_db)  # read-write: the same handle later takes the 1-row ingest
    out["resident"] = resident_bytes() - base
    distributions = db.stats().distributions
    statements = {
        "exact": "COMPARE value BETWEEN a:a0/b:b0/c:c0 AND a:a0/b:b0/c:c1",
        "roll-up": "COMPARE value BETWEEN b:b1 AND b:b2",
        "across": "COMPARE value ACROSS b",
    }
    for name, sql in statements.items():
        # Reopening gives a handle with an empty cache; the store stays in the page cache.
        db.close()
        db = QuibDB.open(args.db, "read_write")
        out[name] = timed(lambda: db.query(sql))
        if name == "across":
            out["across warm"] = timed(lambda: db.query(sql))
    values_b = min(200, max(1, distributions // 5))
    out["across compares"] = values_b * (values_b - 1) // 2
    out["after statements"] = resident_bytes() - base
    # ingest_records ends with its own flush, so the close after it has nothing to write.
    out["ingest"] = timed(lambda: db.ingest_records([{"a": "a0", "b": "b0", "c": "c0",
                                                      "value": 50.0}]))
    out["close"] = timed(db.close)
    out["distributions"] = distributions
    return out


def scale_section(args, tools, notes):
    """Stores of 1k, 100k and 1M distributions (bench/stores.py): what open, one exact and one
    roll-up COMPARE, an ACROSS per compare, a 1-row ingest with its flush and close cost as the
    store grows."""
    if "quib" not in tools:
        return
    sys.path.insert(0, str(BENCH_DIR))
    import stores
    rows = []
    for n in args.scale or SCALE_SIZES:
        path = DATA_DIR / f"scale_store_{n}"
        if not (path / "meta.edb").exists():
            print(f"building a store of {n:,} distributions", file=sys.stderr)
            stores.build_store(path, n)
        runs = [measure(["--child", "scale", "--db", str(path)]) for _ in range(args.repeat)]
        runs = [r for r in runs if r]
        if not runs:
            continue
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        rows.append((n, med))
    load = os.getloadavg()
    print(f"\nstores of {', '.join(f'{n:,}' for n, _ in rows)} distributions, median of "
          f"{args.repeat} runs, {os.cpu_count()} cores, load {load[0]:.1f} / {load[1]:.1f} / "
          f"{load[2]:.1f}")
    print("| distributions | open (read-write) | resident after open | exact COMPARE cold | "
          "roll-up COMPARE cold | ACROSS per compare, cold / warm | 1-row ingest_records "
          "(with its flush) | close | bytes per distribution |")
    print("|---|---|---|---|---|---|---|---|---|")
    for n, med in rows:
        per = med["across"] / med["across compares"]
        per_warm = med["across warm"] / med["across compares"]
        print(f"| {n:,} | {seconds_text(med['open'])} | {med['resident'] / 1e6:,.0f} MB | "
              f"{seconds_text(med['exact'])} | {seconds_text(med['roll-up'])} | "
              f"{seconds_text(per)} / {seconds_text(per_warm)} | {seconds_text(med['ingest'])} | "
              f"{seconds_text(med['close'])} | {med['resident'] / med['distributions']:,.0f} |")
    if len(rows) > 1:
        first, last = rows[0][1], rows[-1][1]
        ratio = (last["across"] / last["across compares"]) / (first["across"] / first["across compares"])
        print(f"ACROSS per compare at {rows[-1][0]:,} distributions: {ratio:.2f}x its cost at "
              f"{rows[0][0]:,}")


# A section times one family of questions; each takes (args, tools, notes) and prints its table.
SECTIONS = {"statements": statements_section, "scale": scale_section}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5, help="runs per tool; the median is shown")
    parser.add_argument("--tools", default=",".join(["quib", *PEERS]),
                        help="comma-separated subset of quib," + ",".join(PEERS)
                        + "; a prefix (duckdb, polars, numpy) names each peer it starts")
    parser.add_argument("--section", action="append", choices=list(SECTIONS),
                        help="the sections to run (repeatable; default: all)")
    parser.add_argument("--only", help="time only the statements whose label contains this text")
    parser.add_argument("--scale", type=int, action="append",
                        help="store sizes of the scale section (repeatable; default: "
                        + ", ".join(f"{n:,}" for n in SCALE_SIZES) + ")")
    parser.add_argument("--child", choices=["quib", "scale", *PEERS], help=argparse.SUPPRESS)
    for hidden in ["--db", "--statement", "--file", "--schema", "--regions", "--month", "--labels"]:
        parser.add_argument(hidden, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child_main(args)

    asked = [t for t in args.tools.split(",") if t]
    tools = [t for t in ["quib", *PEERS] if any(t == a or t.startswith(a + "-") for a in asked)]
    notes = []
    if importlib.util.find_spec("quib_engine") is None:
        sys.exit("quib_engine is not importable: run `make install` or set PYTHONPATH=build")
    # Every peer reads the file through polars or DuckDB, and labels its groups with pandas.
    needs = {"duckdb-file": ["duckdb"], "duckdb-memory": ["duckdb"], "polars-file": ["polars"],
             "polars-memory": ["polars"], "numpy-memory": ["polars"]}
    for peer in PEERS:
        missing = [m for m in [*needs[peer], "pandas"] if importlib.util.find_spec(m) is None]
        if peer in tools and missing:
            notes.append(f"{peer}: {', '.join(missing)} not installed "
                         "(pip install -r bench/requirements.txt)")
            tools.remove(peer)
    for section in args.section or list(SECTIONS):
        SECTIONS[section](args, tools, notes)


if __name__ == "__main__":
    main()

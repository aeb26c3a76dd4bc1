"""The query language end to end, every table checked against a computation made here.

The databases are ingested from a generated sales file; the expected figures come from the rows
themselves (counted here, in plain Python), not from the engine's own helpers.
"""

import json
import math
import random

import pytest

from quib_engine import QuibDB, QuibError

from conftest import write_csv

REGIONS = ["north", "south", "east", "west", "central", "coast"]
CHANNELS = ["web", "store", "phone"]
TIERS = ["gold", "silver", "bronze"]
MONTHS = ["2024-01", "2024-02", "2024-03", "2024-04", "2024-05", "2024-06"]


def generate_rows(n=3000, seed=7):
    """(time, region, channel, tier, price) rows whose shapes differ by region and month."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        r = rng.randrange(len(REGIONS))
        m = rng.randrange(len(MONTHS))
        channel = rng.choices(CHANNELS, weights=[3 + r, 2 + m % 3, 1 + (r * m) % 4])[0]
        # The tier leans on the channel, so the joint pair carries information.
        bias = CHANNELS.index(channel)
        tier = rng.choices(TIERS, weights=[1 + 2 * (bias == 0), 1 + 2 * (bias == 1), 1])[0]
        price = round(rng.lognormvariate(3.0 + 0.1 * r, 0.4 + 0.05 * m), 2)
        day = 1 + rng.randrange(28)
        rows.append((f"{MONTHS[m]}-{day:02d}", REGIONS[r], channel, tier, f"{price}"))
    return rows


def build(tmp_path, name, rows, header):
    """A database whose meta file, in JSON form, holds no definitions yet, only a joint pair."""
    path = str(tmp_path / name)
    QuibDB.create(path).close()
    (tmp_path / name / "meta.edb").write_text(json.dumps({
        "schema": {"variables": [], "dimensions": [], "joints": [["tier", "channel"]]},
        "next_distribution_id": 1, "next_joint_id": 1, "next_raw_record_id": 1,
        "format_version": 3, "raw_log_enabled": True, "high_water_mark": 0,
    }))
    with QuibDB.open(path) as db:
        db.ingest(write_csv(tmp_path / f"{name}.csv", header, rows), max_categories=4,
                  date_columns=["time"], date_granularity="monthly")
    return path


class Model:
    """Counts per (variable, region, month) tallied from the rows, with the schema's bins."""

    def __init__(self, rows, schema):
        self.categories, self.grid, self.counts, self.joint = {}, {}, {}, {}
        for var in schema["variables"]:
            kind, spec = next(iter(var["var_type"].items()))
            if kind == "Categorical":
                self.categories[var["name"]] = spec["categories"]
            else:
                self.grid[var["name"]] = (*spec["range"], spec["bins"])
        lo, hi, bins = self.grid["price"]
        for time, region, channel, tier, price in rows:
            key = (region, time[:7])
            c, t = self.categories["channel"].index(channel), self.categories["tier"].index(tier)
            index = min(max(math.floor((float(price) - lo) / ((hi - lo) / bins)), 0), bins - 1)
            for variable, i in (("channel", c), ("tier", t), ("price", index)):
                size = bins if variable == "price" else len(self.categories[variable])
                self.counts.setdefault((variable, key), [0] * size)[i] += 1
            table = self.joint.setdefault(key, {})
            table[(c, t)] = table.get((c, t), 0) + 1

    def slice(self, variable, region=None, month=None):
        """Position-wise sum of every distribution whose key holds the given pairs."""
        out = None
        for (var, (r, m)), vec in self.counts.items():
            if var == variable and region in (None, r) and month in (None, m):
                out = list(vec) if out is None else [a + b for a, b in zip(out, vec)]
        return out

    def aligned(self, variable, a, b):
        """Counts of both sides on the common support: names in byte order, or the same bins."""
        if variable not in self.categories:
            return a, b
        names = self.categories[variable]
        order = sorted(range(len(names)), key=lambda i: names[i].encode())
        return [a[i] for i in order], [b[i] for i in order]


# ---------------------------------------------------------------- measures, as written down

def entropy(counts, total=None):
    total = sum(counts) if total is None else total
    return -sum((c / total) * math.log2(c / total) for c in counts if c) if total else 0.0


def jsd(p, q):
    np_, nq = sum(p), sum(q)
    P = [x / np_ if np_ else 0.0 for x in p]
    Q = [x / nq if nq else 0.0 for x in q]
    M = [(x + y) / 2 for x, y in zip(P, Q)]
    a = sum(x * math.log2(x / m) for x, m in zip(P, M) if x > 0 and m > 0)
    b = sum(y * math.log2(y / m) for y, m in zip(Q, M) if y > 0 and m > 0)
    return min(max(0.5 * a + 0.5 * b, 0.0), 1.0)


def kl(p, q):
    np_, nq = sum(p), sum(q)
    if not np_ or not nq:
        return 0.0
    denominator = len(p) * 1e-10 + nq
    return sum((x / np_) * math.log2((x / np_) / ((y + 1e-10) / denominator))
               for x, y in zip(p, q) if x)


def hellinger(p, q):
    s = sum((math.sqrt(x / sum(p)) - math.sqrt(y / sum(q))) ** 2 for x, y in zip(p, q))
    return math.sqrt(0.5 * s)


def wasserstein(p, q, lo, hi):
    ca = cb = total = 0.0
    for x, y in zip(p, q):
        ca += x / sum(p)
        cb += y / sum(q)
        total += (hi - lo) / len(p) * abs(ca - cb)
    return total


def table_measures(table):
    """(MI, NMI, Cramér's V, total) of a contingency table."""
    total = sum(map(sum, table))
    rows, cols = [sum(r) for r in table], [sum(c) for c in zip(*table)]
    mi = sum((n / total) * math.log2((n / total) / ((rows[i] / total) * (cols[j] / total)))
             for i, r in enumerate(table) for j, n in enumerate(r) if n)
    d = min(entropy(rows), entropy(cols))
    chi2 = sum((n - rows[i] * cols[j] / total) ** 2 / (rows[i] * cols[j] / total)
               for i, r in enumerate(table) for j, n in enumerate(r) if rows[i] * cols[j])
    k = min(len(table) - 1, len(table[0]) - 1)
    return (mi, 0.0 if d <= 0 else min(max(mi / d, 0.0), 1.0),
            min(math.sqrt(chi2 / (total * k)), 1.0), total)


def close(cell, expected, digits, suffix=""):
    """The cell is `expected` written with `digits` decimals and `suffix` (one unit of slack for
    ties)."""
    assert cell.endswith(suffix), (cell, suffix)
    assert abs(float(cell.removesuffix(suffix)) - expected) <= 10.0 ** -digits, (cell, expected)


# ---------------------------------------------------------------- fixtures

@pytest.fixture(scope="module")
def sales(tmp_path_factory):
    rows = generate_rows()
    path = build(tmp_path_factory.mktemp("query"), "sales", rows,
                 ["time", "region", "channel", "tier", "price"])
    with QuibDB.open(path, "ro") as db:
        return path, Model(rows, db.schema())


@pytest.fixture(scope="module")
def by_region(tmp_path_factory, sales):
    """The same rows without the time column: every key is one region, so MI and CMI apply. The
    tables are the months' joints summed (the measures ignore the order of the categories)."""
    flat = [(region, channel, tier, price) for _, region, channel, tier, price in generate_rows()]
    path = build(tmp_path_factory.mktemp("query_region"), "regions", flat,
                 ["region", "channel", "tier", "price"])
    tables = {}
    for (region, _), cells in sales[1].joint.items():
        table = tables.setdefault(region, [[0] * 3 for _ in range(3)])
        for (i, j), n in cells.items():
            table[i][j] += n
    return path, tables


def query(path, text):
    with QuibDB.open(path, "ro") as db:
        return db.query(text)


# ---------------------------------------------------------------- comparison statements

def check_compare_cells(rows, a, b, histogram=None):
    cells = dict((r[0], r[1]) for r in rows if r[0])
    for label, expected in [("JSD", jsd(a, b)), ("KL(A→B)", kl(a, b)), ("KL(B→A)", kl(b, a)),
                            ("PSI", kl(a, b) + kl(b, a)), ("Hellinger", hellinger(a, b))]:
        close(cells[label], expected, 6)
    close(cells["Entropy(A)"], entropy(a), 4, " bits")
    close(cells["Entropy(B)"], entropy(b), 4, " bits")
    assert cells["Samples"] == f"{sum(a)} vs {sum(b)}"
    n_eff = sum(a) * sum(b) / (sum(a) + sum(b))
    d = jsd(a, b)
    margin = 1.96 * math.sqrt(max(d, 1e-12) * max(1 - d, 1e-12) / n_eff)
    low, high = cells["95% CI"].strip("[]").split(", ")
    close(low, max(d - margin, 0.0), 4)
    close(high, min(d + margin, 1.0), 4)
    if histogram:
        close(cells["Wasserstein"], wasserstein(a, b, *histogram), 6)
    else:
        assert "Wasserstein" not in cells


def test_compare_between_rolls_up_every_month(sales):
    path, model = sales
    result = query(path, "COMPARE channel BETWEEN region:north AND region:south")
    assert result.header == ["Metric", "Value"]
    assert [r[0] for r in result.rows[:9]] == ["JSD", "PSI", "Hellinger", "KL(A→B)", "KL(B→A)",
                                               "Entropy(A)", "Entropy(B)", "Samples", "95% CI"]
    a, b = model.aligned("channel", model.slice("channel", "north"),
                         model.slice("channel", "south"))
    check_compare_cells(result.rows, a, b)
    # Movers: a blank row, the title, then every category by |delta|, largest first.
    assert result.rows[9:11] == [["", ""], ["--- Top Movers ---", ""]]
    names = sorted(model.categories["channel"], key=str.encode)
    shares = {n: (x / sum(a), y / sum(b)) for n, x, y in zip(names, a, b)}
    movers = result.rows[11:]
    assert [r[0] for r in movers] == sorted(names, key=lambda n: -abs(shares[n][1] - shares[n][0]))
    for name, cell in movers:
        pa, pb = shares[name]
        delta, rest = cell.split("  (")
        close(delta, pb - pa, 4)
        assert delta[0] in "+-" and rest.startswith(f"{pa:.3f} → {pb:.3f})  contrib=")


def test_compare_between_histograms_with_where(sales):
    path, model = sales
    result = query(path, "COMPARE price BETWEEN region:north AND region:east WHERE time:2024-03")
    a = model.counts[("price", ("north", "2024-03"))]
    b = model.counts[("price", ("east", "2024-03"))]
    check_compare_cells(result.rows, a, b, histogram=model.grid["price"][:2])
    assert result.rows[-1][0] == "Wasserstein"


def test_compare_across_sorts_pairs_by_jsd(sales):
    path, model = sales
    result = query(path, "COMPARE tier ACROSS region")
    assert result.header == ["Value A", "Value B", "JSD", "Hellinger", "PSI", "Samples"]
    values = sorted(REGIONS, key=str.encode)
    expected = []
    for i, x in enumerate(values):
        for y in values[i + 1:]:
            a, b = model.slice("tier", x), model.slice("tier", y)
            expected.append((x, y, jsd(a, b), hellinger(a, b), f"{sum(a)} vs {sum(b)}"))
    expected.sort(key=lambda e: -float(f"{e[2]:.6f}"))
    assert len(result.rows) == 15
    for row, (x, y, d, h, samples) in zip(result.rows, expected):
        assert row[:2] == [x, y] and row[5] == samples
        close(row[2], d, 6)
        close(row[3], h, 6)


def test_explain_ranks_variables_by_jsd(sales):
    path, model = sales
    result = query(path, "EXPLAIN region:west VS region:coast")
    assert result.header == ["Variable", "JSD", "Fraction", "H(A)", "H(B)"]
    parts = {}
    for var in ["channel", "price", "tier"]:
        a, b = model.aligned(var, model.slice(var, "west"), model.slice(var, "coast"))
        parts[var] = (jsd(a, b), entropy(a), entropy(b))
    total = sum(p[0] for p in parts.values())
    assert result.rows[0][0] == "TOTAL" and result.rows[0][2:] == ["100.0%", "", ""]
    close(result.rows[0][1], total, 6)
    main_rows = [r for r in result.rows[1:] if not r[0].startswith("  ")]
    assert [r[0] for r in main_rows] == sorted(parts, key=lambda v: -parts[v][0])
    for row in main_rows:
        d, ha, hb = parts[row[0]]
        close(row[1], d, 6)
        close(row[2], 100.0 * d / total, 1, "%")
        close(row[3], ha, 4)
        close(row[4], hb, 4)
    # Three categories give three sub-rows under each categorical variable, none under price.
    position = {r[0]: i for i, r in enumerate(result.rows)}
    assert all(result.rows[position["tier"] + k][0].startswith("  ") for k in (1, 2, 3))
    assert len(result.rows) == 1 + 3 + 3 + 3


def test_track_lists_months_and_drift(sales):
    path, model = sales
    result = query(path, "TRACK channel FROM region:north GRANULARITY monthly")
    assert result.header == ["Time", "Entropy", "Drift (JSD)"]
    vecs = [model.counts[("channel", ("north", month))] for month in MONTHS]
    drifts = [jsd(p, q) for p, q in zip(vecs, vecs[1:])]
    for row, month, vec, drift in zip(result.rows, MONTHS, vecs, drifts + [0.0]):
        assert row[0] == month
        close(row[1], entropy(vec), 4)
        value, _, mark = row[2].partition(" ")
        close(value, drift, 4)
        assert (mark == "← shift") == (drift > 0.05)
    s = sorted(drifts)
    q1, q3 = s[len(s) // 4], s[3 * len(s) // 4]
    threshold = s[len(s) // 2] * 3 if q3 - q1 < 1e-12 else q3 + 1.5 * (q3 - q1)
    events = [(MONTHS[i], MONTHS[i + 1]) for i, d in enumerate(drifts)
              if d > threshold and threshold > 0]
    assert events  # the rows are made to drift
    assert result.rows[len(MONTHS):] == [["", "", ""]] + [
        [f"{a} → {b}", row[1], f"drift exceeded threshold {threshold:.4f} (IQR-based)"]
        for (a, b), row in zip(events, result.rows[len(MONTHS) + 1:])]


def test_pairwise_matrix_and_nearest(sales):
    path, model = sales
    result = query(path, "PAIRWISE region ON price USING Wasserstein")
    values = sorted(REGIONS, key=str.encode)
    assert result.header == ["", *values]
    for i, row in enumerate(result.rows):
        assert row[0] == values[i] and row[1 + i] == "—"
        for j, cell in enumerate(row[1:]):
            if i != j:
                a, b = model.slice("price", values[i]), model.slice("price", values[j])
                close(cell, wasserstein(a, b, *model.grid["price"][:2]), 4)

    nearest = query(path, "NEAREST region:north ON region LIMIT 2 USING hellinger")
    assert nearest.header == ["region", "HELLINGER"]
    target = model.slice("channel", "north")  # the schema's first variable
    distances = sorted((hellinger(target, model.slice("channel", v)), v)
                       for v in values if v != "north")
    assert [r[0] for r in nearest.rows] == [v for _, v in distances[:2]]
    for row, (d, _) in zip(nearest.rows, distances):
        close(row[1], d, 6)


def test_values_holding_slash_or_colon_are_compared(tmp_path):
    statuses = ["n/a", "ok", "fail", "w/o", "a:b"]
    counts = {s: [i + 1, 2 * i + 1, 5 - i] for i, s in enumerate(statuses)}
    rows = [(s, v) for s in statuses for v, k in zip("xyz", counts[s]) for _ in range(k)]
    with QuibDB.create(str(tmp_path / "status")) as db:
        db.ingest(write_csv(tmp_path / "status.csv", ["status", "v"], rows), max_categories=3)
        across = db.query("COMPARE v ACROSS status").rows
        assert len(across) == 10
        for row in across:
            close(row[2], jsd(counts[row[0]], counts[row[1]]), 6)
        nearest = db.query("NEAREST status:ok ON status LIMIT 9").rows
        assert sorted(r[0] for r in nearest) == sorted(s for s in statuses if s != "ok")
        for row in nearest:
            close(row[1], jsd(counts["ok"], counts[row[0]]), 6)


# ---------------------------------------------------------------- distribution and listing statements

def test_show_categorical_and_histogram(sales):
    path, model = sales
    result = query(path, "SHOW channel AT region:north WHERE time:2024-01")
    vec = model.counts[("channel", ("north", "2024-01"))]
    total = sum(vec)
    assert result.header == ["Category/Bin", "Count / Prob"]
    close(result.rows[0][1], entropy(vec), 4, " bits")
    assert result.rows[1] == ["Samples", str(total)]
    assert result.rows[2][0] == "Version" and result.rows[3] == ["", ""]
    for name, count, row in zip(model.categories["channel"], vec, result.rows[4:]):
        p = count / total
        assert row == [name, f"{count:6d}  {p:.4f}  {'#' * int(p * 40.0)}"]

    top = query(path, "SHOW price AT region:north WHERE time:2024-01 TOP 3")
    vec = model.counts[("price", ("north", "2024-01"))]
    lo, hi, bins = model.grid["price"]
    width = (hi - lo) / bins
    order = sorted(range(bins), key=lambda i: -vec[i])[:3]
    assert len(top.rows) == 4 + 3
    for i, row in zip(order, top.rows[4:]):
        start = width * i + lo
        assert row[0] == f"[{start:.2f}, {width + start:.2f})"
        assert row[1].startswith(f"{vec[i]:6d}  {vec[i] / sum(vec):.4f}")


def test_rank_orders_values_by_entropy(sales):
    path, model = sales
    result = query(path, "RANK tier BY ENTROPY OVER region WHERE time:2024-02")
    assert result.header == ["region", "Entropy", "Samples", ""]
    vecs = {region: model.counts[("tier", (region, "2024-02"))] for region in REGIONS}
    assert [r[0] for r in result.rows] == sorted(REGIONS, key=lambda r: -entropy(vecs[r]))
    for row in result.rows:
        h = entropy(vecs[row[0]])
        close(row[1], h, 4, " bits")
        assert row[2:] == [str(sum(vecs[row[0]])), "#" * int(h * 8.0)]


def test_listings(sales):
    path, model = sales
    stats = query(path, "STATS")
    assert stats.rows == [["Distributions", str(len(model.counts))],
                          ["Total samples", str(3 * 3000)],
                          ["Variables", "3"], ["Dimensions", "2"]]
    schema = query(path, "SCHEMA")
    assert schema.header == ["Type", "Name", "Details"]
    assert schema.rows[0] == ["variable", "channel", "categorical  cats=3  unknown=true"]
    assert schema.rows[1][:2] == ["variable", "price"]
    assert schema.rows[1][2].startswith("continuous  bins=20  range=[")
    assert schema.rows[3:] == [["dimension", "region", "source=region  granularity=none"],
                               ["dimension", "time", "source=time  granularity=monthly"],
                               ["joint", "tier × channel", ""]]
    dims = query(path, "DIMENSIONS")
    assert dims.header == ["Dimension", "Cardinality"]
    assert dims.rows == [["region", "6 values"], ["time", "6 values"]]
    assert query(path, "DIMENSIONS time").rows == [[m] for m in MONTHS]
    nowhere = query(path, "DIMENSIONS nowhere")
    assert nowhere.header == ["nowhere"] and nowhere.rows == []


def test_correlations_over_every_stored_joint(sales):
    path, model = sales
    result = query(path, "CORRELATIONS LIMIT 5")
    assert result.header == ["Pair", "Dim", "MI", "NMI", "Cramér's V", "Samples"]
    expected = sorted(((*table_measures([[cells.get((i, j), 0) for j in range(3)]
                                         for i in range(3)]), f"region:{region}/time:{month}")
                       for (region, month), cells in model.joint.items()), key=lambda e: -e[0])
    assert len(result.rows) == 5
    for row, (mi, n, v, total, slice_) in zip(result.rows, expected):
        assert row[:2] == ["tier × channel", slice_] and row[5] == str(total)
        close(row[2], mi, 4)
        close(row[3], 100.0 * n, 1, "%")
        close(row[4], v, 4)


def test_mi_and_cmi_on_single_dimension_keys(by_region):
    path, tables = by_region
    result = query(path, "MI tier, channel AT region:west")
    mi, n, v, total = table_measures(tables["west"])
    assert result.header == ["Metric", "Value"]
    assert [r[0] for r in result.rows] == ["MI", "NMI", "Cramér's V", "Samples", "Strength"]
    close(result.rows[0][1], mi, 4, " bits")
    close(result.rows[1][1], n, 4)
    close(result.rows[2][1], v, 4)
    assert result.rows[3][1] == str(total)
    assert result.rows[4][1] == ("strong" if mi > 0.3 else "moderate" if mi > 0.1 else "weak")

    cmi = query(path, "CMI channel tier GIVEN region")
    assert cmi.header == ["region", "MI", "NMI", "Samples"]
    measures = {region: table_measures(t) for region, t in tables.items()}
    grand = sum(m[3] for m in measures.values())
    close(cmi.rows[0][1], sum(m[3] / grand * m[0] for m in measures.values()), 4, " bits")
    assert cmi.rows[1:3] == [["Total samples", str(grand), "", ""], [""] * 4]
    assert [r[0] for r in cmi.rows[3:]] == sorted(tables, key=str.encode)
    for region, mi_cell, nmi_cell, samples in cmi.rows[3:]:
        close(mi_cell, measures[region][0], 4)
        close(nmi_cell, 100.0 * measures[region][1], 1, "%")
        assert samples == str(measures[region][3])

    by_dim = query(path, "CORRELATIONS OVER region")
    assert [r[1] for r in by_dim.rows] == sorted(tables, key=lambda r: -measures[r][0])


def test_export_wraps_the_inner_table(sales):
    path, _ = sales
    csv_text = query(path, "EXPORT STATS AS CSV")
    assert csv_text.header == ["Output"] and len(csv_text.rows) == 1
    assert csv_text.rows[0][0].splitlines()[0] == "Stat,Value"
    inner = query(path, "COMPARE channel BETWEEN region:north AND region:south")
    as_json = json.loads(query(path, "EXPORT COMPARE channel BETWEEN region:north AND "
                                     "region:south AS JSON").rows[0][0])
    assert as_json == json.loads(inner.to_json())
    assert as_json[0] == {"Metric": "JSD", "Value": inner.rows[0][1]}
    assert inner.to_csv().splitlines()[0] == "Metric,Value"


# ---------------------------------------------------------------- failures, one per statement kind

@pytest.mark.parametrize("text, message", [
    ("", "parse error: empty query"),
    ("COMPARE channel", "parse error: expected BETWEEN or ACROSS after variable, got Eof"),
    ("COMPARE nope BETWEEN region:north AND region:south",
     "distribution not found for variable 'nope' and dimensions {\"region\": \"north\"}"),
    ("COMPARE channel ACROSS nowhere",
     "dimension 'nowhere' has fewer than 2 values for pairwise comparison"),
    ("COMPARE channel BETWEEN region:north AND region:south/x",
     "invalid reference segment 'x'"),
    ("EXPLAIN region:north VS region:atlantis",
     "distribution not found for variable 'channel' and dimensions {\"region\": \"atlantis\"}"),
    ("TRACK channel FROM region:a/b", "invalid reference segment 'b'"),
    ("SHOW channel AT region:north", "distribution not found"),
    ("MI channel, price AT region:north",
     "no joint distribution defined for 'channel' and 'price'; call define_joint() first"),
    ("MI tier, channel AT region:north",
     "joint distribution not found for 'tier' and 'channel' at {\"region\": \"north\"}"),
    ("CMI tier, channel GIVEN nowhere", "no values found for dimension 'nowhere'"),
    ("CMI tier, channel GIVEN region",
     "no joint distributions found across dimension 'region'"),
    ("PAIRWISE region ON nope",
     "distribution not found for variable 'nope' and dimensions {\"region\": \"central\"}"),
    ("NEAREST region:a/b ON region", "invalid reference segment 'b'"),
    ("COMPARE price BETWEEN region:north AND region:coast WHRE time:2024-03",
     "parse error: expected end of statement, got Ident(\"WHRE\")"),
    ("NEAREST region:north ON region LIMT 1", "parse error: expected end of statement, got "
                                              "Ident(\"LIMT\")"),
    ("EXPORT SHOW channel AT region:north AS CSV", "distribution not found"),
])
def test_statement_failures(sales, text, message):
    with pytest.raises(QuibError) as info:
        query(sales[0], text)
    assert str(info.value) == message


def test_failures_without_joints_and_quiet_statements(tmp_path, sales):
    # TRACK of a variable without distributions is an empty table, not an error.
    assert query(sales[0], "TRACK nope FROM region:north").rows == []
    csv_path = write_csv(tmp_path / "plain.csv", ["region", "v"],
                         [("a", "x"), ("b", "y"), ("c", "x"), ("d", "z"), ("e", "x")])
    with QuibDB.create(str(tmp_path / "plain")) as db:
        db.ingest(csv_path, max_categories=3)
        with pytest.raises(QuibError) as info:
            db.query("CORRELATIONS")
        assert str(info.value) == "no joint distributions defined; call define_joint() first"
        assert db.query("RANK v BY ENTROPY OVER nowhere").rows == []

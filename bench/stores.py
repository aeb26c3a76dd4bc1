"""Generated stores of a chosen number of distributions, for timing how query cost grows with the
store.

`build_store(path, n)` creates a database of `n` distributions of one continuous variable
(`value`, 20 bins over [0, 100)) under three dimensions: `a` (up to 1000 values), `b` (200) and
`c` (5). Distribution i has the key a:a{i // 1000}, b:b{(i // 5) % 200}, c:c{i % 5}, so every
store of 1000 or more distributions holds all of `b` and `c`, and a larger store only adds
values of `a`: `b:b1` is a roll-up of n / 200 members, `a:a0` one of min(n, 1000). Each
distribution counts a few values drawn from a seeded generator, so stores are reproducible.

Run alone: `PYTHONPATH=build python3 bench/stores.py <path> <n>`.
"""

import json
import random
import shutil
import sys
from pathlib import Path

VARIABLE = "value"
BINS = 20
RANGE = (0.0, 100.0)
DIMENSIONS = (("a", 1000), ("b", 200), ("c", 5))
CHUNK = 100_000  # records per ingest_records call, to bound the memory of the record lists


def key_of(i):
    """The dimension key of distribution i (see the module's text)."""
    return {"a": f"a{i // 1000}", "b": f"b{(i // 5) % 200}", "c": f"c{i % 5}"}


def _schema():
    return {"variables": [{"name": VARIABLE,
                           "var_type": {"Continuous": {"bins": BINS, "range": list(RANGE)}}}],
            "dimensions": [{"name": name, "source_column": name, "granularity": None}
                           for name, _ in DIMENSIONS],
            "joints": []}


def build_store(path, n, samples=3, seed=7):
    """Creates (or replaces) the database at `path` with `n` distributions of `samples` counts
    each; returns its `stats()`."""
    import quib_engine
    limit = 1
    for _, size in DIMENSIONS:
        limit *= size
    if not 0 < n <= limit:
        raise ValueError(f"n must be in 1..{limit}")
    shutil.rmtree(path, ignore_errors=True)
    quib_engine.QuibDB.create(str(path)).close()
    meta = {"schema": _schema(), "next_distribution_id": 1, "next_joint_id": 1,
            "next_raw_record_id": 1, "format_version": 3, "raw_log_enabled": False,
            "high_water_mark": 0}
    Path(path, "meta.edb").write_text(json.dumps(meta))
    draw = random.Random(seed)
    with quib_engine.QuibDB.open(str(path)) as db:
        for start in range(0, n, CHUNK):
            records = []
            for i in range(start, min(n, start + CHUNK)):
                key = key_of(i)
                for _ in range(samples):
                    records.append({**key, VARIABLE: draw.uniform(*RANGE)})
            db.ingest_records(records)
        return db.stats()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: stores.py <path> <n>")
    print(build_store(sys.argv[1], int(sys.argv[2])))

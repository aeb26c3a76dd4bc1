"""A stored schema: decide every column's role before the first ingest, then ask MI, CMI and
CORRELATIONS.

    python examples/stored_schema.py [database directory]

Inference looks at the first 1000 rows only and guesses from texts: a numeric column with
empty cells becomes categorical or a dimension, and a continuous range is fixed by the first
rows. Here the schema is written by hand instead, as the JSON form of `meta.edb`, into an empty
directory; `QuibDB.create` then keeps it (an existing meta file is opened unchanged) and adds
the other files. Ingest then defines only what inference proposes for columns the stored schema
does not name: a column it reads as a variable or a dimension keeps that one role.

The generated file has one dimension, `time` (bucketed by month), so that every joint is stored
under a one-pair key, which MI at a key and CMI over a dimension read.
"""

import csv
import json
import pathlib
import random
import shutil
import sys
import tempfile

from quib_engine import QuibDB

CHANNELS = ["web", "store", "phone"]
MONTHS = ["2024-01", "2024-02", "2024-03", "2024-04", "2024-05", "2024-06"]

SCHEMA = {
    "variables": [
        # Categories listed up front; any other value counts as unknown.
        {"name": "channel", "var_type": {"Categorical": {
            "categories": CHANNELS, "allow_unknown": True}}},
        # Bins and range chosen for the whole file, not for its first rows.
        {"name": "basket", "var_type": {"Continuous": {"bins": 10, "range": [0.0, 200.0]}}},
        # Empty cells would make inference call this text; as a continuous variable an empty
        # cell is simply not counted.
        {"name": "delay", "var_type": {"Continuous": {"bins": 12, "range": [0.0, 120.0]}}},
    ],
    # A date dimension: "daily", "weekly", "monthly" or "yearly".
    "dimensions": [{"name": "time", "source_column": "time", "granularity": "monthly"}],
    # The pairs whose joint counts are kept: category x category, category x number and
    # number x number.
    "joints": [["channel", "basket"], ["channel", "delay"], ["basket", "delay"]],
}


def write_schema(db_dir: pathlib.Path, raw_log: bool) -> None:
    """The meta record in its JSON form, before the database exists."""
    db_dir.mkdir(parents=True)
    meta = {
        "schema": SCHEMA,
        "next_distribution_id": 1, "next_joint_id": 1, "next_raw_record_id": 1,
        "format_version": 3, "raw_log_enabled": raw_log, "high_water_mark": 0,
    }
    (db_dir / "meta.edb").write_text(json.dumps(meta, indent=2))


def write_orders(path: pathlib.Path, rows: int = 3000) -> None:
    """Orders whose basket and delay depend on the channel; one delay in nine is missing."""
    rng = random.Random(7)
    with path.open("w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", "channel", "basket", "delay"])
        for i in range(rows):
            day = f"{MONTHS[i * len(MONTHS) // rows]}-{1 + i % 28:02d}"
            channel = rng.choice(CHANNELS)
            mean_basket = {"web": 120.0, "store": 60.0, "phone": 90.0}[channel]
            basket = min(max(rng.gauss(mean_basket, 25.0), 1.0), 199.0)
            delay = "" if i % 9 == 0 else str(int(rng.expovariate(
                1 / {"web": 45.0, "store": 5.0, "phone": 20.0}[channel])))
            writer.writerow([day, channel, f"{basket:.2f}", delay])


def show(db, statement: str) -> None:
    print(f"\n>>> {statement}")
    print(db.query(statement), end="")


def main(db_dir: str) -> None:
    root = pathlib.Path(db_dir)
    if root.exists():
        shutil.rmtree(root)  # the stored schema only counts before the first ingest
    write_schema(root, raw_log=False)
    with tempfile.TemporaryDirectory() as tmp:
        orders = pathlib.Path(tmp, "orders.csv")
        write_orders(orders)
        with QuibDB.create(db_dir) as db:
            # Inference alone would make `delay` (empty cells, many values) a dimension; the
            # stored variable keeps the column a variable.
            print("ingest:", db.ingest(str(orders)))
            print("stats: ", db.stats())
            show(db, "SCHEMA")
            # Mutual information of one stored joint at exactly one key.
            show(db, "MI channel, basket AT time:2024-03")
            # Per month, and weighted by each month's samples.
            show(db, "CMI channel, delay GIVEN time")
            # Every stored joint of every schema pair, strongest first.
            show(db, "CORRELATIONS LIMIT 6")
    raw_files = sorted(p.name for p in root.joinpath("raw").glob("*"))
    print(f"\nraw log files: {raw_files or 'none'}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "schema_db")

"""Quickstart: build a database of distributions from the sample sales file and look inside.

    python examples/quickstart.py [database directory]

The directory is created (or reused); the sample file is ingested with `date` bucketed by month,
so every (region, month) pair gets its own distribution of price, units and category.
"""

import json
import pathlib
import sys

from quib_engine import QuibDB

HERE = pathlib.Path(__file__).resolve().parent


def main(db_dir: str) -> None:
    with QuibDB.create(db_dir) as db:
        report = db.ingest(
            str(HERE / "sales.csv"),
            max_categories=5,  # region (6 values) becomes a dimension, category a variable
            date_columns=["date"],
            date_granularity="monthly",
        )
        print("ingest:", report, f"({report.total_rows} rows read)")

        # Python records go through the same mapping; rows without a dimension are dropped.
        extra = db.ingest_records(
            [
                {"date": "2025-01-03", "region": "north", "category": "grocery",
                 "price": 11.9, "units": 2},
                {"date": "2025-01-03", "region": "coast", "category": "apparel",
                 "price": 61.0, "units": 1},
                {"category": "toys", "price": 5.0},  # no date or region: dropped
            ]
        )
        print("records:", extra, f"({extra.total_rows} records given)")

        print("stats:", db.stats())
        schema = db.schema()
        print("schema:")
        for variable in schema["variables"]:
            print("  variable ", json.dumps(variable))
        for dimension in schema["dimensions"]:
            print("  dimension", json.dumps(dimension))

    # The files are up to date after the with block; a read-only handle sees the same counts.
    with QuibDB.open(db_dir, mode="read_only") as reader:
        print("reopened read-only:", reader.stats())


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo_db")

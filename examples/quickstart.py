"""Quickstart: build a database of distributions from the sample sales file and ask it questions.

    python examples/quickstart.py [database directory]

Run it from anywhere; the sample file is found next to this script. The directory is created with
the joint pair (category, price) in its schema, then the sample is ingested with `time` bucketed by
month, so every (region, month) pair gets its own distribution of price, units and category.
A second directory, `<database directory>_by_region`, holds the same rows keyed by region alone,
for the statements that read joints under one-pair keys (MI, CMI).
"""

import csv
import json
import pathlib
import shutil
import sys
import tempfile

from quib_engine import QuibDB

HERE = pathlib.Path(__file__).resolve().parent
SALES = HERE / "sales.csv"
JOINT = ["category", "price"]


def create_with_joint(db_dir: str, joint: list) -> None:
    """A new database whose stored schema names one joint pair before anything is ingested.

    Joint pairs come only with a stored schema, so the meta file is written in its JSON form
    (which the engine reads as well as its binary form) before the first ingest.
    """
    QuibDB.create(db_dir).close()
    meta = {
        "schema": {"variables": [], "dimensions": [], "joints": [joint]},
        "next_distribution_id": 1, "next_joint_id": 1, "next_raw_record_id": 1,
        "format_version": 3, "raw_log_enabled": True, "high_water_mark": 0,
    }
    pathlib.Path(db_dir, "meta.edb").write_text(json.dumps(meta))


def without_column(source: pathlib.Path, column: str, target: pathlib.Path) -> None:
    """A copy of the CSV file without one column."""
    with source.open(newline="") as src, target.open("w", newline="") as out:
        rows = csv.reader(src)
        header = next(rows)
        keep = [i for i, name in enumerate(header) if name != column]
        writer = csv.writer(out, lineterminator="\n")
        for row in [header, *rows]:
            writer.writerow([row[i] for i in keep])


def show(db, statement: str) -> None:
    print(f"\n>>> {statement}")
    print(db.query(statement), end="")


def main(db_dir: str) -> None:
    if pathlib.Path(db_dir).exists():
        shutil.rmtree(db_dir)  # the sample is counted once: start from an empty directory
    create_with_joint(db_dir, JOINT)
    with QuibDB.open(db_dir) as db:
        report = db.ingest(
            str(SALES),
            max_categories=5,  # region (6 values) becomes a dimension, category a variable
            date_columns=["time"],
            date_granularity="monthly",
        )
        print("ingest:", report, f"({report.total_rows} rows read)")
        print("stats: ", db.stats())

        # Price of one region against another, summed over every month.
        show(db, "COMPARE price BETWEEN region:north AND region:coast")
        # Which variables differ most between two regions.
        show(db, "EXPLAIN region:north VS region:coast")
        # The category mix of one region, month by month; electronics get cheaper in 2024.
        show(db, "TRACK category FROM region:north")
        # The regions whose category mix (the first variable) is closest to the north's.
        show(db, "NEAREST region:north ON region LIMIT 3 USING hellinger")
        # The joint pair, per (region, month), ranked by mutual information.
        show(db, "CORRELATIONS LIMIT 3")

        exported = db.query("EXPORT COMPARE category BETWEEN region:north AND region:south "
                            "AS JSON")
        rows = json.loads(exported.rows[0][0])
        print("\nEXPORT ... AS JSON, first rows:", json.dumps(rows[:3]))

    # The files are up to date after the with block; a read-only handle sees the same counts.
    with QuibDB.open(db_dir, mode="read_only") as reader:
        print("\nreopened read-only:", reader.stats())

    # MI at a key and CMI over a dimension read joints stored under exactly one pair, so the
    # same rows without their time column go into a second database keyed by region alone.
    by_region = db_dir.rstrip("/") + "_by_region"
    if pathlib.Path(by_region).exists():
        shutil.rmtree(by_region)
    create_with_joint(by_region, JOINT)
    with tempfile.TemporaryDirectory() as tmp:
        flat = pathlib.Path(tmp, "sales_by_region.csv")
        without_column(SALES, "time", flat)
        with QuibDB.open(by_region) as db:
            db.ingest(str(flat), max_categories=5)
            show(db, "MI category, price AT region:north")
            show(db, "CMI category, price GIVEN region")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "demo_db")

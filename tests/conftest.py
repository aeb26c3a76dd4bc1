"""Shared fixtures: small data files and databases built from them."""

import csv
import json
import os
import pathlib

import pytest

from quib_engine import QuibDB

EDB_FILES = {"meta.edb", "distributions.edb", "dist_index.edb", "snapshots.edb"}

# Two years, two labels, a price-like amount: `day` becomes a date dimension, `label` a
# categorical variable and `amount` a continuous one.
SAMPLE_ROWS = [
    ("2023-03-01", "a", "10.5"),
    ("2023-07-15", "b", "12.0"),
    ("2023-07-15", "a", "9.25"),
    ("2024-02-10", "b", "30.0"),
    ("2024-11-30", "a", "11.0"),
    ("2024-11-30", "b", "14.5"),
]


def write_csv(path, header, rows):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)
    return str(path)


def raw_lines(db_path):
    """The raw log's lines as (parsed object, text), in file order."""
    log = pathlib.Path(db_path, "raw", "log_000001.raw")
    return [(json.loads(line), line) for line in log.read_text().splitlines()]


def file_bytes(db_path):
    """Every regular file under the database directory, by relative path."""
    out = {}
    for root, _, files in os.walk(db_path):
        for name in files:
            full = os.path.join(root, name)
            out[os.path.relpath(full, db_path)] = pathlib.Path(full).read_bytes()
    return out


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def sample_csv(tmp_path):
    return write_csv(tmp_path / "sample.csv", ["day", "label", "amount"], SAMPLE_ROWS)


@pytest.fixture
def sample_db(db_path, sample_csv):
    """A closed database holding the sample file, with its schema."""
    with QuibDB.create(db_path) as db:
        db.ingest(sample_csv)
    return db_path

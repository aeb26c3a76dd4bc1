"""QueryResult as handed out by QuibDB.query."""

import json

import pytest

from quib_engine import QueryResult, QuibDB, QuibError

from conftest import write_csv


def test_stats_table(sample_db):
    with QuibDB.open(sample_db, "ro") as db:
        result = db.query("STATS")
    assert type(result) is QueryResult
    assert result.header == ["Stat", "Value"]
    assert result.rows[0] == ["Distributions", "4"]
    assert len(result) == len(result.rows) == 4
    assert result.to_dicts()[0] == {"Stat": "Distributions", "Value": "4"}
    assert result.to_csv().splitlines()[0] == "Stat,Value"
    assert json.loads(result.to_json())[1] == {"Stat": "Total samples", "Value": "12"}
    assert repr(result) == str(result) and repr(result).endswith("\n")
    # Every access is a fresh copy.
    result.header.append("x")
    result.rows[0][0] = "changed"
    assert result.header == ["Stat", "Value"] and result.rows[0][0] == "Distributions"


def test_duplicate_titles(tmp_path, db_path):
    path = write_csv(
        tmp_path / "s.csv",
        ["Samples", "amount"],
        [("2024-01-01", "1.0"), ("2024-01-02", "2.0"), ("2024-01-02", "3.0")],
    )
    with QuibDB.create(db_path) as db:
        db.ingest(path, date_columns=["Samples"], date_granularity="daily")
        result = db.query("RANK amount BY ENTROPY OVER Samples")
    assert result.header == ["Samples", "Entropy", "Samples", ""]
    dicts = result.to_dicts()
    assert len(dicts) == 2
    for row, as_dict in zip(result.rows, dicts):
        assert list(as_dict) == ["Samples", "Entropy", ""]
        assert as_dict["Samples"] == row[2]  # the later title wins, keeping its first place
    assert result.to_json().count('"Samples": ') == 2 * len(result)


def test_query_errors(db_path):
    with QuibDB.create(db_path) as db:
        with pytest.raises(QuibError) as info:
            db.query("")
        assert str(info.value) == "parse error: empty query"
        with pytest.raises(TypeError, match="^argument 'sql_str': "):
            db.query(5)
        empty = db.query("DIMENSIONS")
        assert len(empty) == 0 and not empty

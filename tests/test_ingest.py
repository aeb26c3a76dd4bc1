"""Ingestion from files and from Python records, and what it leaves on disk."""

import collections
import datetime
import decimal
import json
import math
import os
import random

import pytest

from quib_engine import IngestReport, QuibDB, QuibError

from conftest import EDB_FILES, file_bytes, raw_lines, write_csv


def kinds(schema):
    """name -> 'Continuous' / 'Categorical' / 'dimension' for every definition."""
    out = {v["name"]: next(iter(v["var_type"])) for v in schema["variables"]}
    out.update({d["name"]: "dimension" for d in schema["dimensions"]})
    return out


def test_file_ingest_with_defaults(db_path, sample_csv):
    with QuibDB.create(db_path) as db:
        report = db.ingest(sample_csv)
        assert type(report) is IngestReport
        assert (report.total_rows, report.processed_rows, report.skipped_rows) == (6, 6, 0)
        # Yearly buckets by default: two years times two variables.
        assert report.distributions_updated == 4
        assert type(report.elapsed_ms) is int and report.elapsed_ms >= 0
        schema = db.schema()
        assert kinds(schema) == {"label": "Categorical", "amount": "Continuous", "day": "dimension"}
        assert schema["dimensions"] == [
            {"name": "day", "source_column": "day", "granularity": "yearly"}
        ]
        assert repr(db.stats()) == (
            "DatabaseStats(distributions=4, total_samples=12, variables=2, dimensions=1)"
        )


@pytest.mark.parametrize("columns", [["day"], ("day",)])
def test_date_columns_and_granularity(db_path, sample_csv, columns):
    with QuibDB.create(db_path) as db:
        report = db.ingest(sample_csv, date_columns=columns, date_granularity="daily")
        assert db.schema()["dimensions"][0]["granularity"] == "daily"
        assert report.distributions_updated == 2 * 4  # four distinct days


@pytest.mark.parametrize(
    "distinct, max_categories, kind",
    [(50, None, "Categorical"), (51, None, "dimension"), (51, 60, "Categorical"),
     (3, 2, "dimension")],
)
def test_max_categories_decides_between_variable_and_dimension(
    tmp_path, db_path, distinct, max_categories, kind
):
    rows = [(f"c{i % distinct}", str(i)) for i in range(60)]
    path = write_csv(tmp_path / "codes.csv", ["code", "n"], rows)
    with QuibDB.create(db_path) as db:
        db.ingest(path, max_categories=max_categories)
        assert kinds(db.schema())["code"] == kind


def test_files_on_disk_after_ingest(db_path, sample_csv):
    with QuibDB.create(db_path) as db:
        report = db.ingest(sample_csv)
    assert set(os.listdir(db_path)) == EDB_FILES | {"lock.edb", "raw"}
    assert os.listdir(os.path.join(db_path, "raw")) == ["log_000001.raw"]
    assert os.path.getsize(os.path.join(db_path, "lock.edb")) == 0
    for name in EDB_FILES:
        with open(os.path.join(db_path, name), "rb") as handle:
            assert handle.read(4) == b"QUIB"
    lines = raw_lines(db_path)
    assert len(lines) == report.processed_rows
    for number, (record, text) in enumerate(lines, start=1):
        assert list(record) == ["payload", "record_id"]
        assert record["record_id"] == number
        assert " " not in text  # compact
    assert lines[0][0]["payload"] == {"amount": "10.5", "label": "a"}


def test_unsupported_extension_is_a_quib_error(tmp_path, db_path):
    path = tmp_path / "data.txt"
    path.write_text("a\n1\n")
    with QuibDB.create(db_path) as db:
        with pytest.raises(QuibError) as info:
            db.ingest(str(path))
    assert str(info.value) == "unsupported ingestion format 'txt'; expected csv/json/parquet"


class Indexable:
    def __index__(self):
        return 41


class NumericText(str):
    """A text that is also a number: the number comes first."""

    def __index__(self):
        return 12


class RealText(str):
    def __float__(self):
        return 1.5


def big_text():
    return str(10**400)


numpy = None
try:
    import numpy
except ImportError:
    pass


CONVERSIONS = [
    (True, True),
    (False, False),
    (3, 3),
    (-4, -4),
    (3.0, 3.0),
    (-0.5, -0.5),
    (2**63 - 1, 2**63 - 1),
    (2**70, float(2**70)),
    (10**400, big_text()),
    (float("nan"), None),
    (float("inf"), None),
    (None, None),
    ("text", "text"),
    ((1, "a"), "(1, 'a')"),
    (datetime.date(2024, 1, 5), "2024-01-05"),
    (decimal.Decimal("2.5"), 2.5),
    (Indexable(), 41),
    (NumericText("twelve"), 12),
    (RealText("one and a half"), 1.5),
    ([1, 2], "[1, 2]"),
]
if numpy is not None:
    CONVERSIONS += [
        (numpy.bool_(True), True),
        (numpy.int64(-7), -7),
        (numpy.float64(0.25), 0.25),
        (numpy.float32(float("nan")), None),
    ]


@pytest.mark.parametrize("value, expected", CONVERSIONS, ids=lambda v: type(v).__name__)
def test_record_value_conversion(sample_db, value, expected):
    with QuibDB.open(sample_db) as db:
        report = db.ingest_records([{"day": "2024-06-01", "label": value}])
    assert report.processed_rows == 1
    payload = raw_lines(sample_db)[-1][0]["payload"]
    assert payload == {"label": expected}
    assert type(payload["label"]) is type(expected)


def test_record_keys_are_ordered_and_later_duplicates_win(sample_db):
    class SameText(str):
        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    record = {SameText("label"): "first", "amount": 1, SameText("label"): "second"}
    with QuibDB.open(sample_db) as db:
        db.ingest_records([{"day": "2024-06-01", **record}])
    _, text = raw_lines(sample_db)[-1]
    assert '"payload":{"amount":1,"label":"second"}' in text


def test_record_keys_at_the_same_place_may_differ_from_record_to_record(sample_db):
    fresh = "".join(["lab", "el"])  # equal to "label", another object
    records = [
        {"day": "2024-06-01", "label": "a", "amount": 1},
        {"amount": 2, "day": "2024-06-01", "label": "b"},
        {"day": "2024-06-01", "amount": 3},
        {"day": "2024-06-01", fresh: "c"},
        {"label": "d", "day": "2024-06-01"},
    ]
    with QuibDB.open(sample_db) as db:
        before = len(raw_lines(sample_db))
        db.ingest_records(records)
    payloads = [record["payload"] for record, _ in raw_lines(sample_db)[before:]]
    assert payloads == [{"amount": 1, "label": "a"}, {"amount": 2, "label": "b"}, {"amount": 3},
                        {"label": "c"}, {"label": "d"}]


def test_many_records_keep_their_order_ids_and_keys(sample_db):
    """Records beyond what the engine converts at once: keys in varying order, fresh key objects
    equal to earlier ones, and a key first met after tens of thousands of records."""
    records = []
    for i in range(70000):
        amount = "".join(["am", "ount"]) if i % 3 == 0 else "amount"
        fields = [("day", "2024-06-01"), (amount, i)]
        if i >= 40000:
            fields.append(("label", "ab"[i % 2]))
        if i % 5 == 0:
            fields.reverse()
        records.append(dict(fields))
    with QuibDB.open(sample_db) as db:
        before = len(raw_lines(sample_db))
        report = db.ingest_records(records)
    lines = [record for record, _ in raw_lines(sample_db)[before:]]
    assert report.processed_rows == len(lines) == len(records)
    first = lines[0]["record_id"]
    assert [line["record_id"] for line in lines] == list(range(first, first + len(records)))
    assert [line["payload"] for line in lines] == [
        {key: value for key, value in sorted(record.items()) if key != "day"}
        for record in records
    ]


def test_dropped_records_count_only_in_total_rows(sample_db):
    records = [
        {"label": "a", "amount": 1.0},  # no dimension column: dropped by mapping
        {"day": None, "label": "a"},  # null dimension value: dropped
        {"day": "2024-01-02", "label": "b"},
        {"day": "2024-01-03"},  # no variable at all: still processed
    ]
    with QuibDB.open(sample_db) as db:
        before = len(raw_lines(sample_db))
        report = db.ingest_records(records)
    assert (report.total_rows, report.processed_rows, report.skipped_rows) == (4, 2, 0)
    assert report.elapsed_ms == 0
    assert repr(report) == (
        "IngestReport(processed=2, skipped=0, distributions_updated=1, elapsed_ms=0)"
    )
    lines = raw_lines(sample_db)
    assert [record["payload"] for record, _ in lines[before:]] == [{"label": "b"}, {}]


def test_file_rows_without_a_dimension_are_counted_nowhere(tmp_path):
    # Unlike records, a file's rows that mapping drops are not even in total_rows.
    path = tmp_path / "rows.jsonl"
    path.write_text(
        '{"day": "2024-01-01", "label": "a"}\n'
        '{"label": "a"}\n'  # no dimension column
        '{"day": null, "label": "b"}\n'  # null dimension value
        '{"day": "2024-01-02", "label": "b"}\n'
    )
    with QuibDB.create(str(tmp_path / "db")) as db:
        report = db.ingest(str(path), date_columns=["day"])
        assert (report.total_rows, report.processed_rows, report.skipped_rows) == (2, 2, 0)
        assert db.stats().total_samples == 2


def test_empty_record_list(sample_db):
    with QuibDB.open(sample_db) as db:
        report = db.ingest_records([])
    assert (report.total_rows, report.processed_rows, report.skipped_rows,
            report.distributions_updated, report.elapsed_ms) == (0, 0, 0, 0, 0)


def test_list_subclass_and_dict_subclass_are_accepted(sample_db):
    class Records(list):
        pass

    class Record(dict):
        pass

    with QuibDB.open(sample_db) as db:
        report = db.ingest_records(Records([Record(day="2024-01-01", label="a")]))
    assert report.processed_rows == 1


class RaisingStr:
    def __str__(self):
        raise ZeroDivisionError("no text")


@pytest.mark.parametrize(
    "records, error, message",
    [
        ([{"day": "2024-01-01", "label": "a"}, 5], TypeError,
         "'int' object is not an instance of 'dict'"),
        ([{"day": "2024-01-01", "label": "a"}, {1: "x"}], TypeError,
         "'int' object is not an instance of 'str'"),
        ([{"day": "2024-01-01", "label": RaisingStr()}], ZeroDivisionError, "no text"),
        # The last of more records than the engine takes at once.
        ([{"day": "2024-01-01", "label": "a"}] * 70000 + [{"label": RaisingStr()}],
         ZeroDivisionError, "no text"),
    ],
    ids=["not-a-dict", "key-not-a-str", "value-raises", "last-of-many-raises"],
)
def test_bad_record_leaves_database_untouched(sample_db, records, error, message):
    before = file_bytes(sample_db)
    with QuibDB.open(sample_db) as db:
        stats = repr(db.stats())
        with pytest.raises(error) as info:
            db.ingest_records(records)
        assert str(info.value) == message
        assert repr(db.stats()) == stats
        assert file_bytes(sample_db) == before  # nothing written, not even the raw log


class Mutator:
    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "x"


def test_dict_changing_during_conversion_raises_internal_error(sample_db):
    grows = {"day": "2024-01-01"}
    grows["label"] = Mutator(lambda: grows.update(extra=1))
    swaps = {}
    swaps["label"] = Mutator(lambda: (swaps.pop("label"), swaps.__setitem__("other", 1)))
    with QuibDB.open(sample_db) as db:
        for record, message in [
            (grows, "dictionary changed size during iteration"),
            (swaps, "dictionary keys changed during iteration"),
        ]:
            with pytest.raises(BaseException) as info:
                db.ingest_records([record])
            assert not isinstance(info.value, Exception)
            assert message in str(info.value)


def test_list_shortened_during_conversion_ends_early(sample_db):
    records = []
    records += [
        {"day": "2024-01-01", "label": Mutator(lambda: records.clear())},
        {"day": "2024-01-02", "label": "b"},
    ]
    with QuibDB.open(sample_db) as db:
        report = db.ingest_records(records)
    assert report.total_rows == 1


def test_read_only_handle_refuses_countable_records(sample_db):
    with QuibDB.open(sample_db, "ro") as db:
        assert db.ingest_records([{"label": "a"}]).total_rows == 1  # dropped, nothing to do
        with pytest.raises(QuibError) as info:
            db.ingest_records([{"day": "2024-01-01", "label": "a"}])
    assert str(info.value) == "database opened in read-only mode"


def test_records_persist_across_reopen(sample_db):
    with QuibDB.open(sample_db) as db:
        db.ingest_records([{"day": "2025-01-01", "label": "a", "amount": 3}])
        stats = repr(db.stats())
    with QuibDB.open(sample_db, "ro") as db:
        assert repr(db.stats()) == stats
        assert db.stats().distributions == 6


def create_with_schema(db_path, schema):
    """A database whose schema is written before its first ingest, as users write one."""
    os.makedirs(db_path)
    meta = {"schema": schema, "next_distribution_id": 1, "next_joint_id": 1,
            "next_raw_record_id": 1, "format_version": 3, "raw_log_enabled": False,
            "high_water_mark": 0}
    with open(os.path.join(db_path, "meta.edb"), "w") as handle:
        json.dump(meta, handle)
    return QuibDB.create(db_path)


def categorical(name, categories):
    return {"name": name,
            "var_type": {"Categorical": {"categories": categories, "allow_unknown": True}}}


def shown_counts(db, statement):
    """Category -> count of a SHOW, and its sample total."""
    rows = db.query(statement).rows
    samples = int(next(r[1] for r in rows if r[0] == "Samples"))
    return {r[0]: int(r[1].split()[0]) for r in rows[4:]}, samples


def mutual_information(pairs):
    """MI in bits of (x, y) observations."""
    n = len(pairs)
    joint = collections.Counter(pairs)
    xs = collections.Counter(x for x, _ in pairs)
    ys = collections.Counter(y for _, y in pairs)
    return sum(c / n * math.log2(c * n / (xs[x] * ys[y])) for (x, y), c in joint.items())


def write_rows(path, rows, header=None):
    """JSON lines, or a CSV with `header`, every cell as its JSON text unless already a text."""
    if header is None:
        with open(path, "w") as handle:
            handle.writelines(json.dumps(row, separators=(",", ":")) + "\n" for row in rows)
        return str(path)
    cells = [[v if isinstance(v, str) else json.dumps(v, separators=(",", ":")) for v in
              (row[h] for h in header)] for row in rows]
    return write_csv(path, header, cells)


# Booleans, fractions beside a word, and nested values, as inference names their categories.
MIXED_ROWS = [{"day": "2024-05-01", "flag": i % 4 == 0, "rating": [1.5, 4.5, "none"][i % 3],
               "tags": [["a"], {"k": [True]}, "x"][i % 3]} for i in range(60)]


@pytest.mark.parametrize("road", ["jsonl", "csv", "records", "inferred"])
def test_booleans_fractions_and_nested_values_count_in_their_categories(tmp_path, db_path, road):
    schema = {"variables": [categorical("flag", ["true", "false"]),
                            categorical("rating", ["1.5", "4.5", "none"]),
                            categorical("tags", ['["a"]', '{"k":[true]}', "x"])],
              "dimensions": [{"name": "day", "source_column": "day", "granularity": "yearly"}],
              "joints": [["flag", "rating"]]}
    header = ["day", "flag", "rating", "tags"] if road == "csv" else None
    path = write_rows(tmp_path / ("mixed.csv" if header else "mixed.jsonl"), MIXED_ROWS, header)
    # The inferred road finds its categories alone, and no joint.
    db = QuibDB.create(db_path) if road == "inferred" else create_with_schema(db_path, schema)
    if road == "records":
        db.ingest_records(MIXED_ROWS)
    else:
        db.ingest(path)
    with db:
        assert shown_counts(db, "SHOW flag AT day:2024") == ({"true": 15, "false": 45}, 60)
        assert shown_counts(db, "SHOW rating AT day:2024") == (
            {"1.5": 20, "4.5": 20, "none": 20}, 60)
        # A record's list or dict arrives as its str(), which names no category here.
        nested = 0 if road == "records" else 20
        assert shown_counts(db, "SHOW tags AT day:2024") == (
            {'["a"]': nested, '{"k":[true]}': nested, "x": 20}, 60)
        # The joint of the stored schema counts a boolean and a fraction in every row.
        if road != "inferred":
            mi = dict(db.query("MI flag, rating AT day:2024").rows)
            assert mi["Samples"] == "60"
            expected = mutual_information([(r["flag"], str(r["rating"])) for r in MIXED_ROWS])
            assert mi["MI"] == f"{expected:.4f} bits"


def penguin_rows():
    """Penguin-like rows: three islands, three species, a body mass with gaps ("NA") and more
    distinct values than a categorical variable holds, and two clean numeric columns."""
    rng = random.Random(11)
    rows = []
    for i in range(300):
        species = rng.choice(["Adelie", "Gentoo", "Chinstrap"])
        island = "Biscoe" if species == "Gentoo" else rng.choice(["Biscoe", "Dream", "Torgersen"])
        base = {"Adelie": 3700, "Gentoo": 5100, "Chinstrap": 3750}[species]
        mass = "NA" if i % 37 == 5 else base + rng.randrange(-600, 600, 25)
        rows.append({"species": species, "island": island, "mass": mass,
                     "flipper": 180 + rng.randrange(40) + 0.5, "bill": 35 + rng.random() * 20})
    return rows


@pytest.mark.parametrize("suffix", ["csv", "jsonl"])
def test_stored_schema_decides_the_role_of_every_column_it_names(tmp_path, db_path, suffix):
    schema = {"variables": [categorical("species", ["Adelie", "Gentoo", "Chinstrap"]),
                            {"name": "mass", "var_type": {"Continuous": {
                                "bins": 10, "range": [2500.0, 6500.0]}}}],
              "dimensions": [{"name": "island", "source_column": "island", "granularity": None}],
              "joints": [["species", "mass"]]}
    rows = penguin_rows()
    header = ["species", "island", "mass", "flipper", "bill"] if suffix == "csv" else None
    path = write_rows(tmp_path / f"penguins.{suffix}", rows, header)
    with create_with_schema(db_path, schema) as db:
        db.ingest(path)
        # The named columns keep their roles; the others are still inferred.
        assert kinds(db.schema()) == {"species": "Categorical", "mass": "Continuous",
                                      "flipper": "Continuous", "bill": "Continuous",
                                      "island": "dimension"}
        assert [d["name"] for d in db.schema()["dimensions"]] == ["island"]
        assert "island" not in [v["name"] for v in db.schema()["variables"]]
        mi = dict(db.query("MI species, mass AT island:Biscoe").rows)
    counted = [(r["species"], min(int((r["mass"] - 2500) // 400), 9)) for r in rows
               if r["island"] == "Biscoe" and r["mass"] != "NA"]
    assert mi["Samples"] == str(len(counted))
    assert mi["MI"] == f"{mutual_information(counted):.4f} bits"

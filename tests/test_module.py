"""The module's surface: its attributes, classes, signatures and the exception class."""

import inspect

import pytest

import quib_engine
from quib_engine import DatabaseStats, IngestReport, QueryResult, QuibDB, QuibError


def test_module_holds_exactly_the_classes_and_the_exception_in_order():
    names = [name for name in vars(quib_engine) if not name.startswith("__")]
    assert names == ["QuibDB", "QueryResult", "DatabaseStats", "IngestReport", "QuibError"]
    assert quib_engine.__doc__ == ""


@pytest.mark.parametrize(
    "method, signature",
    [
        (QuibDB.open, "(path, mode=None)"),
        (QuibDB.create, "(path)"),
        (QuibDB.flush, "($self)"),
        (QuibDB.close, "($self)"),
        (QuibDB.__enter__, "($self)"),
        (QuibDB.__exit__, "($self, _exc_type=None, _exc_val=None, _exc_tb=None)"),
        (QuibDB.stats, "($self)"),
        (QuibDB.schema, "($self)"),
        (
            QuibDB.ingest,
            "($self, path, max_categories=None, date_columns=None, date_granularity=None)",
        ),
        (QuibDB.ingest_records, "($self, records)"),
        (QueryResult.to_csv, "($self)"),
        (QueryResult.to_json, "($self)"),
        (QueryResult.to_dicts, "($self)"),
    ],
)
def test_text_signatures(method, signature):
    assert method.__text_signature__ == signature
    assert method.__doc__ is None
    inspect.signature(method)  # the host can read it


@pytest.mark.parametrize("cls", [QuibDB, QueryResult, DatabaseStats, IngestReport])
def test_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()
    assert cls.__module__ == "quib_engine"


def test_quib_error_is_one_plain_exception_class(tmp_path):
    assert QuibError is quib_engine.QuibError
    assert QuibError.__name__ == "QuibError"
    assert QuibError.__module__ == "quib_engine"
    assert QuibError.__bases__ == (Exception,)
    with pytest.raises(QuibError) as info:
        QuibDB.open(str(tmp_path / "missing"))
    assert type(info.value) is quib_engine.QuibError
    assert isinstance(info.value, Exception)
    assert len(info.value.args) == 1


def test_result_objects_are_frozen(db_path):
    with QuibDB.create(db_path) as db:
        stats = db.stats()
        report = db.ingest_records([])
    for obj, attr in [(stats, "distributions"), (report, "total_rows")]:
        with pytest.raises(AttributeError):
            setattr(obj, attr, 1)
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert str(obj) == repr(obj)

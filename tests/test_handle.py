"""QuibDB lifecycle: open modes, create, close, the with block, errors and thread binding."""

import gc
import os
import pathlib
import shutil
import sys
import threading

import pytest

from quib_engine import QuibDB, QuibError

from conftest import EDB_FILES

GOOD_RECORD = {"day": "2024-05-01", "label": "a", "amount": 2.0}


def is_writable(db):
    """A countable record succeeds read-write and is refused read-only."""
    try:
        db.ingest_records([GOOD_RECORD])
    except QuibError as error:
        assert str(error) == "database opened in read-only mode"
        return False
    return True


@pytest.mark.parametrize(
    "args, kwargs, writable",
    [
        ((), {}, True),
        ((None,), {}, True),
        ((), {"mode": None}, True),
        (("read_write",), {}, True),
        (("rw",), {}, True),
        (("read_only",), {}, False),
        ((), {"mode": "ro"}, False),
    ],
)
def test_open_modes(sample_db, args, kwargs, writable):
    db = QuibDB.open(sample_db, *args, **kwargs)
    try:
        assert is_writable(db) == writable
    finally:
        db.close()


@pytest.mark.parametrize("mode", ["READ_ONLY", "r", "", "read-write"])
def test_unknown_mode_raises_before_touching_anything(tmp_path, mode):
    path = tmp_path / "never"
    with pytest.raises(ValueError) as info:
        QuibDB.open(str(path), mode)
    assert str(info.value) == f"unknown mode '{mode}'; use 'read_only' or 'read_write'"
    assert not path.exists()


def test_open_of_missing_directory_raises_store_message(tmp_path):
    path = str(tmp_path / "missing")
    with pytest.raises(QuibError) as info:
        QuibDB.open(path)
    assert str(info.value) == f"database path does not exist: {path}"
    assert not os.path.exists(path)


def test_create_writes_an_empty_database(db_path):
    db = QuibDB.create(db_path)
    assert repr(db.stats()) == (
        "DatabaseStats(distributions=0, total_samples=0, variables=0, dimensions=0)"
    )
    assert db.schema() == {"variables": [], "dimensions": [], "joints": []}
    assert set(os.listdir(db_path)) == EDB_FILES | {"lock.edb", "raw"}
    db.close()


def test_with_block_binds_the_handle_and_closes_it(sample_db):
    with QuibDB.open(sample_db) as db:
        assert type(db) is QuibDB
        db.ingest_records([GOOD_RECORD])
    with pytest.raises(RuntimeError, match="^database is closed$"):
        db.stats()
    # The lock is free again and the record reached the files.
    with QuibDB.open(sample_db) as again:
        assert again.stats().total_samples == 7 * 2


def test_with_block_propagates_the_exception_and_still_closes(sample_db):
    class Boom(Exception):
        pass

    with pytest.raises(Boom):
        with QuibDB.open(sample_db) as db:
            raise Boom()
    with pytest.raises(RuntimeError, match="^database is closed$"):
        db.flush()
    QuibDB.open(sample_db).close()


def test_exit_returns_false_and_never_suppresses(db_path):
    db = QuibDB.create(db_path)
    assert db.__exit__(ValueError, ValueError("x"), None) is False
    assert db.__exit__() is False


def test_second_read_write_open_in_one_process_fails_until_closed(sample_db):
    first = QuibDB.open(sample_db)
    with pytest.raises(QuibError):
        QuibDB.open(sample_db)
    reader = QuibDB.open(sample_db, "ro")  # read-only takes no lock
    reader.close()
    first.close()
    QuibDB.open(sample_db).close()


def test_dropping_a_handle_releases_its_lock(sample_db):
    db = QuibDB.open(sample_db)
    del db
    gc.collect()
    QuibDB.open(sample_db).close()


def test_close_twice_and_methods_after_close(sample_db, sample_csv):
    db = QuibDB.open(sample_db)
    assert db.close() is None
    assert db.close() is None
    assert db.__enter__() is db
    for call in (
        db.flush,
        db.stats,
        db.schema,
        lambda: db.ingest(sample_csv),
        lambda: db.ingest_records([]),
    ):
        with pytest.raises(RuntimeError, match="^database is closed$"):
            call()
    # Arguments are converted before the closed check.
    with pytest.raises(TypeError, match="^argument 'path': "):
        db.ingest(5)
    with pytest.raises(TypeError, match="^argument 'records': "):
        db.ingest_records(())


def test_close_raises_a_failed_flush_but_closes_and_unlocks(sample_db):
    meta = pathlib.Path(sample_db, "meta.edb")
    saved = meta.read_bytes()
    db = QuibDB.open(sample_db)
    # A non-empty directory where the meta file belongs makes every write of it fail.
    meta.unlink()
    meta.mkdir()
    (meta / "blocker").write_text("x")
    # The ingest's own flush fails; the record ids its raw-log lines took are left for close.
    with pytest.raises(QuibError):
        db.ingest_records([{"day": "2023-03-01", "label": "a", "amount": 1.0}])
    with pytest.raises(QuibError):
        db.close()
    with pytest.raises(RuntimeError, match="^database is closed$"):
        db.stats()
    assert db.close() is None
    shutil.rmtree(meta)
    meta.write_bytes(saved)
    QuibDB.open(sample_db).close()


@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda p, csv, db: QuibDB.open(5), "path"),
        (lambda p, csv, db: QuibDB.open(pathlib.Path(p)), "path"),
        (lambda p, csv, db: QuibDB.open(p.encode()), "path"),
        (lambda p, csv, db: QuibDB.open(p, mode=1), "mode"),
        (lambda p, csv, db: QuibDB.create(pathlib.Path(p)), "path"),
        (lambda p, csv, db: db.ingest(pathlib.Path(csv)), "path"),
        (lambda p, csv, db: db.ingest(csv, max_categories="5"), "max_categories"),
        (lambda p, csv, db: db.ingest(csv, max_categories=2.0), "max_categories"),
        (lambda p, csv, db: db.ingest(csv, date_columns={"day"}), "date_columns"),
        (lambda p, csv, db: db.ingest(csv, date_columns=["day", 3]), "date_columns"),
        (lambda p, csv, db: db.ingest(csv, date_columns=iter(["day"])), "date_columns"),
        (lambda p, csv, db: db.ingest(csv, date_granularity=b"daily"), "date_granularity"),
        (lambda p, csv, db: db.ingest_records(({},)), "records"),
    ],
)
def test_argument_type_errors_name_the_parameter(sample_db, sample_csv, call, parameter):
    with QuibDB.open(sample_db) as db:
        with pytest.raises(TypeError) as info:
            call(sample_db, sample_csv, db)
        assert str(info.value).startswith(f"argument '{parameter}': ")


def test_argument_error_causes(sample_db, sample_csv):
    with QuibDB.open(sample_db) as db:
        with pytest.raises(TypeError) as info:
            db.ingest(sample_csv, date_columns="day")
        assert str(info.value) == "argument 'date_columns': Can't extract `str` to `Vec`"
        with pytest.raises(TypeError) as info:
            db.ingest_records(("x",))
        assert str(info.value) == "argument 'records': 'tuple' object is not an instance of 'list'"
        with pytest.raises(TypeError) as info:
            QuibDB.open(5)
        assert str(info.value) == "argument 'path': 'int' object is not an instance of 'str'"


@pytest.mark.parametrize("value", [-1, 2**64])
def test_max_categories_out_of_range_raises_overflow_unchanged(sample_db, sample_csv, value):
    with QuibDB.open(sample_db) as db:
        with pytest.raises(OverflowError):
            db.ingest(sample_csv, max_categories=value)


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.stats(1),
        lambda db: db.ingest(),
        lambda db: db.ingest("a.csv", 1, None, None, None),
        lambda db: db.ingest("a.csv", colour="red"),
        lambda db: db.ingest_records(),
        lambda db: db.__exit__(1, 2, 3, 4),
        lambda db: QuibDB.open(),
        lambda db: QuibDB.create("x", "y"),
    ],
)
def test_argument_binding_errors(db_path, call):
    with QuibDB.create(db_path) as db:
        with pytest.raises(TypeError):
            call(db)


def test_keyword_arguments_bind_by_name(sample_db, sample_csv):
    db = QuibDB.open(path=sample_db, mode="rw")
    report = db.ingest(path=sample_csv, date_columns=("day",), date_granularity="daily",
                       max_categories=10)
    assert report.total_rows == 6
    assert db.ingest_records(records=[]).total_rows == 0
    db.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None)


def test_method_through_class_with_foreign_receiver():
    with pytest.raises(TypeError):
        QuibDB.stats(5)


def run_on_thread(function):
    caught = []

    def body():
        try:
            function()
        except BaseException as error:  # the point is to see what escapes
            caught.append(error)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return caught


@pytest.mark.parametrize(
    "call",
    [
        lambda db: db.stats(),
        lambda db: db.flush(),
        lambda db: db.close(),
        lambda db: db.__enter__(),
        lambda db: db.ingest_records([]),
        lambda db: db.ingest("x.csv", max_categories=5),
    ],
)
def test_call_from_foreign_thread_raises_a_non_exception(db_path, call):
    db = QuibDB.create(db_path)
    caught = run_on_thread(lambda: call(db))
    assert len(caught) == 1
    error = caught[0]
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert "quib_engine::QuibDB is unsendable, but sent to another thread" in str(error)
    assert db.stats().distributions == 0  # still open and usable at home
    db.close()


def test_handle_made_on_an_ended_thread_stays_bound_to_it(db_path, monkeypatch):
    # A later thread may be given the ended thread's identifier; it is still another thread.
    dropped = []
    monkeypatch.setattr(sys, "unraisablehook", dropped.append)
    made = []
    maker = threading.Thread(target=lambda: made.append(QuibDB.create(db_path)))
    maker.start()
    maker.join()
    db = made.pop()
    for _ in range(3):
        caught = run_on_thread(db.stats)
        assert len(caught) == 1 and not isinstance(caught[0], Exception)
    with pytest.raises(BaseException, match="unsendable, but sent to another thread"):
        db.stats()
    del db, caught  # the last reference goes away here, which is foreign too
    gc.collect()
    assert len(dropped) == 1


def test_handle_dropped_on_foreign_thread_reports_unraisable(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    box = [QuibDB.create(str(tmp_path / "db"))]
    thread = threading.Thread(target=box.clear)  # the last reference goes away there
    thread.start()
    thread.join()
    assert len(seen) == 1
    assert type(seen[0].exc_value) is RuntimeError
    assert str(seen[0].exc_value) == (
        "quib_engine::QuibDB is unsendable, but is being dropped on another thread"
    )


class IndexCalls:
    def __init__(self, callback):
        self.callback = callback

    def __index__(self):
        self.callback()
        return 5


class StrCalls:
    def __init__(self, callback):
        self.callback = callback

    def __str__(self):
        self.callback()
        return "x"


def test_reentrant_calls_hit_the_access_flag(sample_db, sample_csv):
    with QuibDB.open(sample_db) as db:
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            db.ingest(sample_csv, max_categories=IndexCalls(db.stats))
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            db.ingest_records([{"label": StrCalls(db.close)}])
        # Both accesses were released.
        assert db.stats().variables == 2


def lock_is_held(db_path):
    """Whether some process holds the database's lock, asked from a fresh process."""
    probe = (
        "import fcntl, sys\n"
        "f = open(sys.argv[1], 'r+')\n"
        "try:\n"
        "    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
        "except BlockingIOError:\n"
        "    sys.exit(1)\n"
    )
    import subprocess

    done = subprocess.run([sys.executable, "-c", probe, os.path.join(db_path, "lock.edb")])
    return done.returncode == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# The child only makes calls that are refused before they touch anything, then leaves at once.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_can_neither_use_nor_release_the_parents_handle(db_path):
    db = QuibDB.create(db_path)
    db.ingest_records([])  # the schema is empty: nothing to count, but a real call
    pid = os.fork()
    if pid == 0:  # the child reports through its exit status only
        status = 0
        for call in (db.stats, db.flush, lambda: db.ingest_records([]), db.close):
            try:
                call()
                status |= 1
            except Exception:
                status |= 2
            except BaseException as error:
                if "unsendable, but sent to another thread" not in str(error):
                    status |= 4
        del db
        gc.collect()
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.WEXITSTATUS(status) == 0
    assert lock_is_held(db_path), "the child released the parent's lock"
    assert db.stats().distributions == 0
    db.close()
    assert not lock_is_held(db_path)

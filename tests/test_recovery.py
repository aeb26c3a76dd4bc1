"""Crashes, damaged files and hostile input: what a database recovers from, and what it refuses.

Each case re-creates, on disk, the state that a crash, a full disk or a crafted file leaves, and
checks that the next open repairs it or that the call ends in a clean error.
"""

import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

from quib_engine import QuibDB, QuibError

from conftest import EDB_FILES, raw_lines, write_csv


def ingest_days(db_path, tmp_path, days, name="rows.csv"):
    rows = [(day, label, "1.5") for day in days for label in ("a", "b")]
    path = write_csv(tmp_path / name, ["day", "label", "amount"], rows)
    with QuibDB.open(db_path) as db:
        db.ingest(path, date_columns=["day"], date_granularity="daily")
    return path


def stats(db_path, mode="read_write"):
    with QuibDB.open(db_path, mode) as db:
        s = db.stats()
        return s.distributions, s.total_samples


# ---- a flush cut short between the distributions and the index ----

def index_damages(old_index, db_path):
    """Ways to leave `dist_index.edb` out of step with `distributions.edb`."""
    index = pathlib.Path(db_path, "dist_index.edb")
    return {
        "older index": lambda: shutil.copyfile(old_index, index),
        "index with a missing id": lambda: index.write_text(
            json.dumps({"by_key": {"label|day:2024-01-02": 999}})),
        "index with ids swapped": lambda: swap_ids(index),
    }


def swap_ids(index):
    """Every key mapped to the id of another key's distribution."""
    ids = {"label|day:2024-01-01": 2, "amount|day:2024-01-01": 1,
           "label|day:2024-01-02": 4, "amount|day:2024-01-02": 3}
    index.write_text(json.dumps({"by_key": ids}))


@pytest.mark.parametrize("damage", ["older index", "index with a missing id",
                                    "index with ids swapped"])
def test_open_repairs_an_index_out_of_step_with_the_distributions(tmp_path, db_path, damage):
    QuibDB.create(db_path).close()
    ingest_days(db_path, tmp_path, ["2024-01-01"], "first.csv")
    old_index = tmp_path / "old_index.edb"
    shutil.copyfile(os.path.join(db_path, "dist_index.edb"), old_index)
    second = ingest_days(db_path, tmp_path, ["2024-01-02"], "second.csv")
    assert stats(db_path) == (4, 8)

    index_damages(old_index, db_path)[damage]()
    with QuibDB.open(db_path) as db:
        db.ingest(second, date_columns=["day"], date_granularity="daily")
        # The same keys again: no second distribution of any key, every count in its own.
        assert (db.stats().distributions, db.stats().total_samples) == (4, 12)
    assert stats(db_path, "read_only") == (4, 12)


# ---- a process killed in the middle of a raw-log line ----

def test_read_write_open_cuts_a_torn_raw_line_and_continues_the_ids(sample_db):
    log = pathlib.Path(sample_db, "raw", "log_000001.raw")
    whole = log.read_bytes()
    highest = max(record["record_id"] for record, _ in raw_lines(sample_db))
    # Lines of a batch that was never flushed (their ids are not in meta.edb), then a torn one.
    extra = b"".join(
        b'{"payload":{"label":"a"},"record_id":%d}\n' % (highest + i) for i in (1, 2))
    log.write_bytes(whole + extra + b'{"payload":{"amount":"181.99",')

    with QuibDB.open(sample_db, "read_only"):
        pass
    assert log.read_bytes().endswith(b'"181.99",'), "a read-only open never writes"

    with QuibDB.open(sample_db) as db:
        assert log.read_bytes() == whole + extra
        db.ingest_records([{"day": "2024-01-01", "label": "b", "amount": 3.0}])
    lines = raw_lines(sample_db)
    ids = [record["record_id"] for record, _ in lines]
    assert len(ids) == len(set(ids))
    assert ids[-1] == highest + 3
    assert lines[-1][1] == f'{{"payload":{{"amount":3.0,"label":"b"}},"record_id":{highest + 3}}}'



# ---- allocations that cannot succeed ----

def write_stored_schema(db_path, variables, next_distribution_id=1):
    """A meta.edb in JSON form holding `variables` and no dimensions."""
    meta = {"schema": {"variables": variables, "dimensions": [], "joints": []},
            "next_distribution_id": next_distribution_id, "next_joint_id": 1,
            "next_raw_record_id": 1, "format_version": 3, "raw_log_enabled": True,
            "high_water_mark": 0}
    pathlib.Path(db_path, "meta.edb").write_text(json.dumps(meta))


@pytest.mark.parametrize("bins", [4294967295, 1 << 29])
def test_a_bin_count_beyond_reach_is_refused_before_anything_changes(db_path, bins):
    QuibDB.create(db_path).close()
    write_stored_schema(db_path, [
        {"name": "x", "var_type": {"Continuous": {"bins": bins, "range": [0, 1]}}}])
    log = pathlib.Path(db_path, "raw", "log_000001.raw")
    with QuibDB.open(db_path) as db:
        with pytest.raises(QuibError, match=f"variable 'x' has {bins} bins"):
            db.ingest_records([{"x": 0.5}])
        assert db.stats().distributions == 0
    assert log.read_bytes() == b""


def run_limited(script, limit_bytes, timeout=300):
    """Runs `script` in a fresh interpreter whose address space is capped."""
    preamble = textwrap.dedent(f"""\
        import resource
        resource.setrlimit(resource.RLIMIT_AS, ({limit_bytes}, {limit_bytes}))
        """)
    return subprocess.run([sys.executable, "-c", preamble + textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_running_out_of_memory_in_a_batch_is_a_clean_error(tmp_path, db_path):
    # 3,000 keys times 20 variables of 999 categories: more counters than the cap allows.
    header = ["id"] + [f"c{j}" for j in range(20)]
    rows = [[f"k{i}"] + [str((i * 7 + j) % 999) for j in range(20)] for i in range(3000)]
    path = write_csv(tmp_path / "wide.csv", header, rows)
    QuibDB.create(db_path).close()
    done = run_limited(f"""
        from quib_engine import QuibDB
        db = QuibDB.open({db_path!r})
        try:
            db.ingest({path!r}, max_categories=999)
            print("ingested", db.stats().total_samples)
        except MemoryError:
            print("MemoryError", db.stats().distributions, db.stats().total_samples)
        db.close()
        """, 1_000_000_000)
    assert done.returncode == 0, done.stderr[-2000:]
    verdict = done.stdout.split()
    assert verdict in (["ingested", "60000"], ["MemoryError", "0", "0"]), done.stdout
    assert stats(db_path)[1] in (0, 60000)


# ---- a small container that decompresses to a huge record ----

def zero_frame(prefix, zeros):
    """One zstd frame of `prefix` followed by `zeros` zero bytes, made of raw and RLE blocks."""
    block = 1 << 17
    out = bytearray(struct.pack("<I", 0xFD2FB528))
    out += bytes([0x00, 0x38])  # no content size, no checksum; a window of 128 KiB
    blocks = [(0, prefix)] + [(1, min(block, zeros - at)) for at in range(0, zeros, block)]
    for i, (kind, payload) in enumerate(blocks):
        last = 1 if i == len(blocks) - 1 else 0
        size = len(payload) if kind == 0 else payload
        out += struct.pack("<I", last | (kind << 1) | (size << 3))[:3]
        out += payload if kind == 0 else b"\x00"
    return bytes(out)


def test_a_record_followed_by_gigabytes_of_zeros_opens_in_little_memory(db_path):
    QuibDB.create(db_path).close()
    meta = pathlib.Path(db_path, "meta.edb")
    # The binary MetaFile of a new database with the raw log on: 61 bytes.
    record = bytes(24) + struct.pack("<QQQIB", 1, 1, 1, 3, 1) + bytes(8)
    meta.write_bytes(b"QUIB\x03\x00\x00\x00" + zero_frame(record, 3 << 30))
    assert meta.stat().st_size < 200_000
    done = run_limited(f"""
        from quib_engine import QuibDB
        with QuibDB.open({db_path!r}, "read_only") as db:
            print(db.stats().variables)
        """, 1_500_000_000)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["0"]


def test_trailing_bytes_that_are_no_frame_still_fail(db_path):
    QuibDB.create(db_path).close()
    meta = pathlib.Path(db_path, "meta.edb")
    record = bytes(24) + struct.pack("<QQQIB", 1, 1, 1, 3, 1) + bytes(8)
    meta.write_bytes(b"QUIB\x03\x00\x00\x00" + zero_frame(record, 1 << 20) + b"junk")
    with pytest.raises(QuibError, match=r"^zstd decompress .*meta\.edb: "):
        QuibDB.open(db_path)


# ---- what a flush writes, and what a failed one leaves ----

def file_identities(db_path):
    """Inode and modification time of each record file: a flush renames a new file over the old."""
    return {name: (os.stat(os.path.join(db_path, name)).st_ino,
                   os.stat(os.path.join(db_path, name)).st_mtime_ns) for name in EDB_FILES}


def test_a_flush_or_close_with_nothing_changed_writes_nothing(sample_db):
    untouched = file_identities(sample_db)
    with QuibDB.open(sample_db) as db:
        db.flush()
        db.ingest_records([])
        assert file_identities(sample_db) == untouched
    assert file_identities(sample_db) == untouched
    with QuibDB.open(sample_db) as db:
        db.ingest_records([{"day": "2024-01-01", "label": "b", "amount": 3.0}])
        ingested = file_identities(sample_db)
        assert ingested != untouched
        db.flush()
    assert file_identities(sample_db) == ingested


def test_an_ingest_whose_flush_fails_half_way_leaves_the_files_as_before(sample_db):
    # The snapshots come last: meta, distributions and index are renamed into place before
    # the snapshots' rename fails on the directory in its way.
    snapshots = pathlib.Path(sample_db, "snapshots.edb")
    kept = snapshots.read_bytes()
    snapshots.unlink()
    (snapshots / "in_the_way").mkdir(parents=True)
    before = file_bytes_of(sample_db)
    db = QuibDB.open(sample_db)
    counted = db.stats().total_samples
    with pytest.raises(QuibError, match="write file .*snapshots.edb"):
        db.ingest_records([{"day": "2030-01-01", "label": "b", "amount": 3.0}])
    # As a process that exits now would leave them.
    assert file_bytes_of(sample_db) == before
    assert db.stats().total_samples == counted
    shutil.rmtree(snapshots)
    snapshots.write_bytes(kept)
    db.close()
    assert stats(sample_db, "read_only")[1] == counted


def file_bytes_of(db_path):
    """The record files that are files, with their bytes."""
    return {name: pathlib.Path(db_path, name).read_bytes() for name in EDB_FILES
            if pathlib.Path(db_path, name).is_file()}


def test_an_exhausted_id_counter_fails_the_ingest_and_the_database_still_opens(db_path):
    QuibDB.create(db_path).close()
    write_stored_schema(db_path, [
        {"name": "x", "var_type": {"Continuous": {"bins": 4, "range": [0, 1]}}}],
        next_distribution_id=2**64 - 1)
    with QuibDB.open(db_path) as db:
        with pytest.raises(QuibError, match="distribution ids exhausted: next_distribution_id "
                                            "is 18446744073709551615"):
            db.ingest_records([{"x": 0.5}])
        assert db.stats().distributions == 0
    for mode in ("read_write", "read_only"):
        assert stats(db_path, mode) == (0, 0)

"""Repeated calls must not grow the process: every reference and buffer is released."""

import gc
import tracemalloc

import pytest

from quib_engine import QuibDB, QuibError


def rss_bytes():
    with open("/proc/self/statm") as handle:
        pages = int(handle.read().split()[1])
    import resource

    return pages * resource.getpagesize()


def measure(cycle, warmup, rounds):
    for _ in range(warmup):
        cycle()
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    for _ in range(rounds):
        cycle()
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return traced_after - traced_before, rss_bytes() - rss_before


def test_ten_thousand_calls_do_not_grow_memory(sample_db):
    countable = [
        {"day": "2024-01-01", "label": "a", "amount": 1.5, "note": (1, 2)},
        {"day": "2024-01-02", "label": 7, "amount": 2**70, "big": 10**30},
    ]
    dropped = [{"label": "b", "amount": float("nan"), "when": None}] * 3
    # Read-only: each call converts, maps and applies its records, while the flush writes
    # nothing, so ten thousand rounds stay fast. Countable records take the error road.
    db = QuibDB.open(sample_db, "ro")

    def cycle():
        assert db.ingest_records(dropped).total_rows == 3
        db.stats()
        try:
            db.ingest_records(countable)
        except QuibError:
            pass
        try:
            db.ingest_records([{"day": "x"}, 5])
        except TypeError:
            pass

    traced, rss = measure(cycle, warmup=500, rounds=10_000)
    db.close()
    assert traced < 64 * 1024
    assert rss < 1024 * 1024


def test_writing_calls_do_not_grow_memory(sample_db):
    db = QuibDB.open(sample_db)
    records = [{"day": "2024-01-01", "label": "a", "amount": 1.5}] * 20

    def cycle():
        db.ingest_records(records)
        db.stats()
        db.schema()

    traced, rss = measure(cycle, warmup=50, rounds=300)
    db.close()
    assert traced < 64 * 1024
    assert rss < 1024 * 1024

"""Record conversion from arbitrary Python values: an ingest of records either succeeds or
raises QuibError, TypeError or ValueError, and the database opens afterwards either way."""

import shutil
import tempfile

import pytest

from quib_engine import QuibDB, QuibError

from conftest import SAMPLE_ROWS, write_csv

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies


class Text(str):
    pass


class Number(int):
    pass


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**80), max_value=2**80),
    st.builds(lambda e: 10**e, st.integers(min_value=300, max_value=500)),
    st.floats(allow_nan=True, allow_infinity=True),
    st.binary(max_size=8),
    # Lone surrogates included: they cannot be encoded as UTF-8.
    st.text(st.characters(exclude_categories=()), max_size=8),
    st.builds(Text, st.text(max_size=4)),
    st.builds(Number, st.integers(min_value=-5, max_value=5)),
    st.sampled_from(["2024-05-01", "2023-03-01T10:00:00", "a", "b", "12.5", "nan", "\ud800x"]),
)
KEYS = st.one_of(
    st.sampled_from(["day", "label", "amount", "other"]),
    st.text(st.characters(exclude_categories=()), max_size=4),
    st.builds(Text, st.sampled_from(["day", "label"])),
)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(KEYS, inner, max_size=3),
        st.tuples(inner, inner),
    ),
    max_leaves=6,
)
RECORDS = st.one_of(
    st.dictionaries(KEYS, VALUES, max_size=4),
    # Keys that are no texts, and records that are no dicts.
    st.dictionaries(st.one_of(st.integers(), st.none(), st.binary(max_size=2)), VALUES, max_size=2),
    SCALARS,
)


@pytest.fixture(scope="module")
def bases(tmp_path_factory):
    """Two closed databases to copy per example: a new one and one holding the sample rows."""
    root = tmp_path_factory.mktemp("bases")
    fresh = str(root / "fresh")
    QuibDB.create(fresh).close()
    sample = str(root / "sample")
    with QuibDB.create(sample) as db:
        db.ingest(write_csv(root / "sample.csv", ["day", "label", "amount"], SAMPLE_ROWS))
    return {"fresh": fresh, "sample": sample}


def stats_of(path):
    with QuibDB.open(path, "read_only") as db:
        return repr(db.stats())


@pytest.mark.parametrize("base", ["fresh", "sample"])
def test_any_records_ingest_or_fail_cleanly(bases, base):
    before = stats_of(bases[base])

    @hypothesis.settings(max_examples=40, deadline=None, database=None)
    @hypothesis.given(
        st.one_of(st.lists(RECORDS, max_size=4), st.tuples(RECORDS), RECORDS, st.none())
    )
    def ingest(records):
        with tempfile.TemporaryDirectory() as scratch:
            path = shutil.copytree(bases[base], scratch + "/db")
            failed = False
            with QuibDB.open(path) as db:
                try:
                    db.ingest_records(records)
                except (QuibError, TypeError, ValueError):
                    failed = True
            after = stats_of(path)
            if failed:
                assert after == before

    ingest()

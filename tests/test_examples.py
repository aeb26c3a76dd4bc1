"""The example scripts run as a user runs them, and what they print holds."""

import pathlib
import subprocess
import sys

from quib_engine import QuibDB

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_example(name, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True,
                          text=True, check=True, timeout=120)
    return done.stdout


def section(output, statement):
    """The table printed after `>>> statement`, as lines."""
    return output.split(f">>> {statement}\n", 1)[1].split("\n\n", 1)[0].splitlines()


def test_stored_schema_keeps_its_definitions_and_answers_mi_cmi_correlations(tmp_path):
    db_dir = tmp_path / "schema_db"
    output = run_example("stored_schema.py", str(db_dir))

    with QuibDB.open(str(db_dir), mode="read_only") as db:
        schema = db.schema()
        # Only the stored dimension: inference added nothing beside the stored definitions.
        assert [d["name"] for d in schema["dimensions"]] == ["time"]
        assert db.stats().distributions == 3 * 6
        # Every channel and basket counted; delay without its 334 empty cells.
        assert db.stats().total_samples == 3000 + 3000 + 2666
    assert not list((db_dir / "raw").glob("*"))
    assert "raw log files: none" in output

    mi = dict(line.split(None, 1) for line in section(output, "MI channel, basket AT time:2024-03")[2:])
    assert mi["Samples"].strip() == "500" and "Strength" in mi
    cmi = section(output, "CMI channel, delay GIVEN time")
    assert cmi[3].split()[:3] == ["Total", "samples", "2666"]
    assert [row.split()[0] for row in cmi[5:]] == [f"2024-0{m}" for m in range(1, 7)]
    correlations = section(output, "CORRELATIONS LIMIT 6")[2:]
    assert len(correlations) == 6
    shown = [float(row.split()[4]) for row in correlations]
    assert shown == sorted(shown, reverse=True)

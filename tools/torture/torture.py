"""Crash and fault torture of a database: kill its writers at random, fail their file calls.

Two runs, each trial followed by the same checks of the directory:
- kills: a child process creates a database, ingests records or ingests a file (several
  batches), and is sent SIGKILL at a random moment, or finishes first;
- faults: a child ingests records with the fault shim preloaded, so that the k-th write, fsync or
  rename under the database directory fails; the child then exits at once, as a crash after the
  error would, without closing its handle (closing would flush again and hide the damage).

After each trial the database must open read-write and read-only with equal stats; the counts
of every ingest that returned are there exactly once, and those of the interrupted one wholly or
not at all; each (variable, key) has one distribution; the raw log holds whole lines with
unique record ids. A further ingest of the same keys must not add distributions.

Usage: torture.py --shim fault_shim.so [--kills 300] [--fault-rounds 3] [--seed N] [--keep DIR]
The module quib_engine must be importable (PYTHONPATH).
"""

import argparse
import csv
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

VARIABLES = ("amount", "label")  # every row gives both a sample
LABELS = ("a", "b", "c")


def rows_for(keys, per_key, rng):
    rows = []
    for day, shop in keys:
        for _ in range(per_key):
            rows.append({"day": day, "shop": shop, "label": rng.choice(LABELS),
                         "amount": round(rng.uniform(0, 100), 2)})
    rng.shuffle(rows)
    return rows


def write_csv(path, rows):
    with open(path, "w", newline="") as handle:
        writer = csv.DictWriter(handle, ["day", "shop", "label", "amount"], lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


# ---- the child side: one action, then exit ----

def worker(action, db, argument, close):
    from quib_engine import QuibDB, QuibError

    if action == "create":
        QuibDB.create(db).close()
        return 0
    handle = QuibDB.open(db)
    try:
        if action == "records":
            with open(argument) as source:
                handle.ingest_records(json.load(source))
        elif action == "file":
            handle.ingest(argument, max_categories=3, date_columns=["day"],
                          date_granularity="daily")
    except QuibError:
        os._exit(3)  # as a crash right after the error: nothing more is written
    if close:
        handle.close()
    return 0


# ---- the driver side ----

class Expectation:
    """What the directory must hold: the counted keys and samples of the ingests that landed."""

    def __init__(self):
        self.keys = set()
        self.samples = 0

    def distributions(self):
        return len(self.keys) * len(VARIABLES)


class RawLogCheck:
    """Checks the raw log's new lines at each call: whole JSON lines, ids never seen before."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.ids = set()

    def check(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as handle:
            handle.seek(self.offset)
            tail = handle.read()
        problems = []
        repeated = 0
        if tail and not tail.endswith(b"\n"):
            problems.append("raw log ends inside a line")
            tail = tail[: tail.rfind(b"\n") + 1]
        for line in tail.splitlines():
            try:
                record = json.loads(line)
                record_id = record["record_id"]
                assert list(record) == ["payload", "record_id"]
            except (ValueError, KeyError, AssertionError, TypeError):
                problems.append(f"raw log line is not a record: {line[:80]!r}")
                continue
            repeated += record_id in self.ids
            self.ids.add(record_id)
        if repeated:
            problems.append(f"raw log repeats {repeated} record ids")
        self.offset += len(tail)
        return problems


class Torture:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = args.keep or tempfile.mkdtemp(prefix="quib_torture_")
        os.makedirs(self.work, exist_ok=True)
        self.db = os.path.join(self.work, "db")
        self.trials = 0
        self.kills = 0
        self.fired = 0
        self.faults = []
        self.next_day = 0
        self.expected = Expectation()
        self.split = 0  # distributions found beyond those expected, reported once
        self.durations = {}

    # A child running this file as a worker.
    def spawn(self, action, db, argument="", close=True, env=None):
        command = [sys.executable, os.path.abspath(__file__), "--worker", action, db, argument]
        if not close:
            command.append("--no-close")
        return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def new_keys(self, count):
        """Keys of new days; four or more cover every shop, so that a file's inference sees
        more shops than `max_categories` and keeps `shop` a dimension."""
        keys = []
        for i in range(count):
            self.next_day += 1
            day = time.strftime("%Y-%m-%d", time.gmtime(86400 * (self.next_day % 20000)))
            keys.append((day, f"shop{i % 4}"))
        return keys

    def some_keys(self, new):
        """Keys already counted (the stale-index case) and new ones (the index must grow)."""
        old = self.rng.sample(sorted(self.expected.keys), min(3, len(self.expected.keys)))
        return old + self.new_keys(new)

    def setup(self):
        shutil.rmtree(self.db, ignore_errors=True)
        rows = rows_for(self.new_keys(4), 5, self.rng)
        source = os.path.join(self.work, "setup.csv")
        write_csv(source, rows)
        for action, argument in (("create", ""), ("file", source)):
            child = self.spawn(action, self.db, argument)
            if child.wait() != 0:
                raise SystemExit(f"setup {action} failed: {child.stderr.read().decode()}")
        self.record_landed(rows)
        self.raw = RawLogCheck(os.path.join(self.db, "raw", "log_000001.raw"))
        self.raw.check()

    def record_landed(self, rows):
        self.expected.keys.update((row["day"], row["shop"]) for row in rows)
        self.expected.samples += len(rows) * len(VARIABLES)

    def stats(self, mode):
        from quib_engine import QuibDB

        with QuibDB.open(self.db, mode) as db:
            s = db.stats()
            return (s.distributions, s.total_samples)

    def check(self, label, rows_in_flight, returned):
        """The directory after a trial; `rows_in_flight` may or may not have landed."""
        problems = []
        try:
            read_write = self.stats("read_write")
            read_only = self.stats("read_only")
        except Exception as error:  # any failure to open is a finding
            self.faults.append(f"{label}: open failed: {error}")
            return False
        if read_only != read_write:
            problems.append(f"read-only stats {read_only} differ from read-write {read_write}")
        distributions, samples = read_write
        landed = samples != self.expected.samples
        if returned and rows_in_flight and not landed:
            problems.append("an ingest that returned left no counts")
        if landed:
            if rows_in_flight and samples == self.expected.samples + len(rows_in_flight) * 2:
                self.record_landed(rows_in_flight)
            else:
                problems.append(f"samples {samples}, expected {self.expected.samples}"
                                f" or {self.expected.samples + len(rows_in_flight or []) * 2}")
                self.expected.samples = samples
        if distributions != self.expected.distributions() + self.split:
            problems.append(f"{distributions} distributions, expected "
                            f"{self.expected.distributions()} (one per variable and key)")
            self.split = distributions - self.expected.distributions()
        problems += self.raw.check()
        for problem in problems:
            self.faults.append(f"{label}: {problem}")
        return not problems

    def ingest_trial(self, rows, action, close=True, env=None, kill=True):
        if action == "file":
            argument = os.path.join(self.work, "batch.csv")
            write_csv(argument, rows)
        else:
            argument = os.path.join(self.work, "batch.json")
            with open(argument, "w") as handle:
                json.dump(rows, handle)
        started = time.monotonic()
        child = self.spawn(action, self.db, argument, close=close, env=env)
        killed = False
        if kill:
            delay = self.rng.uniform(0, self.durations.get(action, 0.5) * 1.2)
            try:
                child.wait(timeout=delay)
            except subprocess.TimeoutExpired:
                child.send_signal(signal.SIGKILL)
                killed = True
        status = child.wait()
        if not killed and status == 0:
            self.durations[action] = time.monotonic() - started
        if status not in (0, 3, -signal.SIGKILL):
            self.faults.append(f"{action}: child exited {status}: "
                               f"{child.stderr.read().decode()[-300:]}")
        child.stderr.close()
        return killed, status

    def kill_run(self):
        for trial in range(self.args.kills):
            self.trials += 1
            choice = self.rng.random()
            if choice < 0.15:
                self.create_trial(trial)
                continue
            action = "file" if choice < 0.45 else "records"
            per_key = self.rng.randrange(2000, 6000) if action == "file" else 3
            new = 4 if action == "file" else self.rng.randrange(1, 4)
            rows = rows_for(self.some_keys(new), per_key, self.rng)
            killed, status = self.ingest_trial(rows, action)
            self.kills += killed
            self.check(f"kill trial {trial} ({action})", rows, status == 0)

    def create_trial(self, trial):
        """Kill a create of a fresh directory; creating again must give a working database."""
        fresh = os.path.join(self.work, "fresh")
        shutil.rmtree(fresh, ignore_errors=True)
        child = self.spawn("create", fresh)
        try:
            child.wait(timeout=self.rng.uniform(0, 0.4))
        except subprocess.TimeoutExpired:
            child.send_signal(signal.SIGKILL)
            self.kills += 1
        child.wait()
        child.stderr.close()
        again = self.spawn("create", fresh)
        if again.wait() != 0:
            self.faults.append(f"create trial {trial}: create again failed: "
                               f"{again.stderr.read().decode()[-300:]}")
        again.stderr.close()
        from quib_engine import QuibDB

        try:
            for mode in ("read_write", "read_only"):
                QuibDB.open(fresh, mode).close()
        except Exception as error:
            self.faults.append(f"create trial {trial}: open failed: {error}")

    def fault_run(self):
        fired_marker = os.path.join(self.work, "fired")
        for _ in range(self.args.fault_rounds):
            for op, errno_value in (("write", 28), ("fsync", 5), ("rename", 28)):
                k = 1
                while True:
                    if os.path.exists(fired_marker):
                        os.unlink(fired_marker)
                    env = dict(os.environ, LD_PRELOAD=self.args.shim, QUIB_FAULT_OP=op,
                               QUIB_FAULT_AT=str(k), QUIB_FAULT_DIR=os.path.abspath(self.db),
                               QUIB_FAULT_ERRNO=str(errno_value), QUIB_FAULT_FIRED=fired_marker)
                    rows = rows_for(self.some_keys(self.rng.randrange(1, 4)), 3, self.rng)
                    _, status = self.ingest_trial(rows, "records", close=False, env=env,
                                                  kill=False)
                    fired = os.path.exists(fired_marker)
                    self.trials += 1
                    self.fired += fired
                    self.check(f"fault {op} #{k}", rows, status == 0)
                    if not fired:
                        break
                    k += 1

    def run(self):
        self.setup()
        started = time.monotonic()
        self.kill_run()
        kill_trials, kills = self.trials, self.kills
        self.fault_run()
        print(f"kill run:  {kill_trials} trials, {kills} SIGKILLs")
        print(f"fault run: {self.trials - kill_trials} trials, {self.fired} injected failures")
        print(f"database:  {self.expected.distributions()} distributions, "
              f"{self.expected.samples} samples, {len(self.raw.ids)} raw-log records")
        print(f"faults:    {len(self.faults)}  ({time.monotonic() - started:.0f} s)")
        for fault in self.faults[:20]:
            print("  " + fault)
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        return 1 if self.faults else 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        action, db, argument = sys.argv[2:5]
        return worker(action, db, argument, "--no-close" not in sys.argv)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shim", required=True, help="the fault shim (a shared object)")
    parser.add_argument("--kills", type=int, default=300)
    parser.add_argument("--fault-rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", help="work in this directory and keep it")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    args.shim = os.path.abspath(args.shim)
    print(f"seed {args.seed}")
    return Torture(args).run()


if __name__ == "__main__":
    sys.exit(main())

"""Crash and fault torture of a database: kill its writers at random, fail their file calls.

Four runs, the first three with each trial followed by the same checks of the directory:
- kills: a child process creates a database, ingests records or ingests a file (several
  batches), and is sent SIGKILL at a random moment, or finishes first;
- faults: a child ingests records with the fault shim preloaded, so that the k-th write, fsync or
  rename under the database directory fails; the child then exits at once, as a crash after the
  error would, without closing its handle (closing would flush again and hide the damage);
- batch faults: the same failures in a file ingest of several batches and in a records ingest
  of several thousand rows, after which the child closes its handle, by `close()` or by leaving
  a `with` block, as a program that caught the error would; the same ingest then runs again
  without a fault, as the retry of a user who freed space, in a later open or, before closing,
  in the same handle;
- sweep: on a fresh database, a records ingest and a file ingest that adds a column, with the
  k-th write, fsync and rename under the directory failing for every k that the call makes;
  the child then leaves by `os._exit` whatever happened, without closing. An ingest that raised
  must leave the four record files byte for byte as before the call, one that returned the
  stats and schema of a run without a fault.

After each trial the database must open read-write and read-only with equal stats; the counts
of every ingest that returned are there exactly once, and those of the interrupted one wholly or
not at all; each (variable, key) has one distribution; the raw log holds whole lines with
unique record ids. A further ingest of the same keys must not add distributions. After a batch
fault, an ingest that raised has left nothing, unless closing failed too (then all or nothing);
after the retry every row of that ingest is counted exactly once. In the fault run, an ingest that
raised must have left nothing either, although its child never closed.

Usage: torture.py --shim fault_shim.so [--kills 300] [--fault-rounds 3] [--batch-faults 1]
                  [--sweeps 1] [--seed N] [--keep DIR]
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
# The failures injected, each with the errno it gives.
FAULT_OPS = (("write", 28), ("fsync", 5), ("rename", 28))
# The batch-fault ingests: a file of 9 keys (3 old, 6 new) of 5,000 rows is 45,000 rows, five
# batches of the module's 10,000; records go as one batch of 5 keys of 1,000 rows.
BATCH_FILE = (6, 5000)
BATCH_RECORDS = (2, 1000)
BATCH_SPREAD = 3  # calls before the flushes failed, at random
RECORD_FILES = ("meta.edb", "distributions.edb", "dist_index.edb", "snapshots.edb")


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
        writer = csv.DictWriter(handle, list(rows[0]), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


# ---- the child side: one action, then exit ----

def run_ingest(handle, action, argument):
    if action == "records":
        with open(argument) as source:
            handle.ingest_records(json.load(source))
    elif action == "file":
        handle.ingest(argument, max_categories=3, date_columns=["day"], date_granularity="daily")


def worker(action, db, argument, close, leave_at_once=False):
    from quib_engine import QuibDB, QuibError

    if action == "create":
        QuibDB.create(db).close()
        return 0
    handle = QuibDB.open(db)
    try:
        run_ingest(handle, action, argument)
    except QuibError:
        os._exit(3)  # as a crash right after the error: nothing more is written
    if leave_at_once:
        os._exit(0)
    if close:
        handle.close()
    return 0


def leaving_worker(action, db, argument, leave, outcome_path):
    """Ingests, then closes whatever happened, by `close()` or through a `with` block (`leave`
    "close" or "with"; "again" closes by `close()` after ingesting once more if the first call
    failed); writes which steps (open, ingest, again, close) raised, with their messages, to
    `outcome_path`."""
    from quib_engine import QuibDB, QuibError

    outcome = {}
    if leave == "with":
        step, failure = "open", None
        try:
            with QuibDB.open(db) as handle:
                step = "ingest"
                try:
                    run_ingest(handle, action, argument)
                except QuibError as error:
                    failure = error
                    raise
        except QuibError as error:
            if failure is not None:
                outcome["ingest"] = str(failure)
            if error is not failure:  # the flush of the block's exit raised
                outcome["open" if step == "open" else "close"] = str(error)
    else:
        try:
            handle = QuibDB.open(db)
        except QuibError as error:
            outcome["open"] = str(error)
        else:
            def attempt(step, call):
                try:
                    call()
                except QuibError as error:
                    outcome[step] = str(error)
                    return False
                return True

            ingest = lambda: run_ingest(handle, action, argument)  # noqa: E731
            if not attempt("ingest", ingest) and leave == "again":
                attempt("again", ingest)
            attempt("close", handle.close)
    with open(outcome_path, "w") as handle:
        json.dump(outcome, handle)
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
        self.fired_marker = os.path.join(self.work, "fired")
        self.outcome_path = os.path.join(self.work, "outcome.json")
        self.seen_path = os.path.join(self.work, "seen")
        self.batch_trials = 0
        self.batch_fired = 0
        self.sweep_trials = 0
        self.sweep_raised = 0
        self.sweep_disagree = 0

    # A child running this file as a worker.
    def spawn(self, action, db, argument="", close=True, env=None, leave=None, at_once=False):
        command = [sys.executable, os.path.abspath(__file__), "--worker", action, db, argument]
        if not close:
            command.append("--no-close")
        if at_once:
            command.append("--exit-at-once")
        if leave:
            command += ["--leave", leave, self.outcome_path]
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

    def observe(self, label):
        """The read-write stats (distributions, samples) of the directory, None when it does not
        open; a read-only open must see the same."""
        try:
            read_write = self.stats("read_write")
            read_only = self.stats("read_only")
        except Exception as error:  # any failure to open is a finding
            self.faults.append(f"{label}: open failed: {error}")
            return None
        if read_only != read_write:
            self.faults.append(f"{label}: read-only stats {read_only} differ from read-write "
                               f"{read_write}")
        return read_write

    def check(self, label, rows_in_flight, returned, raised=False):
        """The directory after a trial; `rows_in_flight` may or may not have landed, unless the
        ingest returned (then they must have) or raised (then they must not have)."""
        problems = []
        observed = self.observe(label)
        if observed is None:
            return False
        distributions, samples = observed
        landed = samples != self.expected.samples
        if returned and rows_in_flight and not landed:
            problems.append("an ingest that returned left no counts")
        if raised and landed:
            problems.append("an ingest that raised left counts behind")
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

    def ingest_trial(self, rows, action, close=True, env=None, kill=True, leave=None):
        if action == "file":
            argument = os.path.join(self.work, "batch.csv")
            write_csv(argument, rows)
        else:
            argument = os.path.join(self.work, "batch.json")
            with open(argument, "w") as handle:
                json.dump(rows, handle)
        started = time.monotonic()
        child = self.spawn(action, self.db, argument, close=close, env=env, leave=leave)
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
        return killed, status, argument

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
            killed, status, _ = self.ingest_trial(rows, action)
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

    def fault_env(self, op, k, errno_value, db=None):
        """The environment of a child whose k-th `op` under the database (`db` when given)
        fails."""
        if os.path.exists(self.fired_marker):
            os.unlink(self.fired_marker)
        return dict(os.environ, LD_PRELOAD=self.args.shim, QUIB_FAULT_OP=op,
                    QUIB_FAULT_AT=str(k), QUIB_FAULT_DIR=os.path.abspath(db or self.db),
                    QUIB_FAULT_ERRNO=str(errno_value), QUIB_FAULT_FIRED=self.fired_marker)

    def fault_run(self):
        for _ in range(self.args.fault_rounds):
            for op, errno_value in FAULT_OPS:
                k = 1
                while True:
                    env = self.fault_env(op, k, errno_value)
                    rows = rows_for(self.some_keys(self.rng.randrange(1, 4)), 3, self.rng)
                    _, status, _ = self.ingest_trial(rows, "records", close=False, env=env,
                                                     kill=False)
                    fired = os.path.exists(self.fired_marker)
                    self.trials += 1
                    self.fired += fired
                    self.check(f"fault {op} #{k}", rows, status == 0, raised=status == 3)
                    if not fired:
                        break
                    k += 1

    def batch_fault_run(self):
        """A big ingest makes hundreds of raw-log writes: of each kind of call, those of the
        last two flushes (the call's and the close's) and the two before them fail each in turn,
        and a few earlier ones at random, with the ways of closing and retrying taking turns. A first
        trial, where nothing fails, counts the calls."""
        for _ in range(self.args.batch_faults):
            for action, shape in (("file", BATCH_FILE), ("records", BATCH_RECORDS)):
                for op, errno_value in FAULT_OPS:
                    tail = 2 * self.flush_calls(op) + 2
                    calls = self.batch_fault_trial(action, shape, op, errno_value, 0)
                    early = range(1, max(1, calls - tail + 1))
                    chosen = self.rng.sample(early, min(BATCH_SPREAD, len(early)))
                    for k in sorted(chosen) + list(range(early.stop, calls + 1)):
                        self.batch_fault_trial(action, shape, op, errno_value, k)

    def counting_env(self, op, k, errno_value, db=None):
        """As fault_env; the child also tells how many calls of `op` it made."""
        for path in (self.outcome_path, self.seen_path):
            if os.path.exists(path):
                os.unlink(path)
        return dict(self.fault_env(op, k, errno_value, db), QUIB_FAULT_SEEN=self.seen_path)

    def calls_seen(self):
        with open(self.seen_path) as handle:
            return int(handle.read())

    def flush_calls(self, op):
        """How many calls of `op` one flush makes: a child opens the database and closes it."""
        child = self.spawn("nothing", self.db, env=self.counting_env(op, 0, 0), leave="close")
        child.wait()
        child.stderr.close()
        return self.calls_seen()

    def batch_fault_trial(self, action, shape, op, errno_value, k):
        """One call of a several-batch ingest whose k-th `op` fails (none when k is 0), closed
        after, then retried if it failed; gives the number of such calls the child made."""
        leave = ("close", "with", "again")[self.batch_trials % 3]
        label = f"batch fault {action} {op} #{k} ({leave})"
        new, per_key = shape
        rows = rows_for(self.some_keys(new), per_key, self.rng)
        samples = len(rows) * len(VARIABLES)
        keys = self.expected.keys | {(row["day"], row["shop"]) for row in rows}
        before = (self.expected.distributions() + self.split, self.expected.samples)
        every = (len(keys) * len(VARIABLES) + self.split, self.expected.samples + samples)
        env = self.counting_env(op, k, errno_value)
        _, status, argument = self.ingest_trial(rows, action, env=env, kill=False, leave=leave)
        self.batch_trials += 1
        self.batch_fired += os.path.exists(self.fired_marker)
        try:
            calls = self.calls_seen()
            with open(self.outcome_path) as handle:
                outcome = json.load(handle)
        except (OSError, ValueError):
            self.faults.append(f"{label}: the child left no outcome (exit status {status})")
            return 0
        # The call that counts is the retry in the same handle, when there was one.
        failed = "open" in outcome or "again" in outcome or (
            "ingest" in outcome and leave != "again")
        # A failed call leaves nothing behind; only when closing failed as well may the files
        # hold what open makes of a flush cut short, and that is still all of it or none.
        allowed = ([before, every] if "close" in outcome else [before]) if failed else [every]
        observed = self.observe(label)
        if observed is None:
            return calls
        if observed not in allowed:
            told = "; ".join(f"{step} raised: {message}" for step, message in outcome.items())
            if "ingest" in outcome and leave == "again" and "again" not in outcome:
                told += "; the same ingest again in that handle returned"
            self.faults.append(
                f"{label}: {(observed[1] - before[1]) // len(VARIABLES)} of {len(rows)} rows"
                f" counted, {observed[0] - before[0]} distributions added ({told or 'no error'})")
        elif observed == every:
            self.record_landed(rows)
        if failed:
            observed = self.retry(label, action, argument, rows)
        self.settle(label, observed)
        return calls

    def retry(self, label, action, argument, rows):
        """The same ingest again without a fault: it must return and count each row once,
        whatever the failed call did before."""
        from quib_engine import QuibDB, QuibError

        try:
            with QuibDB.open(self.db) as handle:
                run_ingest(handle, action, argument)
        except QuibError as error:
            self.faults.append(f"{label}: the retry raised: {error}")
        self.record_landed(rows)
        observed = self.observe(label + " retry")
        expected = (self.expected.distributions() + self.split, self.expected.samples)
        if observed is not None and observed != expected:
            self.faults.append(f"{label}: after the retry {observed[1]} samples in {observed[0]}"
                               f" distributions, expected {expected[1]} in {expected[0]}"
                               f" (each row counted once)")
        return observed

    def settle(self, label, observed):
        """Takes the directory as it is as what later trials build on, so that one finding is
        reported once; the raw log is checked as of now."""
        if observed is not None:
            distributions, self.expected.samples = observed
            self.split = distributions - self.expected.distributions()
        for problem in self.raw.check():
            self.faults.append(f"{label}: {problem}")

    # ---- the sweep: every position of a call, then os._exit ----

    def sweep_calls(self):
        """The two calls of the sweep, each as (action, rows): records of old and new keys, and a
        file whose extra column the ingest defines."""
        keys = self.new_keys(6)
        records = rows_for(keys[:2], 3, self.rng)
        widened = [dict(row, weather=self.rng.choice(("dry", "wet", "snow")))
                   for row in rows_for(keys[2:], 40, self.rng)]
        return (("records", records), ("file", widened))

    def sweep_state(self, db):
        """What a reader sees of `db`: stats and schema, through a read-only open."""
        from quib_engine import QuibDB

        with QuibDB.open(db, "read_only") as handle:
            s = handle.stats()
            return ((s.distributions, s.total_samples, s.variables, s.dimensions),
                    json.dumps(handle.schema(), sort_keys=True))

    def sweep_run(self):
        base = os.path.join(self.work, "sweep_base")
        trial_db = os.path.join(self.work, "sweep")
        for path in (base, trial_db):
            shutil.rmtree(path, ignore_errors=True)
        source = os.path.join(self.work, "sweep_setup.csv")
        write_csv(source, rows_for(self.new_keys(4), 5, self.rng))
        for action, argument in (("create", ""), ("file", source)):
            child = self.spawn(action, base, argument)
            if child.wait() != 0:
                raise SystemExit(f"sweep setup {action} failed: {child.stderr.read().decode()}")
            child.stderr.close()
        before = {name: open(os.path.join(base, name), "rb").read() for name in RECORD_FILES}
        for action, rows in self.sweep_calls():
            argument = os.path.join(self.work, f"sweep.{'csv' if action == 'file' else 'json'}")
            if action == "file":
                write_csv(argument, rows)
            else:
                with open(argument, "w") as handle:
                    json.dump(rows, handle)
            for op, errno_value in FAULT_OPS:
                calls, clean = self.sweep_trial(base, trial_db, action, argument, op,
                                                errno_value, 0, before, None)
                for k in range(1, calls + 1):
                    self.sweep_trial(base, trial_db, action, argument, op, errno_value, k,
                                     before, clean)

    def sweep_trial(self, base, db, action, argument, op, errno_value, k, before, clean):
        """One call on a fresh copy of `base` whose k-th `op` fails (none when k is 0), left by
        `os._exit`; gives the number of calls of `op` the call made and the state it left."""
        shutil.rmtree(db, ignore_errors=True)
        shutil.copytree(base, db)
        env = self.counting_env(op, k, errno_value, db)
        child = self.spawn(action, db, argument, close=False, env=env, at_once=k > 0)
        status = child.wait()
        child.stderr.close()
        label = f"sweep {action} {op} #{k}"
        if k == 0:
            if status != 0:
                raise SystemExit(f"{label}: the call without a fault failed ({status})")
            return self.calls_seen(), self.sweep_state(db)
        self.sweep_trials += 1
        self.sweep_raised += status == 3
        now = {name: open(os.path.join(db, name), "rb").read() for name in RECORD_FILES}
        state = None
        try:
            state = self.sweep_state(db)
        except Exception as error:  # any failure to open is a finding
            problem = f"open failed: {error}"
        else:
            if status == 3:
                problem = None if now == before else "raised, yet the files changed: " + ", ".join(
                    name for name in RECORD_FILES if now[name] != before[name])
            elif status == 0:
                problem = None if state == clean else f"returned, yet left {state[0]}, " \
                    f"not {clean[0]} as without a fault"
            else:
                problem = f"child exited {status}"
        if problem:
            self.sweep_disagree += 1
            self.faults.append(f"{label}: {problem}")
        return 0, state

    def run(self):
        self.setup()
        started = time.monotonic()
        self.kill_run()
        kill_trials, kills = self.trials, self.kills
        self.fault_run()
        fault_trials = self.trials - kill_trials
        faults_before = len(self.faults)
        self.batch_fault_run()
        batch_faults = len(self.faults) - faults_before
        for _ in range(self.args.sweeps):
            self.sweep_run()
        print(f"kill run:  {kill_trials} trials, {kills} SIGKILLs")
        print(f"fault run: {fault_trials} trials, {self.fired} injected failures")
        print(f"batch run: {self.batch_trials} trials, {self.batch_fired} injected failures, "
              f"{batch_faults} faults (each failed ingest retried)")
        print(f"sweep run: {self.sweep_trials} trials, {self.sweep_raised} raised, "
              f"{self.sweep_disagree} leaving files that disagree with the outcome")
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
        if "--leave" in sys.argv:
            at = sys.argv.index("--leave")
            return leaving_worker(action, db, argument, *sys.argv[at + 1:at + 3])
        return worker(action, db, argument, "--no-close" not in sys.argv,
                      "--exit-at-once" in sys.argv)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shim", required=True, help="the fault shim (a shared object)")
    parser.add_argument("--kills", type=int, default=300)
    parser.add_argument("--fault-rounds", type=int, default=3)
    parser.add_argument("--batch-faults", type=int, default=1,
                        help="rounds of faults in several-batch ingests, each closed and retried")
    parser.add_argument("--sweeps", type=int, default=1,
                        help="rounds of the sweep of every failing position, left by os._exit")
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

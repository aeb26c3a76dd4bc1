#!/usr/bin/env bash
# Every benchmark whose figures README.md and bench/README.md quote, one after the other, at the
# sizes they quote, with the machine's load average before, between and after. Takes the module
# and the peers the interpreter finds (`make bench-all` installs both first; PYTHONPATH reaches
# the children). PYTHON picks the interpreter.
set -euo pipefail
PYTHON=${PYTHON:-python3}
cd "$(dirname "$0")/.."
start=$(date +%s)
stamp() { echo "== $1: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(cut -d' ' -f1-3 /proc/loadavg | sed 's/ / \/ /g') load average, $(( $(date +%s) - start )) s in"; }
stamp "start"
"$PYTHON" -c 'import quib_engine; print("module:", quib_engine.__file__)'
"$PYTHON" bench/ingest.py --rows 1000000 --workers --repeat 5
stamp "ingestion done"
"$PYTHON" bench/ingest.py --many 100000,1000000 --repeat 3
stamp "many distributions done"
"$PYTHON" bench/query.py --section statements --repeat 5
stamp "query statements done"
"$PYTHON" bench/query.py --section scale --repeat 3
stamp "end"

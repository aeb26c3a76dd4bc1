"""Deterministic sales-like data for the ingestion benchmark, as CSV and JSON lines.

Rows are drawn in fixed blocks, each from its own seed, so a smaller file is
always a prefix of a larger one: every size infers the same schema from its
leading rows.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import polars as pl

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20240607
BLOCK_ROWS = 100_000

# What inference makes of each column; the peers count the same things.
DIMENSIONS = ["region", "date"]
CONTINUOUS = ["price", "temperature", "discount", "delivery_hours"]
CATEGORICAL = ["channel", "product"]

# 12 places x 5 quarters = 60 regions: above the category limit of 50, so
# inference leaves the column a plain dimension.
_PLACES = ["Ashford", "Brookvale", "Cedar Point", "Dunmore", "Eastwick", "Fairhaven",
           "Glenrock", "Harrow", "Ironbridge", "Juniper", "Kingsbury", "Lakeside"]
_QUARTERS = ["North", "South", "East", "West", "Central"]
REGIONS = [f"{q} {p}" for p in _PLACES for q in _QUARTERS]

CHANNELS = ["web", "store", "phone", "partner", "app", "kiosk"]
PRODUCTS = ["books", "music", "films", "games", "toys", "garden", "tools", "paint",
            "lighting", "kitchen", "bedding", "bath", "furniture", "rugs", "office",
            "laptops", "phones", "tablets", "cameras", "audio", "tv", "appliances",
            "bikes", "camping", "fitness", "running", "swimming", "pets", "baby",
            "beauty", "grocery", "wine"]

FIRST_DAY = np.datetime64("2023-01-01")
DAYS = 731  # 2023-01-01 .. 2024-12-31

_DATES = pl.Series("date", (FIRST_DAY + np.arange(DAYS)).astype(str))
_REGIONS = pl.Series("region", REGIONS)
# The query benchmark's form of the same rows: the date column is named "time" (the dimension
# that TRACK follows) and region names hold no blank, so that a statement can name them.
_QUERY_REGIONS = pl.Series("region", [r.replace(" ", "-") for r in REGIONS])
_CHANNELS = pl.Series("channel", CHANNELS)
_PRODUCTS = pl.Series("product", PRODUCTS)


def _weights(n, skew):
    w = 1.0 / (np.arange(n) + skew)
    return w / w.sum()


_REGION_P = _weights(len(REGIONS), 10.0)
_CHANNEL_P = np.array([0.38, 0.27, 0.12, 0.10, 0.09, 0.04])
_PRODUCT_P = _weights(len(PRODUCTS), 8.0)
_DATE_P = np.linspace(1.0, 1.5, DAYS)  # business grows over the two years
_DATE_P /= _DATE_P.sum()
# Fixed per-region and per-product offsets give the groups different shapes.
_REGION_TEMP = np.random.default_rng(SEED).normal(0.0, 4.0, len(REGIONS))
_PRODUCT_LOGPRICE = np.random.default_rng(SEED + 1).normal(3.2, 0.7, len(PRODUCTS))


def block(index, keep=BLOCK_ROWS, query_form=False):
    """The first `keep` rows of block `index` as a DataFrame (in the query form when asked)."""
    rows = BLOCK_ROWS  # always draw a whole block, so a shorter file is a prefix of a longer one
    rng = np.random.default_rng([SEED, index])
    region = rng.choice(len(REGIONS), rows, p=_REGION_P)
    day = rng.choice(DAYS, rows, p=_DATE_P)
    channel = rng.choice(len(CHANNELS), rows, p=_CHANNEL_P)
    product = rng.choice(len(PRODUCTS), rows, p=_PRODUCT_P)
    price = np.round(rng.lognormal(_PRODUCT_LOGPRICE[product], 0.6), 2)
    season = 9.0 * np.sin(2 * np.pi * (day - 100) / 365.25)
    temperature = np.round(rng.normal(14.0 + season + _REGION_TEMP[region], 4.0), 1)
    discount = np.round(rng.uniform(0.0, 0.35, rows), 3)
    # Mostly exponential, with a Pareto tail of late deliveries.
    hours = rng.exponential(30.0, rows)
    late = rng.random(rows) < 0.03
    hours[late] += 48.0 * (rng.pareto(2.0, int(late.sum())) + 1.0)
    delivery_hours = np.round(hours + 0.25, 2)
    return pl.DataFrame([
        (_QUERY_REGIONS if query_form else _REGIONS).gather(region),
        _DATES.gather(day).alias("time" if query_form else "date"),
        _CHANNELS.gather(channel), _PRODUCTS.gather(product),
        pl.Series("price", price), pl.Series("temperature", temperature),
        pl.Series("discount", discount), pl.Series("delivery_hours", delivery_hours),
    ]).head(keep)


def path_for(rows, fmt, query_form=False):
    return DATA_DIR / f"sales_{rows}{'_query' if query_form else ''}.{fmt}"


def write(rows, fmt, query_form=False):
    """Writes the file of `rows` rows in format csv or jsonl; returns its path."""
    path = path_for(rows, fmt, query_form)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".partial")
    with open(partial, "wb") as out:
        for index, start in enumerate(range(0, rows, BLOCK_ROWS)):
            df = block(index, min(BLOCK_ROWS, rows - start), query_form)
            if fmt == "csv":
                df.write_csv(out, include_header=index == 0)
            else:
                df.write_ndjson(out)
    partial.rename(path)
    return path


def ensure(rows, fmt, query_form=False):
    """The file of `rows` rows, written first when it is missing."""
    path = path_for(rows, fmt, query_form)
    return path if path.exists() else write(rows, fmt, query_form)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, action="append",
                        help="rows per file (repeatable; default 100k, 1M and 5M)")
    parser.add_argument("--format", choices=["csv", "jsonl", "both"], default="both")
    parser.add_argument("--query-form", action="store_true",
                        help="date column named time, regions without blanks (bench/query.py)")
    args = parser.parse_args()
    formats = ["csv", "jsonl"] if args.format == "both" else [args.format]
    for rows in args.rows or [100_000, 1_000_000, 5_000_000]:
        for fmt in formats:
            path = write(rows, fmt, args.query_form)
            print(f"{path}  {path.stat().st_size / 1e6:.1f} MB", file=sys.stderr)


if __name__ == "__main__":
    main()

"""Writes examples/sales.csv: two years of store sales, reproducible from a fixed seed.

Prices depend on the category and the region, and electronics get cheaper in the second year,
so the sample has differences worth finding.
"""

import csv
import datetime
import pathlib
import random

REGIONS = {"north": 1.00, "south": 0.92, "east": 1.05, "west": 1.12, "central": 0.97, "coast": 1.18}
CATEGORIES = {"grocery": (12.0, 0.45), "apparel": (45.0, 0.5), "electronics": (220.0, 0.6)}
CATEGORY_WEIGHTS = [0.5, 0.3, 0.2]
START = datetime.date(2023, 1, 1)
DAYS = 730
ROWS = 2000


def main() -> None:
    rng = random.Random(20240601)
    out = pathlib.Path(__file__).with_name("sales.csv")
    rows = []
    for _ in range(ROWS):
        day = START + datetime.timedelta(days=rng.randrange(DAYS))
        region = rng.choice(list(REGIONS))
        category = rng.choices(list(CATEGORIES), weights=CATEGORY_WEIGHTS)[0]
        median, spread = CATEGORIES[category]
        if category == "electronics" and day.year == 2024:
            median *= 0.8
        price = median * REGIONS[region] * rng.lognormvariate(0.0, spread)
        units = 1 + min(9, int(rng.expovariate(0.6 if category == "grocery" else 1.2)))
        rows.append([day.isoformat(), region, category, f"{price:.2f}", units])
    rows.sort(key=lambda row: row[0])
    with out.open("w", newline="") as handle:
        writer = csv.writer(handle, lineterminator="\n")
        writer.writerow(["time", "region", "category", "price", "units"])
        writer.writerows(rows)


if __name__ == "__main__":
    main()

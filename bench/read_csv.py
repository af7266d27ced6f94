"""CSV reading, side by side: vorpel.read_csv against pyarrow, polars and DuckDB.

The input is an order export generated deterministically (8 typed columns:
int64 ids, ISO dates, '%d/%m/%Y %H:%M:%S' timestamps, decimal(2) amounts,
float64 prices, true/false flags, a 5-value region, a free-text note with
quoted commas, doubled quotes and line breaks). Each reader runs in a fresh
process of its own, so its peak RSS is its own; wall time is the best of
`--runs` reads inside that process, peak RSS is the process's maximum minus
its RSS before the first read.

    python bench/read_csv.py                     # 3M rows
    python bench/read_csv.py --rows 30000000     # the 10x file
    python bench/read_csv.py --only vorpel       # one side
"""

from __future__ import annotations

import os

# numpy's BLAS threads spin on the second core after import; on a two-core
# machine they would steal time from the reader measured in this process.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

SEED = 20261208
REGIONS = ["north", "south", "east", "west", "central"]
WORDS = ["alpha", "beta", "gamma", "delta", "quick", "brown", "fox", "lazy", "dog", "über", "naïve", "café"]
TYPES = {"id": "int64", "day": "date32", "placed": "timestamp[s,format=%d/%m/%Y %H:%M:%S]", "amount": "decimal128(2)",
         "price": "float64", "paid": "bool", "region": "dictionary", "note": "string"}


def generate(path: Path, rows: int) -> None:
    """Writes the order export in pieces of 1M rows."""
    rng = np.random.default_rng(SEED)
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(",".join(TYPES) + "\n")
        for start in range(0, rows, 1_000_000):
            n = min(1_000_000, rows - start)
            ids = np.arange(start, start + n) * 7919 + 10_000_000_000
            days = np.datetime64("2015-01-01") + rng.integers(0, 4000, n).astype("timedelta64[D]")
            seconds = rng.integers(0, 86400 * 4000, n)
            placed = np.datetime64("2015-01-01T00:00:00") + seconds.astype("timedelta64[s]")
            iso = np.datetime_as_string(placed, unit="s")
            # YYYY-MM-DDTHH:MM:SS -> DD/MM/YYYY HH:MM:SS
            placed_text = np.char.add(np.char.add(np.char.add(np.char.add(
                np.char.add(np.char.add([s[8:10] for s in iso], "/"), [s[5:7] for s in iso]), "/"),
                [s[0:4] for s in iso]), " "), [s[11:19] for s in iso])
            amounts = rng.integers(-100_000, 10_000_000, n)
            amount_text = [f"{a // 100}.{a % 100:02d}" for a in amounts]
            prices = np.round(rng.lognormal(3, 1.5, n), 4).tolist()
            paid = np.where(rng.random(n) < 0.7, "true", "false")
            region = np.array(REGIONS)[rng.integers(0, len(REGIONS), n)]
            word_idx = rng.integers(0, len(WORDS), (n, 4))
            kind = rng.random(n)
            lines = []
            for i in range(n):
                w = WORDS
                note = f"{w[word_idx[i, 0]]} {w[word_idx[i, 1]]} {w[word_idx[i, 2]]}"
                k = kind[i]
                if k < 0.1:
                    note = f'"{note}, {w[word_idx[i, 3]]}"'
                elif k < 0.13:
                    note = f'"{note}\n{w[word_idx[i, 3]]} ""quoted"""'
                elif k < 0.15:
                    note = ""
                lines.append(f"{ids[i]},{days[i]},{placed_text[i]},{amount_text[i]},{prices[i]!r},{paid[i]},"
                             f"{region[i]},{note}\n")
            out.write("".join(lines))


# ---------------------------------------------------------------- one side, in its own process

def run_side(side: str, path: str, runs: int, threads: int) -> dict:
    import pyarrow as pa

    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    if side.startswith("vorpel"):
        import vorpel
        engine = side.split(":", 1)[1] if ":" in side else "parallel"
        read = lambda: vorpel.read_csv(path, types=TYPES, engine=engine, threads=threads)  # noqa: E731
    elif side == "pyarrow":
        import pyarrow.csv as pcsv
        types = {"id": pa.int64(), "day": pa.date32(), "placed": pa.timestamp("s"), "amount": pa.decimal128(38, 2),
                 "price": pa.float64(), "paid": pa.bool_(), "region": pa.dictionary(pa.int32(), pa.string()),
                 "note": pa.string()}
        convert = pcsv.ConvertOptions(column_types=types, timestamp_parsers=["%d/%m/%Y %H:%M:%S"])
        parse = pcsv.ParseOptions(newlines_in_values=True)
        pa.set_cpu_count(threads)
        read = lambda: pcsv.read_csv(path, parse_options=parse, convert_options=convert)  # noqa: E731
    elif side == "polars":
        os.environ["POLARS_MAX_THREADS"] = str(threads)
        import polars as pl
        schema = {"id": pl.Int64, "day": pl.Date, "placed": pl.String, "amount": pl.Decimal(38, 2),
                  "price": pl.Float64, "paid": pl.Boolean, "region": pl.Categorical, "note": pl.String}

        def read():
            df = pl.read_csv(path, schema=schema)
            return df.with_columns(pl.col("placed").str.to_datetime("%d/%m/%Y %H:%M:%S", strict=True,
                                                                    time_unit="ms")).to_arrow()
    elif side == "duckdb":
        import duckdb
        con = duckdb.connect()
        con.execute(f"SET threads={threads}")
        cols = ("{'id': 'BIGINT', 'day': 'DATE', 'placed': 'TIMESTAMP', 'amount': 'DECIMAL(38,2)', "
                "'price': 'DOUBLE', 'paid': 'BOOLEAN', 'region': 'VARCHAR', 'note': 'VARCHAR'}")
        sql = (f"SELECT * FROM read_csv('{path}', header=true, columns={cols}, "
               "timestampformat='%d/%m/%Y %H:%M:%S')")
        read = lambda: con.sql(sql).to_arrow_table()  # noqa: E731
    else:
        raise SystemExit(f"unknown side {side}")
    base = rss()
    best = float("inf")
    rows = out_bytes = 0
    for _ in range(runs):
        t0 = time.perf_counter()
        table = read()
        best = min(best, time.perf_counter() - t0)
        rows, out_bytes = table.num_rows, table.get_total_buffer_size()
        del table
    with open("/proc/self/status") as f:  # VmHWM starts anew at exec, unlike ru_maxrss
        peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    return {"side": side, "seconds": best, "rows": rows, "peak_mb": (peak - base) / 2**20, "out_mb": out_bytes / 2**20}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=3_000_000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--only", action="append")
    parser.add_argument("--dir", default="build/bench-data")
    parser.add_argument("--side", help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        print(json.dumps(run_side(args.side, args.path, args.runs, args.threads)))
        return 0
    path = Path(args.dir) / f"orders-{args.rows}.csv"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"# generating {path}", flush=True)
        generate(path.with_suffix(".tmp"), args.rows)
        path.with_suffix(".tmp").rename(path)
    size_mb = path.stat().st_size / 1e6
    sides = ["vorpel:columnar", "vorpel:stream", "vorpel:parallel", "pyarrow", "polars", "duckdb"]
    sides = [s for s in sides if not args.only or any(o in s for o in args.only)]
    print(f"# {path} ({size_mb:.0f} MB, {args.rows} rows), {args.threads} threads, best of {args.runs}")
    print(f"{'reader':<18} {'seconds':>8} {'MB/s':>7} {'peak MiB':>8} {'table MiB':>9}")
    for side in sides:
        out = subprocess.run([sys.executable, __file__, "--side", side, "--path", str(path), "--runs", str(args.runs),
                              "--threads", str(args.threads)], capture_output=True, text=True)
        if out.returncode != 0:
            print(f"{side:<18} failed: {out.stderr.strip().splitlines()[-1] if out.stderr.strip() else out.returncode}")
            continue
        r = json.loads(out.stdout)
        print(f"{side:<18} {r['seconds']:>8.3f} {size_mb / r['seconds']:>7.0f} {r['peak_mb']:>8.0f} {r['out_mb']:>9.0f}",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

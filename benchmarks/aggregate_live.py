"""Live bars, one trade at a time: ``tarnwick.bars.Aggregator.update`` against
a plain-Python aggregator written the way users write one (a class with
fields, an if on the bucket) and against constructing one ``BarData``.

    ./run bench --aggregate-live [--results FILE]
    python benchmarks/aggregate_live.py [--rounds N] [--trades N] [--results FILE]

Streams (one-minute time bars in UTC, so that the plain aggregator's
arithmetic is the whole rule): "quiet", trades a few milliseconds apart, so
that no update completes a bar; "closing", trades a minute apart, so that
every update completes one.  Each cell runs the stream through a fresh
aggregator in a Python loop, timed in thread CPU time, less the same loop
with an empty body; each round runs every cell once in a fresh random order,
and a ratio is the median of the per-round ratios.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

from results_file import circumstances, replace_section, source_state

DEFAULT_TRADES = 20_000
DEFAULT_ROUNDS = 15
START = 1_717_200_000.0  # 2024-06-01 00:00 UTC, on a minute boundary
SPAN = 60


class PlainAggregator:
    """One-minute bars of one ticker as a user writes them in Python."""

    def __init__(self, ticker: str, span: int) -> None:
        from tarnwick.base.candlestick import BarData

        self.bar_class = BarData
        self.ticker = ticker
        self.span = span
        self.bucket: float | None = None
        self.open = self.high = self.low = self.close = 0.0
        self.volume = self.notional = 0.0
        self.count = 0

    def update(self, time: float, price: float, size: float) -> tuple:
        bucket = time - time % self.span
        if bucket == self.bucket:
            if price > self.high:
                self.high = price
            elif price < self.low:
                self.low = price
            self.close = price
            self.volume += size
            self.notional += price * size
            self.count += 1
            return ()
        done = () if self.bucket is None else (self.bar(),)
        self.bucket = bucket
        self.open = self.high = self.low = self.close = price
        self.volume, self.notional, self.count = size, price * size, 1
        return done

    def bar(self):
        assert self.bucket is not None
        return self.bar_class(self.ticker, self.bucket + self.span, self.high, self.low, self.open, self.close,
                              volume=self.volume, notional=self.notional, trade_count=self.count,
                              bar_span=self.span)


def streams(count: int, seed: int = 7) -> dict[str, list[tuple[float, float, float]]]:
    """The trades of each stream: (time, price, size), a random walk."""
    rng = random.Random(seed)
    prices = [100.0]
    for _ in range(count - 1):
        prices.append(prices[-1] * (1 + rng.gauss(0.0, 0.0005)))
    sizes = [float(rng.randint(1, 500)) for _ in range(count)]
    quiet_step = SPAN / (count + 1)  # the whole stream inside one bucket
    return {
        "quiet": [(START + i * quiet_step, p, s) for i, (p, s) in enumerate(zip(prices, sizes))],
        "closing": [(START + i * SPAN, p, s) for i, (p, s) in enumerate(zip(prices, sizes))],
    }


def feed(make: Callable[[], Callable[[float, float, float], object]], trades: list) -> float:
    """Seconds of thread CPU time to feed ``trades`` to a fresh aggregator's update."""
    update = make()
    started = time.thread_time()
    for t, p, s in trades:
        update(t, p, s)
    return time.thread_time() - started


def construct(trades: list) -> float:
    """Seconds to construct one ``BarData`` per trade, as the main table does (keywords)."""
    from tarnwick.base.candlestick import BarData

    started = time.thread_time()
    for t, p, s in trades:
        BarData("ABC", t, p, p, p, p, volume=s, notional=p * s, bar_span=60)
    return time.thread_time() - started


def empty_loop(trades: list) -> float:
    started = time.thread_time()
    for t, p, s in trades:
        pass
    return time.thread_time() - started


def cells(trades: dict[str, list]) -> dict[str, Callable[[], float]]:
    from tarnwick.bars import Aggregator

    def ours() -> Callable:
        return Aggregator(span=SPAN, tz="UTC", ticker="ABC").update

    def plain() -> Callable:
        return PlainAggregator("ABC", SPAN).update

    out: dict[str, Callable[[], float]] = {}
    for stream, rows in trades.items():
        out[f"tarnwick {stream}"] = lambda rows=rows: feed(ours, rows)
        out[f"plain {stream}"] = lambda rows=rows: feed(plain, rows)
    out["BarData(...)"] = lambda: construct(trades["quiet"])
    out["empty"] = lambda: empty_loop(trades["quiet"])
    return out


def check_agreement(trades: dict[str, list]) -> None:
    """Ours and the plain aggregator make the same bars from the closing stream."""
    from tarnwick.bars import Aggregator

    ours, plain = Aggregator(span=SPAN, tz="UTC", ticker="ABC"), PlainAggregator("ABC", SPAN)
    for row in trades["closing"][:1000]:
        a, b = ours.update(*row), plain.update(*row)
        assert [bytes(memoryview(x)) for x in a] == [bytes(memoryview(x)) for x in b], (row, a, b)


def measure(count: int, rounds: int) -> dict[str, list[float]]:
    """Per-round nanoseconds per trade of each cell, the empty loop subtracted."""
    trades = streams(count)
    check_agreement(trades)
    table = cells(trades)
    for run in table.values():  # warm up
        run()
    samples: dict[str, list[float]] = {name: [] for name in table}
    order = random.Random(20240601)
    names = list(table)
    for round_no in range(rounds):
        order.shuffle(names)
        taken = {name: table[name]() for name in names}
        for name, seconds in taken.items():
            if name != "empty":
                samples[name].append((seconds - taken["empty"]) / count * 1e9)
        print(f"round {round_no + 1}/{rounds} done", file=sys.stderr, flush=True)
    del samples["empty"]
    return samples


def ratio(samples: dict[str, list[float]], a: str, b: str, minus: str | None = None) -> float:
    """Median over rounds of a's time (less ``minus``'s, if given) over b's."""
    pairs = []
    for i, over in enumerate(samples[b]):
        mine = samples[a][i] - (samples[minus][i] if minus else 0.0)
        pairs.append(mine / over)
    return statistics.median(pairs)


def spread(values: list[float]) -> str:
    """The interquartile range as a share of the median."""
    quartiles = statistics.quantiles(values, n=4)
    return f"±{(quartiles[2] - quartiles[0]) / 2 / statistics.median(values):.0%}"


def render(samples: dict[str, list[float]], count: int, rounds: int) -> str:
    medians = {name: statistics.median(values) for name, values in samples.items()}
    lines = [f"Live one-minute bars, {count:,} trades per stream; ns per trade (thread CPU time, the loop's own "
             f"cost subtracted), medians of {rounds} interleaved rounds. {circumstances()}; {source_state()}.", "",
             "| stream | tarnwick `update` | plain Python | tarnwick / plain |", "|---|---|---|---|"]
    for stream in ("quiet", "closing"):
        ours, plain = f"tarnwick {stream}", f"plain {stream}"
        lines.append(f"| {stream} | {medians[ours]:.1f} {spread(samples[ours])} | "
                     f"{medians[plain]:.1f} {spread(samples[plain])} | "
                     f"{ratio(samples, f'tarnwick {stream}', f'plain {stream}'):.2f}× |")
    update = ratio(samples, "tarnwick quiet", "BarData(...)")
    emit = ratio(samples, "tarnwick closing", "BarData(...)", minus="tarnwick quiet")
    lines += ["", f"`BarData(...)` (keywords): {medians['BarData(...)']:.1f} ns.", "",
              "| measure | ratio to `BarData(...)` | target | met |", "|---|---|---|---|",
              f"| one `update(t, p, s)` that completes no bar | {update:.2f}× | ≤ 1× | {'yes' if update <= 1 else '**no**'} |",
              f"| what completing a bar adds to an update | {emit:.2f}× | ≤ 1× | {'yes' if emit <= 1 else '**no**'} |"]
    return "\n".join(lines)


def run(count: int, rounds: int, results: Path | None) -> None:
    samples = measure(count, rounds)
    text = render(samples, count, rounds)
    print(text)
    if results:
        replace_section(results, "## Live aggregation", text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--trades", type=int, default=DEFAULT_TRADES, help="trades per stream")
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS, help="interleaved rounds")
    parser.add_argument("--results", type=Path, help="also write the section to this Markdown file")
    args = parser.parse_args()
    run(args.trades, args.rounds, args.results)


if __name__ == "__main__":
    main()

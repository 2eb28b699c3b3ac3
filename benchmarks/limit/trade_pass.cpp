// The limit of bars from trades: one plain pass over three columns (time,
// price, size) that builds one-minute bars, or bars of a fixed volume or
// notional with trades split across them, and does nothing else (no zone,
// no checks, no records).  benchmarks/aggregate.py compiles it as a shared
// library and calls it through ctypes, so that it reads the same arrays in
// memory as everyone else.
//
// Each function writes one bar per row of `out` (open, high, low, close,
// volume: five doubles a bar) and returns the number of bars.

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

struct Bar {
    double open, high, low, close, volume;
};

void start(Bar& bar, double price, double volume) {
    bar = {price, price, price, price, volume};
}

void add(Bar& bar, double price, double volume) {
    bar.high = price > bar.high ? price : bar.high;
    bar.low = price < bar.low ? price : bar.low;
    bar.close = price;
    bar.volume += volume;
}

// Bars that close when `filled` (volume, or notional for `value`) reaches `threshold`.
std::size_t fixed_bars(const double* prices, const double* sizes, std::size_t count, double threshold, bool value,
                       Bar* out) {
    std::size_t bars = 0;
    Bar bar{};
    bool open = false;
    double filled = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double price = prices[i];
        const double per_unit = value ? price : 1.0;
        double rest = sizes[i];
        while (rest > 0.0) {
            const double room = (threshold - filled) / per_unit;
            const double part = rest < room ? rest : room;
            if (!open) {
                start(bar, price, part);
                open = true;
            } else {
                add(bar, price, part);
            }
            filled += part * per_unit;
            rest -= part;
            if (filled >= threshold) {
                out[bars++] = bar;
                open = false;
                filled = 0.0;
            }
        }
    }
    if (open) out[bars++] = bar;
    return bars;
}

}  // namespace

extern "C" {

std::size_t minute_bars(const double* times, const double* prices, const double* sizes, std::size_t count,
                        double* out) {
    Bar* bars = reinterpret_cast<Bar*>(out);
    std::size_t made = 0;
    std::int64_t minute = INT64_MIN;
    for (std::size_t i = 0; i < count; ++i) {
        const auto now = static_cast<std::int64_t>(std::floor(times[i] / 60.0));
        if (now != minute) {
            minute = now;
            start(bars[made++], prices[i], sizes[i]);
        } else {
            add(bars[made - 1], prices[i], sizes[i]);
        }
    }
    return made;
}

std::size_t volume_bars(const double* prices, const double* sizes, std::size_t count, double threshold, double* out) {
    return fixed_bars(prices, sizes, count, threshold, false, reinterpret_cast<Bar*>(out));
}

std::size_t value_bars(const double* prices, const double* sizes, std::size_t count, double threshold, double* out) {
    return fixed_bars(prices, sizes, count, threshold, true, reinterpret_cast<Bar*>(out));
}

}  // extern "C"

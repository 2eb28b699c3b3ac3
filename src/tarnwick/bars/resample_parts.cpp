// Resampling on every core (resample_pass.hpp): the records cut into ranges
// that threads pass over apart (resample_pass.cpp), then each ticker's series
// joined, range after range, into what one pass over all the records gives,
// byte for byte.  It stands for this Python:
//
//     ranges = pool.map(pass_over, cut(records))          # each: series per ticker
//     joined = {}
//     for series_of_range in ranges:                      # in file order
//         for ticker, part in series_of_range.items():    # in order of first appearance
//             joined.setdefault(ticker, Series()).join(part)
//     return concatenation of each joined series' bars
//
// A bucket may span a cut: a range that is not the first keeps the records of
// each ticker's first bucket (its Head) without adding them up, and the join
// adds them, in order, to the bucket the ranges before left open, or opens
// that bucket with them (sums of doubles depend on their order).  A ticker's
// first bar in a range must start after its last bar before the range ends:
// the join checks what the range could not.
//
// A range that refuses a record or needs more of the zone table, or a join
// that fails, is settled by one pass over all the records: it finds the
// earliest bad record, with the message one pass always gave.  Good data
// never pays for it.
#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <thread>

#include "resample_series.hpp"

namespace tarnwick::bucketing {
namespace {

// Fewer records are not worth a thread: about 3 ms of the pass.
constexpr std::size_t kRecordsPerThread = std::size_t{1} << 18;

// A join that one pass must settle: a ticker's bars overlap across a cut.
struct Unjoinable {};

// The ranges' series, joined per ticker, range by range.
class Joiner {
public:
    Joiner(const Options& options, const Zone& zone) : options_(options), zone_(zone) {}

    // The series of the next range, whose records follow the ranges joined so far.
    void join(SeriesTable& range) {
        for (Series& part : range.all()) {
            bool made = false;
            join(table_.of(part.ticker.data(), made), part);
        }
    }

    // Every ticker's bars, its last bucket closed, tickers in order of first appearance.
    std::vector<Record> result() {
        std::size_t total = 0;
        for (Series& series : table_.all()) {
            close(series);
            for (const Piece& piece : series.pieces) {
                total += piece.count;
            }
        }
        std::vector<Record> out;
        out.reserve(total);
        for (const Series& series : table_.all()) {
            for (const Piece& piece : series.pieces) {
                const Record* first = piece.bars->data() + piece.first;
                out.insert(out.end(), first, first + piece.count);
            }
        }
        return out;
    }

private:
    void join(Series& joined, const Series& part) {
        bool overlaps = options_.daily_source ? part.first_start <= joined.last_end
                                              : part.first_start < joined.last_end;
        if (overlaps) {
            throw Unjoinable{};
        }
        joined.last_end = part.last_end;
        if (!part.head.records.empty()) {
            if (joined.bar.empty() || joined.bucket_from != part.head.from || joined.bucket_to != part.head.to) {
                open(joined, part.head.from, part.head.to);
            }
            for (RecordBytes record : part.head.records) {
                joined.bar.add(record);
            }
            if (part.head.collecting) {
                return;  // the head is the range's open bucket: nothing follows it
            }
        }
        if (part.bar.empty()) {
            return;  // no bar of the ticker in the range was in the session
        }
        close(joined);
        if (!part.bars.empty()) {
            joined.pieces.push_back({&part.bars, 0, part.bars.size()});
        }
        joined.bar = part.bar;
        joined.bucket_from = part.bucket_from;
        joined.bucket_to = part.bucket_to;
    }

    void open(Series& joined, double from, double to) {
        close(joined);
        joined.bucket_from = from;
        joined.bucket_to = to;
    }

    void close(Series& joined) {
        if (joined.bar.empty()) {
            return;
        }
        joined.bars.push_back(finish_bucket(joined, options_, zone_));
        joined.pieces.push_back({&joined.bars, joined.bars.size() - 1, 1});
    }

    const Options& options_;
    const Zone& zone_;
    SeriesTable table_;
};

std::vector<Record> one_pass(std::span<const unsigned char> records, const Options& options, const Zone& zone) {
    SeriesTable table = pass_over(records, 0, records.size() / kBarRecordSize, options, zone, false);
    for (Series& series : table.all()) {
        if (!series.bar.empty()) {
            series.bars.push_back(finish_bucket(series, options, zone));
        }
    }
    return table.concatenate();
}

// Each range's series, or nothing when one of them was refused.  A pool of
// threads, this one among them, takes the ranges in turn.
std::optional<std::vector<SeriesTable>> pass_over_ranges(std::span<const unsigned char> records,
                                                         const Options& options, const Zone& zone,
                                                         std::span<const std::size_t> cuts) {
    std::vector<std::size_t> bounds{0};
    bounds.insert(bounds.end(), cuts.begin(), cuts.end());
    bounds.push_back(records.size() / kBarRecordSize);
    const std::size_t count = bounds.size() - 1;
    std::vector<SeriesTable> ranges(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> refused{false};
    auto work = [&]() noexcept {
        for (std::size_t i = next++; i < count && !refused; i = next++) {
            try {
                ranges[i] = pass_over(records, bounds[i], bounds[i + 1], options, zone, i > 0);
            } catch (...) {  // a Failure, NotCovered or bad_alloc: one pass will meet it again
                refused = true;
            }
        }
    };
    const std::size_t threads = std::min<std::size_t>(count, std::max(1U, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    helpers.reserve(threads);  // before any thread starts: a vector that grows later may throw past them
    while (helpers.size() + 1 < threads) {
        try {
            helpers.emplace_back(work);
        } catch (const std::exception&) {  // system_error, or bad_alloc for the thread's state
            break;  // no more threads to be had: those started and this one share the ranges
        }
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (refused) {
        return std::nullopt;
    }
    return ranges;
}

// The ranges' series joined into the new bars, or nothing when the join
// meets what one pass must settle.
std::optional<std::vector<Record>> joined(std::vector<SeriesTable>& ranges, const Options& options,
                                          const Zone& zone) {
    try {
        Joiner joiner(options, zone);
        for (SeriesTable& range : ranges) {
            joiner.join(range);
        }
        return joiner.result();
    } catch (const Failure&) {  // a trade count that overflows where buckets join
        return std::nullopt;
    } catch (const Unjoinable&) {
        return std::nullopt;
    }
}

}  // namespace

std::vector<std::size_t> even_cuts(std::size_t count) {
    const std::size_t threads = std::max(1U, std::thread::hardware_concurrency());
    const std::size_t parts = std::min(threads, count / kRecordsPerThread);
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < parts; ++i) {
        cuts.push_back(count / parts * i);
    }
    return cuts;
}

std::vector<Record> resample_records(std::span<const unsigned char> records, const Options& options,
                                     const Zone& zone, std::span<const std::size_t> cuts) {
    if (cuts.empty()) {
        return one_pass(records, options, zone);
    }
    if (std::optional<std::vector<SeriesTable>> ranges = pass_over_ranges(records, options, zone, cuts)) {
        if (std::optional<std::vector<Record>> bars = joined(*ranges, options, zone)) {
            return std::move(bars).value();
        }
    }
    return one_pass(records, options, zone);
}

}  // namespace tarnwick::bucketing

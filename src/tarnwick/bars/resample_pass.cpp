// The resampling pass (see resample_pass.hpp): the bar a bucket builds, each
// ticker's series, and the pass itself, which a common part (the walk over the
// records, the buckets' opening and closing) gives two forms: IntradayPass for
// bars of seconds, DailyPass for bars of days.
#include "resample_pass.hpp"
#include "ticker_table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <utility>

namespace tarnwick::bucketing {
namespace {

using RecordBytes = const unsigned char*;  // the first byte of one source record

constexpr std::size_t kTickerBytes = header::ticker_size;
constexpr std::size_t kAhead = 20;  // records read ahead (see Pass::each_record); measured best from 8 to 40
constexpr double kNever = -std::numeric_limits<double>::infinity();

std::string ticker_text(RecordBytes record) {
    const char* ticker = ticker_field(record);
    return {ticker, strnlen(ticker, kTickerBytes)};
}

std::string seconds_text(double seconds) { return number_text(seconds) + " s"; }

// The rule by which a record is a daily bar (as _records.looks_daily).
bool looks_daily(RecordBytes record) {
    std::int64_t day = 0;
    double span = read_field(record, bar::bar_span);
    return day_of_date_number(read_field(record, header::timestamp), day) && std::isfinite(span) && span >= 1 &&
           span == std::floor(span);
}

// The bar of the bucket being filled, in aligned fields (the record's are
// packed at odd offsets, slow to update bar after bar).
class Accumulator {
public:
    bool empty() const { return first_ == nullptr; }
    std::uint64_t trades() const { return trades_; }

    void add(RecordBytes record) {
        if (first_ == nullptr) {
            first_ = record;
            open_ = read_field(record, bar::open_price);
            high_ = read_field(record, bar::high_price);
            low_ = read_field(record, bar::low_price);
            close_ = read_field(record, bar::close_price);
            volume_ = read_field(record, bar::volume);
            notional_ = read_field(record, bar::notional);
            trades_ = read_field(record, bar::trade_count);
            return;
        }
        // Written so that a NaN, once in, stays.
        double high = read_field(record, bar::high_price);
        high_ = high_ >= high || std::isnan(high_) ? high_ : high;
        double low = read_field(record, bar::low_price);
        low_ = low_ <= low || std::isnan(low_) ? low_ : low;
        close_ = read_field(record, bar::close_price);
        volume_ += read_field(record, bar::volume);
        notional_ += read_field(record, bar::notional);
        trades_ += read_field(record, bar::trade_count);
    }

    // The bucket's bar, with the kind and ticker of its first source bar; the
    // trade count must fit its field.  Leaves the accumulator empty.
    Record finish(double timestamp, double span) {
        Record out;
        std::memcpy(&out, first_, kBarRecordSize);
        write_field(&out, header::timestamp, timestamp);
        write_field(&out, bar::bar_span, span);
        write_field(&out, bar::open_price, open_);
        write_field(&out, bar::high_price, high_);
        write_field(&out, bar::low_price, low_);
        write_field(&out, bar::close_price, close_);
        write_field(&out, bar::volume, volume_);
        write_field(&out, bar::notional, notional_);
        write_field(&out, bar::trade_count, static_cast<std::uint32_t>(trades_));
        first_ = nullptr;
        return out;
    }

private:
    RecordBytes first_ = nullptr;  // null while no bucket is open
    double open_ = 0, high_ = 0, low_ = 0, close_ = 0, volume_ = 0, notional_ = 0;
    std::uint64_t trades_ = 0;  // unbounded until the bucket closes
};

// One ticker's progress through its bars: the finished bars, the bucket being
// filled and where the ticker's previous bar ended.
struct Series {
    std::array<char, kTickerBytes> ticker{};  // the raw bytes, key of the table's index
    std::vector<Record> bars;
    Accumulator bar;
    double bucket_from = 0;  // intraday: (from, to] in instants; daily: [from, to] in days
    double bucket_to = kNever;
    double last_end = kNever;  // end of the previous bar (daily: its day)
    // What spares most bars a look at the zone.  Intraday buckets: the next
    // bucket is (to, to + span] while it ends before steady_until.  Daily
    // buckets of intraday bars: a bar starting in [steady_from, steady_until)
    // belongs to the bucket being filled.
    double steady_from = 0;
    double steady_until = kNever;
};

// The series of each ticker, in order of first appearance.
class SeriesTable {
public:
    // The series of the record's ticker; the first one made reserves `expected()` bars.
    template <typename Estimate>
    Series& of(RecordBytes record, Estimate expected) {
        return table_.of(ticker_field(record), [&](const char* ticker) {
            Series series;
            std::memcpy(series.ticker.data(), ticker, kTickerBytes);
            if (table_.all().empty()) {
                series.bars.reserve(expected());
            }
            return series;
        });
    }

    std::deque<Series>& all() { return table_.all(); }

    // Every series' bars, one series after the other.
    std::vector<Record> concatenate() {
        std::deque<Series>& series = table_.all();
        if (series.empty()) {
            return {};
        }
        std::vector<Record> out = std::move(series.front().bars);
        std::size_t total = 0;
        for (const Series& one : series) {
            total += one.bars.size();
        }
        out.reserve(total);
        for (auto one = std::next(series.begin()); one != series.end(); ++one) {
            out.insert(out.end(), one->bars.begin(), one->bars.end());
            std::vector<Record>().swap(one->bars);
        }
        return out;
    }

private:
    TickerTable<Series> table_;
};

// What both forms of the pass share: the walk over the records, the buckets'
// opening and closing, and the refusal of a record.
class Pass {
public:
    Pass(std::span<const unsigned char> records, const Options& options, const Zone& zone)
        : records_(records), options_(options), zone_(zone), days_(options.unit, options.count) {}

protected:
    // Adds each record to its series with `add(index, record, series)`; the new bars.
    template <typename Add>
    std::vector<Record> each_record(Add add) {
        const std::size_t size = record_count();
        for (std::size_t index = 0; index < size; ++index) {
            RecordBytes record = record_at(index);
            // The work per record is small: ask for records well ahead, so
            // that several are on their way from memory at any time (this
            // halves the time of a pass over a large file).
            if (index + kAhead < size) {
                __builtin_prefetch(record_at(index + kAhead));
                __builtin_prefetch(record_at(index + kAhead) + 64);
            }
            std::uint8_t kind = read_field(record, header::dtype);
            if (kind != DTYPE_BAR) {
                fail(index, [&] { return "is not a bar record (kind code " + std::to_string(kind) + ")"; });
            }
            add(index, record, table_.of(record, [this] { return expected_buckets(); }));
        }
        for (Series& series : table_.all()) {
            close_bucket(series);
        }
        return table_.concatenate();
    }

    std::size_t record_count() const { return records_.size() / kBarRecordSize; }
    RecordBytes record_at(std::size_t index) const { return records_.data() + index * kBarRecordSize; }

    // The bucket of whole days holding `day`, which must end on a date a bar can have.
    void open_daily_bucket(std::size_t index, Series& series, std::int64_t day) {
        auto [first, last] = days_.bucket(day);
        if (last > kLastDay) {
            fail(index, [&] { return "falls in a bucket of the new span that ends after 9999-12-31"; });
        }
        open_bucket(series, static_cast<double>(first), static_cast<double>(last));
    }

    void open_bucket(Series& series, double from, double to) {
        close_bucket(series);
        series.bucket_from = from;
        series.bucket_to = to;
    }

    // Refuses record `index`; `what` builds the rest of the message, off the hot path.
    template <typename Text>
    [[noreturn, gnu::cold, gnu::noinline]] void fail(std::size_t index, Text what) const {
        std::string ticker = ticker_text(record_at(index));
        throw Failure{"record " + std::to_string(index) + " (" + (ticker.empty() ? "no ticker" : ticker) + ") " +
                      what()};
    }

    const Options& options() const { return options_; }
    const Zone& zone() const { return zone_; }
    const DailyGrid& days() const { return days_; }

private:
    void close_bucket(Series& series) {
        if (series.bar.empty()) {
            return;
        }
        bool seconds = options_.unit == Unit::seconds;
        if (series.bar.trades() > std::numeric_limits<std::uint32_t>::max()) {
            std::string ticker(series.ticker.data(), strnlen(series.ticker.data(), kTickerBytes));
            std::string end = seconds ? zone_.describe(series.bucket_to)
                                      : text_of_date(static_cast<std::int64_t>(series.bucket_to));
            throw Failure{"the trade count of " + ticker + "'s new bar ending " + end + " sums to " +
                          std::to_string(series.bar.trades()) + ", more than a bar holds (4294967295)"};
        }
        series.bars.push_back(
            seconds ? series.bar.finish(series.bucket_to, series.bucket_to - series.bucket_from)
                    : series.bar.finish(date_number(static_cast<std::int64_t>(series.bucket_to)),
                                        series.bucket_to - series.bucket_from + 1));
    }

    // Buckets the first ticker is likely to fill, if it is the only one: its
    // time range over the bucket length, at most one per record.
    std::size_t expected_buckets() const {
        RecordBytes first = record_at(0);
        RecordBytes last = record_at(record_count() - 1);
        double buckets = 0;
        if (options_.daily_source) {
            std::int64_t a = 0;
            std::int64_t b = 0;
            if (day_of_date_number(read_field(first, header::timestamp), a) &&
                day_of_date_number(read_field(last, header::timestamp), b)) {
                buckets = static_cast<double>(b - a) / static_cast<double>(days_.shortest());
            }
        } else {
            double length = options_.unit == Unit::seconds ? static_cast<double>(options_.count)
                                                           : static_cast<double>(days_.shortest()) * kDay;
            buckets = (read_field(last, header::timestamp) - read_field(first, header::timestamp)) / length;
        }
        double most = static_cast<double>(record_count());
        return static_cast<std::size_t>(std::isfinite(buckets) ? std::clamp(buckets + 2, 0.0, most) : 0.0);
    }

    std::span<const unsigned char> records_;
    const Options& options_;
    const Zone& zone_;
    DailyGrid days_;
    SeriesTable table_;
};

// The pass over bars of seconds, into buckets of seconds or of days.
class IntradayPass : private Pass {
public:
    IntradayPass(std::span<const unsigned char> records, const Options& options, const Zone& zone)
        : Pass(records, options, zone), grid_(zone, static_cast<double>(options.count), options.origin) {}

    std::vector<Record> run() {
        return each_record([this](std::size_t index, RecordBytes record, Series& series) {
            add(index, record, series);
        });
    }

private:
    void add(std::size_t index, RecordBytes record, Series& series) {
        double end = read_field(record, header::timestamp);
        double length = read_field(record, bar::bar_span);
        double start = end - length;
        if (!(end <= kLatest && length > 0 && start >= kEarliest)) {
            fail(index, [&] {
                return "has no valid time (timestamp " + std::to_string(end) + ", span " + std::to_string(length) + ")";
            });
        }
        if (options().check_kind && looks_daily(record)) {
            fail(index, [&] { return "holds a daily bar (a market date and a span in days) among intraday bars"; });
        }
        if (start < series.last_end) {
            fail(index, [&] {
                return "ends at " + zone().describe(end) + " but starts before the bar before it ends (at " +
                       zone().describe(series.last_end) + "): bars must be in time order and must not overlap";
            });
        }
        series.last_end = end;
        if (options().session_from >= 0 && !in_session(start, end)) {
            return;
        }
        if (options().unit == Unit::seconds) {
            place_in_seconds(index, series, start, end, length);
        } else {
            place_in_days(index, series, start, length);
        }
        series.bar.add(record);
    }

    // Opens the bucket of seconds the bar (start, end] falls in, if it is not the open one.
    void place_in_seconds(std::size_t index, Series& series, double start, double end, double length) {
        if (end > series.bucket_to) {
            double span = grid_.span();
            if (length > span) {
                fail(index, [&] {
                    return "spans " + seconds_text(length) + ", longer than the new span of " + seconds_text(span);
                });
            }
            double to = series.bucket_to + span;
            if (end > to) {
                to = series.bucket_to + std::ceil((end - series.bucket_to) / span) * span;
            }
            if (to < series.steady_until) {
                open_bucket(series, to - span, to);
            } else {
                to = grid_.next(end);
                open_bucket(series, grid_.previous(to), to);
                series.steady_until = grid_.steady_until(to);
            }
        }
        if (start < series.bucket_from) {
            fail(index, [&] {
                return "runs from " + zone().describe(start) + " to " + zone().describe(end) +
                       " across the bucket boundary at " + zone().describe(series.bucket_from);
            });
        }
    }

    // Opens the bucket of days holding the local date on which the bar
    // starts, if it is not the open one.
    void place_in_days(std::size_t index, Series& series, double start, double length) {
        if (length > static_cast<double>(days().shortest()) * kDay) {
            fail(index, [&] { return "spans " + seconds_text(length) + ", longer than the new span"; });
        }
        if (start >= series.steady_from && start < series.steady_until) {
            return;
        }
        std::size_t segment = zone().segment(start);
        double offset = zone().offset_in(segment);
        double day = std::floor((start + offset) / kDay);  // a day of the calendar: start and offset are bounded
        if (day > series.bucket_to || day < series.bucket_from) {
            open_daily_bucket(index, series, static_cast<std::int64_t>(day));
        }
        series.steady_from = std::max(series.bucket_from * kDay - offset, zone().segment_from(segment));
        series.steady_until = std::min((series.bucket_to + 1) * kDay - offset, zone().segment_to(segment));
    }

    // Whether the bar lies within the session's local hours of one day.
    bool in_session(double start, double end) const {
        double wall_start = zone().wall(start);
        double wall_end = zone().wall(end);
        double day_start = std::floor(wall_start / kDay);
        double day_end = std::ceil(wall_end / kDay) - 1;  // a bar ending at midnight ends its day
        return day_start == day_end && wall_start - day_start * kDay >= options().session_from &&
               wall_end - day_end * kDay <= options().session_to;
    }

    IntradayGrid grid_;
};

// The pass over bars of days (a market date and a span in days), into buckets of days.
class DailyPass : private Pass {
public:
    using Pass::Pass;

    std::vector<Record> run() {
        return each_record([this](std::size_t index, RecordBytes record, Series& series) {
            add(index, record, series);
        });
    }

private:
    void add(std::size_t index, RecordBytes record, Series& series) {
        std::int64_t day = 0;
        double span = read_field(record, bar::bar_span);
        if (!looks_daily(record) || !day_of_date_number(read_field(record, header::timestamp), day)) {
            fail(index, [&] {
                return "is not a daily bar (timestamp " + std::to_string(read_field(record, header::timestamp)) +
                       ", span " + std::to_string(span) + "): daily and intraday bars cannot be mixed";
            });
        }
        // Any whole number of days passes as a span: only one that starts the
        // bar on a date is a count of days the arithmetic below can hold.
        if (span > static_cast<double>(day - kFirstDay + 1)) {
            fail(index, [&] {
                return "ends on " + text_of_date(day) + " and spans " + number_text(span) +
                       " days, so it would start before 0001-01-01";
            });
        }
        auto length = static_cast<std::int64_t>(span);
        std::int64_t first_day = day - length + 1;
        if (static_cast<double>(first_day) <= series.last_end) {
            fail(index, [&] {
                return "ends on " + text_of_date(day) + " but starts on or before the day the bar before it ends (" +
                       text_of_date(static_cast<std::int64_t>(series.last_end)) +
                       "): bars must be in date order and must not overlap";
            });
        }
        series.last_end = static_cast<double>(day);
        if (length > days().shortest()) {
            fail(index, [&] { return "spans " + std::to_string(length) + " days, longer than the new span"; });
        }
        auto at = static_cast<double>(day);
        if (at > series.bucket_to || at < series.bucket_from) {
            open_daily_bucket(index, series, day);
        }
        if (static_cast<double>(first_day) < series.bucket_from) {
            fail(index, [&] {
                return "runs from " + text_of_date(first_day) + " to " + text_of_date(day) +
                       " across the start of the bucket on " +
                       text_of_date(static_cast<std::int64_t>(series.bucket_from));
            });
        }
        series.bar.add(record);
    }
};

}  // namespace

std::vector<Record> resample_records(std::span<const unsigned char> records, const Options& options,
                                     const Zone& zone) {
    if (options.daily_source) {
        return DailyPass(records, options, zone).run();
    }
    return IntradayPass(records, options, zone).run();
}

}  // namespace tarnwick::bucketing

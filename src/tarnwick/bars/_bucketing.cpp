// tarnwick.bars._bucketing: the native pass behind tarnwick.bars.resample.
//
// One pass over packed bar records (a mapped file, read in place) that
// gathers the bars of each ticker into buckets and writes one new record per
// bucket.  It stands for this Python, bar by bar:
//
//     for record in records:
//         series = by_ticker.setdefault(record.ticker, Series())
//         check(record follows series.last_bar)        # ordered, no overlap
//         if not in_session(record): continue
//         if bucket_of(record) != series.bucket:       # a new bucket starts
//             series.close_bucket(); series.open_bucket(bucket_of(record))
//         series.add(record)    # first open, max high, min low, last close, sums
//     return concatenation of each series' bars, in order of first appearance
//
// The Python side (tarnwick/bars/_resample.py) parses spans and zones and
// hands over the zone as a table of offset changes (zoneinfo's, over the data's
// time range): the C++ library here has no time-zone database.  The pass runs
// without the GIL; nothing in it touches an interpreter object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pyref.hpp"
#include "records.hpp"

namespace tarnwick {
namespace {

using Record = _CandlestickBuffer;
constexpr double kDay = 86400.0;
// The instants a bar may have: those of Python's datetime (0001-01-01 to
// 9999-12-31), less two days at either end for the zone table's margins.
constexpr double kEarliest = -62135596800.0 + 2 * kDay;
constexpr double kLatest = 253402300799.0 - 2 * kDay;
constexpr std::size_t kTickerBytes = sizeof(Record::ticker);
constexpr std::size_t kAhead = 20;  // records read ahead (see Pass::run); measured best from 8 to 40

// A bad input: the message becomes a ValueError once the GIL is back.
struct Failure {
    std::string message;
};

// The zone table does not reach an instant the pass needs; the Python side
// widens the table and calls again.
struct NotCovered {};

// ---- calendar ---------------------------------------------------------------------

// Days since 1970-01-01 of a date number (year*10000 + month*100 + day), or
// nothing for a value that is not a valid date number of the years 1900 to 9999.
bool day_of_date_number(double value, std::int64_t& day) {
    if (!(value >= 19000101.0 && value <= 99991231.0) || value != std::floor(value)) {
        return false;
    }
    auto number = static_cast<std::int64_t>(value);
    std::chrono::year_month_day date{std::chrono::year(static_cast<int>(number / 10000)),
                                     std::chrono::month(static_cast<unsigned>(number / 100 % 100)),
                                     std::chrono::day(static_cast<unsigned>(number % 100))};
    if (!date.ok()) {
        return false;
    }
    day = std::chrono::sys_days(date).time_since_epoch().count();
    return true;
}

std::chrono::year_month_day civil(std::int64_t day) {
    return std::chrono::year_month_day(std::chrono::sys_days(std::chrono::days(day)));
}

double date_number(std::int64_t day) {
    auto date = civil(day);
    int number = static_cast<int>(date.year()) * 10000 + static_cast<int>(static_cast<unsigned>(date.month())) * 100 +
                 static_cast<int>(static_cast<unsigned>(date.day()));
    return static_cast<double>(number);
}

std::int64_t first_day_of_month(std::int64_t month_index) {  // month_index: year * 12 + month - 1
    std::chrono::year_month_day date{std::chrono::year(static_cast<int>(month_index / 12)),
                                     std::chrono::month(static_cast<unsigned>(month_index % 12 + 1)),
                                     std::chrono::day(1)};
    return std::chrono::sys_days(date).time_since_epoch().count();
}

// The days (since 1970-01-01) a bar's date can be: those of Python's date.
constexpr std::int64_t kFirstDay = std::chrono::sys_days(std::chrono::year(1) / 1 / 1).time_since_epoch().count();
constexpr std::int64_t kLastDay = std::chrono::sys_days(std::chrono::year(9999) / 12 / 31).time_since_epoch().count();

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The rule by which a record is a daily bar (as _layout.looks_daily).
bool looks_daily(const Record* record) {
    std::int64_t day = 0;
    double span = record->bar_span;
    return day_of_date_number(record->timestamp, day) && std::isfinite(span) && span >= 1 && span == std::floor(span);
}

std::string text_of_date(std::int64_t day) {
    auto date = civil(day);
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%04d-%02u-%02u", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text.data();
}

// ---- the zone ----------------------------------------------------------------------

// A time zone over a range of instants: offsets[i] (seconds east of UTC) holds
// from transitions[i - 1] up to transitions[i]; offsets has one entry more.
class Zone {
public:
    Zone(std::span<const double> transitions, std::span<const double> offsets, double from, double to)
        : transitions_(transitions), offsets_(offsets), from_(from), to_(to) {}

    std::size_t size() const { return transitions_.size(); }
    double transition(std::size_t i) const { return transitions_[i]; }
    double offset_in(std::size_t segment) const { return offsets_[segment]; }

    // The instants of a segment with one offset, clipped to the table's range.
    double segment_from(std::size_t i) const { return i > 0 ? std::max(transitions_[i - 1], from_) : from_; }
    double segment_to(std::size_t i) const { return i < size() ? std::min(transitions_[i], to_) : to_; }

    // The segment holding instant t: transitions[i - 1] <= t < transitions[i].
    std::size_t segment(double t) const {
        if (!(t >= from_ && t <= to_)) {
            throw NotCovered{};
        }
        // Bars come in time order: the segment of the previous call mostly holds.
        std::size_t i = hint_;
        if ((i == 0 || transitions_[i - 1] <= t) && (i == size() || t < transitions_[i])) {
            return i;
        }
        i = static_cast<std::size_t>(std::upper_bound(transitions_.begin(), transitions_.end(), t) -
                                     transitions_.begin());
        hint_ = i;
        return i;
    }

    double offset(double t) const { return offsets_[segment(t)]; }

    // Wall-clock seconds (local time as if it were UTC) at instant t.
    double wall(double t) const { return t + offset(t); }

    // "2024-03-10 03:00:00-04:00": the instant as the zone's wall clock.
    std::string describe(double t) const {
        if (!(t >= kEarliest - kDay && t <= kLatest + kDay)) {
            return std::to_string(t);
        }
        // Outside the table (only in messages about bad bars): UTC.
        double shift = t >= from_ && t <= to_ ? offset(t) : 0.0;
        double clock = std::floor(t + shift);
        auto day = static_cast<std::int64_t>(std::floor(clock / kDay));
        auto second = static_cast<long long>(clock) - day * 86400;
        auto minutes = static_cast<long long>(std::fabs(shift)) / 60;
        std::array<char, 64> text{};
        (void)std::snprintf(text.data(), text.size(), " %02lld:%02lld:%02lld%c%02lld:%02lld", second / 3600,
                            second / 60 % 60, second % 60, shift < 0 ? '-' : '+', minutes / 60, minutes % 60);
        return text_of_date(day) + text.data();
    }

private:
    std::span<const double> transitions_;
    std::span<const double> offsets_;
    double from_, to_;
    mutable std::size_t hint_ = 0;
};

// ---- intraday buckets ----------------------------------------------------------------

// The boundaries of wall-clock buckets: every instant at which the zone's
// wall clock reaches origin + k * span.  Where the clock jumps forward over
// such a time, the jump is the boundary; where it goes back, a time it passes
// twice is a boundary twice.  So buckets follow the wall clock, and one that
// holds a change of offset is that much longer or shorter in real time.
class IntradayGrid {
public:
    IntradayGrid(const Zone& zone, double span, double origin) : zone_(zone), span_(span), origin_(origin) {}

    double span() const { return span_; }

    // The smallest boundary at or after t.
    double next(double t) const {
        for (;;) {
            std::size_t i = zone_.segment(t);
            if (i > 0 && t == zone_.transition(i - 1) && jump_crosses(i - 1)) {
                return t;
            }
            double offset = zone_.offset_in(i);
            double boundary = next_multiple(t + offset) - offset;
            if (i == zone_.size() || boundary < zone_.transition(i)) {
                return boundary;
            }
            if (jump_crosses(i)) {
                return zone_.transition(i);
            }
            t = zone_.transition(i);
        }
    }

    // The largest boundary before t.
    double previous(double t) const {
        for (;;) {
            std::size_t j = zone_.segment(t);
            if (j > 0 && t == zone_.transition(j - 1)) {
                --j;  // the instants just before t lie in the segment before
            }
            double offset = zone_.offset_in(j);
            double boundary = next_multiple(t + offset) - span_ - offset;
            if (j == 0 || boundary >= zone_.transition(j - 1)) {
                return boundary;
            }
            if (jump_crosses(j - 1)) {
                return zone_.transition(j - 1);
            }
            t = zone_.transition(j - 1);
        }
    }

    // How far the boundaries after boundary b are b + k * span: up to the
    // next change of offset, if b is a grid time of its segment (not a jump's).
    double steady_until(double b) const {
        std::size_t i = zone_.segment(b);
        double wall = b + zone_.offset_in(i);
        return next_multiple(wall) == wall ? zone_.segment_to(i) : -std::numeric_limits<double>::infinity();
    }

private:
    // The smallest wall time at or after w on the grid.
    double next_multiple(double w) const { return origin_ + std::ceil((w - origin_) / span_) * span_; }

    // Whether the clock, jumping forward at transition i, passes a grid time.
    bool jump_crosses(std::size_t i) const {
        double t = zone_.transition(i);
        double before = zone_.offset_in(i);
        double after = zone_.offset_in(i + 1);
        return after > before && next_multiple(t + before) <= t + after;
    }

    const Zone& zone_;
    double span_;
    double origin_;
};

// ---- daily buckets -------------------------------------------------------------------

enum class Unit : std::uint8_t { seconds, days, weeks, months };

// Buckets of whole local days: n days (counted from 1970-01-01), n ISO weeks
// (counted from Monday 1969-12-29), or n calendar months (counted from the
// year 0, so divisors of 12 keep to calendar quarters and years).
class DailyGrid {
public:
    DailyGrid(Unit unit, std::int64_t count) : unit_(unit), count_(count) {}

    // The first and the last day of the bucket holding day.
    std::pair<std::int64_t, std::int64_t> bucket(std::int64_t day) const {
        switch (unit_) {
            case Unit::weeks: {
                std::int64_t length = 7 * count_;
                std::int64_t first = floor_div(day + 3, length) * length - 3;
                return {first, first + length - 1};
            }
            case Unit::months: {
                auto date = civil(day);
                std::int64_t index = static_cast<std::int64_t>(static_cast<int>(date.year())) * 12 +
                                     static_cast<unsigned>(date.month()) - 1;
                std::int64_t first = floor_div(index, count_) * count_;
                return {first_day_of_month(first), first_day_of_month(first + count_) - 1};
            }
            default: {
                std::int64_t first = floor_div(day, count_) * count_;
                return {first, first + count_ - 1};
            }
        }
    }

    // The fewest days a bucket holds.
    std::int64_t shortest() const {
        switch (unit_) {
            case Unit::weeks: return 7 * count_;
            case Unit::months: return count_ >= 12 ? 365 * (count_ / 12) : 28 + 30 * (count_ - 1);
            default: return count_;
        }
    }

private:
    Unit unit_;
    std::int64_t count_;
};

// ---- the pass ------------------------------------------------------------------------

// The bar of the bucket being filled, in aligned fields (the record's are
// packed at odd offsets, slow to update bar after bar).
struct Accumulator {
    const Record* first = nullptr;  // its first source bar, for the ticker; null while no bucket is open
    double open = 0, high = 0, low = 0, close = 0, volume = 0, notional = 0;
    std::uint64_t trades = 0;       // unbounded until the bucket closes
};

// One ticker's progress through its bars: the finished bars, the bucket being
// filled and where the ticker's previous bar ended.
struct Series {
    std::array<char, kTickerBytes> ticker{};  // the raw bytes, key of the pass's index
    std::vector<Record> bars;
    Accumulator bar;
    double bucket_from = 0;  // intraday: (from, to] in instants; daily: [from, to] in days
    double bucket_to = -std::numeric_limits<double>::infinity();
    double last_end = -std::numeric_limits<double>::infinity();  // end of the previous bar (daily: its day)
    // What spares most bars a look at the zone.  Intraday buckets: the next
    // bucket is (to, to + span] while it ends before steady_until.  Daily
    // buckets of intraday bars: a bar starting in [steady_from, steady_until)
    // belongs to the bucket being filled.
    double steady_from = 0;
    double steady_until = -std::numeric_limits<double>::infinity();
};

struct Options {
    Unit unit;
    std::int64_t count;
    double span_seconds;    // intraday target: the span
    double origin;          // intraday target: seconds after midnight of one boundary
    double session_from;    // local seconds after midnight, or -1
    double session_to;
    bool daily_source;
    bool check_kind;        // the kind was inferred: refuse records of the other kind
};

class Pass {
public:
    Pass(std::span<const Record> records, const Options& options, const Zone& zone)
        : records_(records), options_(options), zone_(zone),
          grid_(zone, options.span_seconds, options.origin), days_(options.unit, options.count) {}

    std::vector<Record> run() {
        for (std::size_t index = 0; index < records_.size(); ++index) {
            const Record* record = &records_[index];
            // The work per record is small: ask for records well ahead, so
            // that several are on their way from memory at any time (this
            // halves the time of a pass over a large file).
            if (index + kAhead < records_.size()) {
                const char* ahead = reinterpret_cast<const char*>(&records_[index + kAhead]);
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);
            }
            if (record->dtype != DTYPE_BAR) {
                fail(index, [&] { return "is not a bar record (kind code " + std::to_string(record->dtype) + ")"; });
            }
            Series& series = series_for(record);
            if (options_.daily_source) {
                add_daily(index, record, series);
            } else {
                add_intraday(index, record, series);
            }
        }
        return gather();
    }

private:
    Series& series_for(const Record* record) {
        if (current_ != nullptr && std::memcmp(record->ticker, current_->ticker.data(), kTickerBytes) == 0) {
            return *current_;
        }
        auto found = index_.find(std::string_view(record->ticker, kTickerBytes));
        if (found != index_.end()) {
            current_ = found->second;
            return *current_;
        }
        current_ = &series_.emplace_back();
        std::memcpy(current_->ticker.data(), record->ticker, kTickerBytes);
        index_.emplace(std::string_view(current_->ticker.data(), kTickerBytes), current_);
        if (series_.size() == 1) {
            current_->bars.reserve(first_estimate());
        }
        return *current_;
    }

    // Buckets the first ticker is likely to fill, if it is the only one: its
    // time range over the bucket length, at most one per record.
    std::size_t first_estimate() const {
        const Record& first = records_.front();
        const Record& last = records_.back();
        double buckets = 0;
        if (options_.daily_source) {
            std::int64_t a = 0;
            std::int64_t b = 0;
            if (day_of_date_number(first.timestamp, a) && day_of_date_number(last.timestamp, b)) {
                buckets = static_cast<double>(b - a) / static_cast<double>(days_.shortest());
            }
        } else {
            double length = options_.unit == Unit::seconds ? options_.span_seconds
                                                           : static_cast<double>(days_.shortest()) * kDay;
            buckets = (last.timestamp - first.timestamp) / length;
        }
        double most = static_cast<double>(records_.size());
        return static_cast<std::size_t>(std::isfinite(buckets) ? std::clamp(buckets + 2, 0.0, most) : 0.0);
    }

    void add_intraday(std::size_t index, const Record* record, Series& series) {
        double end = record->timestamp;
        double length = record->bar_span;
        double start = end - length;
        if (!(end <= kLatest && length > 0 && start >= kEarliest)) {
            fail(index, [&] {
                return "has no valid time (timestamp " + std::to_string(end) + ", span " + std::to_string(length) + ")";
            });
        }
        if (options_.check_kind && looks_daily(record)) {
            fail(index, [&] { return "holds a daily bar (a market date and a span in days) among intraday bars"; });
        }
        if (start < series.last_end) {
            fail(index, [&] {
                return "ends at " + zone_.describe(end) + " but starts before the bar before it ends (at " +
                       zone_.describe(series.last_end) + "): bars must be in time order and must not overlap";
            });
        }
        series.last_end = end;
        if (options_.session_from >= 0 && !in_session(start, end)) {
            return;
        }
        if (options_.unit == Unit::seconds) {
            if (end > series.bucket_to) {
                double span = options_.span_seconds;
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
                    return "runs from " + zone_.describe(start) + " to " + zone_.describe(end) +
                           " across the bucket boundary at " + zone_.describe(series.bucket_from);
                });
            }
            add(series, record);
            return;
        }
        // Daily buckets: the local date on which the bar starts.
        if (length > static_cast<double>(days_.shortest()) * kDay) {
            fail(index, [&] { return "spans " + seconds_text(length) + ", longer than the new span"; });
        }
        if (!(start >= series.steady_from && start < series.steady_until)) {
            std::size_t segment = zone_.segment(start);
            double offset = zone_.offset_in(segment);
            double day = std::floor((start + offset) / kDay);
            if (day > series.bucket_to || day < series.bucket_from) {
                open_daily_bucket(index, series, static_cast<std::int64_t>(day));
            }
            series.steady_from = std::max(series.bucket_from * kDay - offset, zone_.segment_from(segment));
            series.steady_until = std::min((series.bucket_to + 1) * kDay - offset, zone_.segment_to(segment));
        }
        add(series, record);
    }

    void add_daily(std::size_t index, const Record* record, Series& series) {
        std::int64_t day = 0;
        if (!looks_daily(record) || !day_of_date_number(record->timestamp, day)) {
            fail(index, [&] {
                return "is not a daily bar (timestamp " + std::to_string(record->timestamp) + ", span " +
                       std::to_string(record->bar_span) + "): daily and intraday bars cannot be mixed";
            });
        }
        auto length = static_cast<std::int64_t>(record->bar_span);
        std::int64_t first_day = day - length + 1;
        if (static_cast<double>(first_day) <= series.last_end) {
            fail(index, [&] {
                return "ends on " + text_of_date(day) + " but starts on or before the day the bar before it ends (" +
                       text_of_date(static_cast<std::int64_t>(series.last_end)) +
                       "): bars must be in date order and must not overlap";
            });
        }
        series.last_end = static_cast<double>(day);
        if (length > days_.shortest()) {
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
        add(series, record);
    }

    // Whether the bar lies within the session's local hours of one day.
    bool in_session(double start, double end) const {
        double wall_start = zone_.wall(start);
        double wall_end = zone_.wall(end);
        double day_start = std::floor(wall_start / kDay);
        double day_end = std::ceil(wall_end / kDay) - 1;  // a bar ending at midnight ends its day
        return day_start == day_end && wall_start - day_start * kDay >= options_.session_from &&
               wall_end - day_end * kDay <= options_.session_to;
    }

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

    static void add(Series& series, const Record* record) {
        Accumulator& bar = series.bar;
        if (bar.first == nullptr) {
            bar = {record, record->open_price, record->high_price, record->low_price, record->close_price,
                   record->volume, record->notional, record->trade_count};
            return;
        }
        // Written so that a NaN, once in, stays.
        double high = record->high_price;
        bar.high = bar.high >= high || std::isnan(bar.high) ? bar.high : high;
        double low = record->low_price;
        bar.low = bar.low <= low || std::isnan(bar.low) ? bar.low : low;
        bar.close = record->close_price;
        bar.volume += record->volume;
        bar.notional += record->notional;
        bar.trades += record->trade_count;
    }

    void close_bucket(Series& series) {
        Accumulator& bar = series.bar;
        if (bar.first == nullptr) {
            return;
        }
        Record out = *bar.first;  // kind code and ticker
        if (options_.unit == Unit::seconds) {
            out.timestamp = series.bucket_to;
            out.bar_span = series.bucket_to - series.bucket_from;
        } else {
            out.timestamp = date_number(static_cast<std::int64_t>(series.bucket_to));
            out.bar_span = series.bucket_to - series.bucket_from + 1;
        }
        if (bar.trades > std::numeric_limits<std::uint32_t>::max()) {
            std::string ticker(out.ticker, strnlen(out.ticker, kTickerBytes));
            auto last = static_cast<std::int64_t>(series.bucket_to);
            std::string end = options_.unit == Unit::seconds ? zone_.describe(series.bucket_to) : text_of_date(last);
            throw Failure{"the trade count of " + ticker + "'s new bar ending " + end + " sums to " +
                          std::to_string(bar.trades) + ", more than a bar holds (4294967295)"};
        }
        out.open_price = bar.open;
        out.high_price = bar.high;
        out.low_price = bar.low;
        out.close_price = bar.close;
        out.volume = bar.volume;
        out.notional = bar.notional;
        out.trade_count = static_cast<std::uint32_t>(bar.trades);
        series.bars.push_back(out);
        bar.first = nullptr;
    }

    std::vector<Record> gather() {
        for (Series& series : series_) {
            close_bucket(series);
        }
        if (series_.empty()) {
            return {};
        }
        std::vector<Record> out = std::move(series_.front().bars);
        std::size_t total = 0;
        for (const Series& series : series_) {
            total += series.bars.size();
        }
        out.reserve(total);
        for (auto series = std::next(series_.begin()); series != series_.end(); ++series) {
            out.insert(out.end(), series->bars.begin(), series->bars.end());
            std::vector<Record>().swap(series->bars);
        }
        return out;
    }

    // Refuses record `index`; `what` builds the rest of the message, off the hot path.
    template <typename Text>
    [[noreturn, gnu::cold, gnu::noinline]] void fail(std::size_t index, Text what) const {
        const Record* record = &records_[index];
        std::string ticker(record->ticker, strnlen(record->ticker, kTickerBytes));
        throw Failure{"record " + std::to_string(index) + " (" + (ticker.empty() ? "no ticker" : ticker) + ") " +
                      what()};
    }

    static std::string seconds_text(double seconds) {
        std::array<char, 32> text{};
        (void)std::snprintf(text.data(), text.size(), "%g s", seconds);
        return text.data();
    }

    std::span<const Record> records_;
    const Options& options_;
    const Zone& zone_;
    IntradayGrid grid_;
    DailyGrid days_;
    std::deque<Series> series_;  // in order of first appearance; a deque, so that they stay in place
    std::unordered_map<std::string_view, Series*> index_;  // by their raw ticker bytes
    Series* current_ = nullptr;   // the series of the previous record
};

// ---- Records: the result, a buffer of bar records -----------------------------------

struct RecordsObject {
    PyObject_HEAD
    std::vector<Record>* records;  // owned; never changes, so exports need no count
};

int records_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* object = reinterpret_cast<RecordsObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "resampled records are read-only");
        view->obj = nullptr;
        return -1;
    }
    static char empty = 0;  // a valid address for a buffer of no records
    auto size = static_cast<Py_ssize_t>(object->records->size() * sizeof(Record));
    void* data = object->records->empty() ? &empty : static_cast<void*>(object->records->data());
    return PyBuffer_FillInfo(view, self, data, size, 1, flags);
}

Py_ssize_t records_length(PyObject* self) {
    return static_cast<Py_ssize_t>(reinterpret_cast<RecordsObject*>(self)->records->size());
}

void records_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<RecordsObject*>(self)->records;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot records_slots[] = {
    {Py_tp_doc, const_cast<char*>("Bar records made by resample: a read-only buffer of 101-byte records.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(records_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(records_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(records_length)},
    {0, nullptr},
};

PyType_Spec records_spec = {
    "tarnwick.bars._bucketing.Records", sizeof(RecordsObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, records_slots,
};

// ---- module --------------------------------------------------------------------------

struct ModuleState {
    PyObject* records_type;  // owned
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// A buffer view (filled by PyArg_ParseTuple's "y*"), released when it goes out of scope.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
        }
    }
    Py_buffer* fill() { return &view_; }
    Py_ssize_t size() const { return view_.len; }
    // The items in place: only for types that may sit at any address.
    template <typename T>
    std::span<const T> as() const {
        static_assert(alignof(T) == 1, "a buffer may start at any address: copy_of reads aligned types");
        return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
    }
    // The items copied into aligned memory.
    template <typename T>
    std::vector<T> copy_of() const {
        std::vector<T> items(static_cast<std::size_t>(view_.len) / sizeof(T));
        if (!items.empty()) {
            std::memcpy(items.data(), view_.buf, items.size() * sizeof(T));
        }
        return items;
    }

private:
    Py_buffer view_{};
};

Unit unit_named(std::string_view name) {
    if (name == "s") return Unit::seconds;
    if (name == "d") return Unit::days;
    if (name == "w") return Unit::weeks;
    if (name == "mo") return Unit::months;
    throw Failure{"unknown unit " + std::string(name)};
}

// Refuses daily buckets longer than the whole calendar: none of them could
// have a date for its end and its start, and their day arithmetic would overflow.
void check_fits_calendar(Unit unit, std::int64_t count) {
    constexpr std::int64_t days = kLastDay - kFirstDay + 1;
    constexpr std::int64_t months = std::int64_t{9999} * 12;
    const std::int64_t most = unit == Unit::weeks ? days / 7 : unit == Unit::months ? months : days;
    if (unit != Unit::seconds && count > most) {
        const char* name = unit == Unit::weeks ? "weeks" : unit == Unit::months ? "months" : "days";
        throw Failure{"a bucket of " + std::to_string(count) + " " + name +
                      " is longer than the calendar of dates (0001-01-01 to 9999-12-31)"};
    }
}

constexpr const char kResampleDoc[] =
    "resample(records, unit, count, origin, session_from, session_to, daily_source, check_kind,\n"
    "         transitions, offsets, covered_from, covered_to, /)\n--\n\n"
    "The native pass of tarnwick.bars.resample (which see): the new bars as Records, or None when\n"
    "the zone table (transitions and offsets as native doubles, covering the instants from\n"
    "covered_from to covered_to) does not reach an instant of the data.";

PyObject* resample(PyObject* module, PyObject* args) {
    BufferView records;
    BufferView transitions;
    BufferView offsets;
    const char* unit_name = nullptr;
    Py_ssize_t count = 0;
    Options options{};
    int daily_source = 0;
    int check_kind = 0;
    double covered_from = 0;
    double covered_to = 0;
    if (!PyArg_ParseTuple(args, "y*snddd" "ppy*y*dd:resample", records.fill(), &unit_name, &count, &options.origin,
                          &options.session_from, &options.session_to, &daily_source, &check_kind, transitions.fill(),
                          offsets.fill(), &covered_from, &covered_to)) {
        return nullptr;
    }
    if (records.size() % static_cast<Py_ssize_t>(sizeof(Record)) != 0) {
        return PyErr_Format(PyExc_ValueError, "%zd bytes is not a whole number of %zu-byte bar records",
                            records.size(), sizeof(Record));
    }
    if (count < 1 || transitions.size() % 8 != 0 || offsets.size() != transitions.size() + 8) {
        PyErr_SetString(PyExc_ValueError, "a positive count and one offset more than transitions");
        return nullptr;
    }
    options.count = count;
    options.daily_source = daily_source != 0;
    options.check_kind = check_kind != 0;
    std::vector<Record> result;
    std::string failure;
    bool covered = true;
    bool out_of_memory = false;
    try {
        options.unit = unit_named(unit_name);
        check_fits_calendar(options.unit, count);
        options.span_seconds = static_cast<double>(count);
        // The zone table is small: copied, its doubles are aligned wherever the buffers start.
        const std::vector<double> transition_table = transitions.copy_of<double>();
        const std::vector<double> offset_table = offsets.copy_of<double>();
        Zone zone(transition_table, offset_table, covered_from, covered_to);
        Pass pass(records.as<Record>(), options, zone);
        // Nothing may leave this block by a throw, which would skip taking the
        // GIL back: every outcome is caught inside, by handlers that allocate nothing.
        Py_BEGIN_ALLOW_THREADS
        try {
            result = pass.run();
        } catch (Failure& error) {
            failure = std::move(error.message);
        } catch (const NotCovered&) {
            covered = false;
        } catch (...) {
            out_of_memory = true;  // std::bad_alloc: the pass throws nothing else
        }
        Py_END_ALLOW_THREADS
    } catch (Failure& error) {
        failure = std::move(error.message);
    } catch (...) {
        out_of_memory = true;
    }
    if (out_of_memory) {
        return PyErr_NoMemory();
    }
    if (!failure.empty()) {
        PyErr_SetString(PyExc_ValueError, failure.c_str());
        return nullptr;
    }
    if (!covered) {
        Py_RETURN_NONE;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module)->records_type);
    OwnedRef object = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!object) {
        return nullptr;
    }
    auto* out = reinterpret_cast<RecordsObject*>(object.get());
    out->records = new (std::nothrow) std::vector<Record>(std::move(result));
    if (out->records == nullptr) {
        return PyErr_NoMemory();
    }
    return object.release();
}

PyMethodDef methods[] = {
    {"resample", resample, METH_VARARGS, kResampleDoc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &records_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    state_of(module)->records_type = type;
    return PyModule_AddObjectRef(module, "Records", type);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    Py_VISIT(state != nullptr ? state->records_type : nullptr);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* state = state_of(module);
    if (state != nullptr) {
        Py_CLEAR(state->records_type);
    }
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_bucketing", "The native pass of tarnwick.bars.resample.", sizeof(ModuleState), methods,
    slots, traverse_module, clear_module, free_module,
};

}  // namespace
}  // namespace tarnwick

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): PyInit_ and the module's name, _bucketing
PyMODINIT_FUNC PyInit__bucketing() { return PyModuleDef_Init(&tarnwick::module_def); }

// The resampling pass over a range of records (see resample_pass.hpp and
// resample_series.hpp), which a common part (the walk over the records, the
// buckets' opening and closing) gives two forms: IntradayPass for bars of
// seconds, DailyPass for bars of days.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "resample_series.hpp"

namespace tarnwick::bucketing {
namespace {

constexpr std::size_t kAhead = 20;  // records read ahead (see Pass::each_record); measured best from 8 to 40

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

// What both forms of the pass share: the walk over the records, the buckets'
// opening and closing, and the refusal of a record.
class Pass {
public:
    Pass(std::span<const unsigned char> records, std::size_t first, std::size_t last, const Options& options,
         const Zone& zone, bool continues)
        : records_(records), first_(first), last_(last), options_(options), zone_(zone),
          days_(options.unit, options.count), table_(continues) {}

protected:
    // Adds each record to its series with `add(index, record, series)`; the series.
    template <typename Add>
    SeriesTable each_record(Add add) {
        for (std::size_t index = first_; index < last_; ++index) {
            RecordBytes record = record_at(index);
            // The work per record is small: ask for records well ahead, so
            // that several are on their way from memory at any time (this
            // halves the time of a pass over a large file).
            if (index + kAhead < last_) {
                __builtin_prefetch(record_at(index + kAhead));
                __builtin_prefetch(record_at(index + kAhead) + 64);
            }
            std::uint8_t kind = read_field(record, header::dtype);
            if (kind != DTYPE_BAR) {
                fail(index, [&] { return "is not a bar record (kind code " + std::to_string(kind) + ")"; });
            }
            bool made = false;
            Series& series = table_.of(ticker_field(record), made);
            if (made) {
                reserve_bars(series);
            }
            add(index, record, series);
        }
        return std::move(table_);
    }

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
        if (series.head.collecting) {  // the first bucket of a later range
            series.head.from = from;
            series.head.to = to;
        }
    }

    // Adds the record to the series' open bucket (a head keeps it for later).
    static void take(Series& series, RecordBytes record) {
        if (series.head.collecting) {
            series.head.records.push_back(record);
        } else {
            series.bar.add(record);
        }
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
        if (series.head.collecting) {
            series.head.collecting = series.head.records.empty();  // a head ends with its bucket
            return;
        }
        if (!series.bar.empty()) {
            series.bars.push_back(finish_bucket(series, options_, zone_));
        }
    }

    // Room for the bars a new ticker is likely to make, so that its bars are
    // not copied as they grow (each copy into fresh pages: most of the time
    // of a pass that makes many bars).  The room reserved for all tickers
    // stays within one bar a record, the most the range can make.
    void reserve_bars(Series& series) {
        std::size_t expected = expected_buckets();
        if (expected <= reservable_) {
            series.bars.reserve(expected);
            reservable_ -= expected;
        }
    }

    // Buckets a ticker whose bars run through the range fills: the range's
    // time over the bucket length, at most one per record.
    std::size_t expected_buckets() const {
        RecordBytes first = record_at(first_);
        RecordBytes last = record_at(last_ - 1);
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
        auto most = static_cast<double>(last_ - first_);
        return static_cast<std::size_t>(std::isfinite(buckets) ? std::clamp(buckets + 2, 0.0, most) : 0.0);
    }

    std::span<const unsigned char> records_;
    std::size_t first_;
    std::size_t last_;
    const Options& options_;
    Zone zone_;  // its own copy: a zone remembers the segment it last found
    DailyGrid days_;
    SeriesTable table_;
    std::size_t reservable_ = last_ - first_;  // bars the range's series may still reserve room for
};

// The pass over bars of seconds, into buckets of seconds or of days.
class IntradayPass : private Pass {
public:
    IntradayPass(std::span<const unsigned char> records, std::size_t first, std::size_t last, const Options& options,
                 const Zone& zone, bool continues)
        : Pass(records, first, last, options, zone, continues),
          grid_(Pass::zone(), static_cast<double>(options.count), options.origin) {}

    SeriesTable run() {
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
        if (series.last_end == kNever) {
            series.first_start = start;
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
        take(series, record);
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

    SeriesTable run() {
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
        if (series.last_end == kNever) {
            series.first_start = static_cast<double>(first_day);
        }
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
        take(series, record);
    }
};

}  // namespace

Record finish_bucket(Series& series, const Options& options, const Zone& zone) {
    bool seconds = options.unit == Unit::seconds;
    if (series.bar.trades() > std::numeric_limits<std::uint32_t>::max()) {
        std::string ticker(series.ticker.data(), strnlen(series.ticker.data(), kTickerBytes));
        std::string end =
            seconds ? zone.describe(series.bucket_to) : text_of_date(static_cast<std::int64_t>(series.bucket_to));
        throw Failure{"the trade count of " + ticker + "'s new bar ending " + end + " sums to " +
                      std::to_string(series.bar.trades()) + ", more than a bar holds (4294967295)"};
    }
    return seconds ? series.bar.finish(series.bucket_to, series.bucket_to - series.bucket_from)
                   : series.bar.finish(date_number(static_cast<std::int64_t>(series.bucket_to)),
                                       series.bucket_to - series.bucket_from + 1);
}

SeriesTable pass_over(std::span<const unsigned char> records, std::size_t first, std::size_t last,
                      const Options& options, const Zone& zone, bool continues) {
    if (options.daily_source) {
        return DailyPass(records, first, last, options, zone, continues).run();
    }
    return IntradayPass(records, first, last, options, zone, continues).run();
}

}  // namespace tarnwick::bucketing

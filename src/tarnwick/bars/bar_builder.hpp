// Bars from trades, one ticker at a time: the state machine shared by the
// batch pass of tarnwick.bars._aggregating (aggregate_pass.cpp) and the live
// Aggregator.  No interpreter code: it runs without the GIL.
//
// How it is used:
//
//     Rules rules{Rule::volume, 20.0, /*fill=*/false};
//     Clock clock(clock_options, zone);              // time bars only; else any clock
//     TickerTable<BarBuilder> table;                 // ticker_table.hpp
//     BarBuilder& builder = table.of(ticker_bytes, [&](const char* t) { return BarBuilder(rules, clock, t); });
//     builder.add(Trade{time, price, size, notional, 1}, emit);   // emit(const Record&) per finished bar
//     builder.add_record(record_bytes, emit);        // a packed trade or tick record of this ticker
//     builder.add_rows(next, end, row, emit);        // trades row(next) .. row(end - 1), on a fast path
//     builder.advance(now, emit);                    // time bars: close buckets that ended by `now`
//     Record bar; if (builder.partial(bar)) ...      // the bar being formed, if any
//     builder.flush(emit);                           // end the bar being formed
//
// Every bar a call completes goes to `emit` in time order before the call
// returns.  A refused trade throws BadTrade (its message names the fault, the
// caller names the row) and leaves the builder as it was.  A zone table that
// does not reach an instant throws bucketing::NotCovered: the bars emitted so
// far stay emitted and the builder consistent, so after `clock.rezone(wider)`
// the same call carries on where it stopped.  Rules and Clock must outlive
// the builders that point to them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "bucket_calendar.hpp"
#include "bucket_grids.hpp"
#include "bucket_zone.hpp"
#include "records.hpp"

namespace tarnwick::aggregating {

using bucketing::DailyGrid;
using bucketing::IntradayGrid;
using bucketing::kDay;
using bucketing::NotCovered;
using bucketing::Unit;
using bucketing::Zone;
using Record = _CandlestickBuffer;
using TickerBytes = std::array<char, header::ticker_size>;

inline constexpr double kNever = -std::numeric_limits<double>::infinity();

// One trade: or the growth of a tick's running totals, which may stand for
// several trades (`count`).
struct Trade {
    double time;      // UTC epoch seconds
    double price;
    double size;
    double notional;  // as recorded, or price * size
    std::uint32_t count;
};

// A trade the builder refuses: `message` says what is wrong with it
// ("has a price of -1, ..."); the caller puts the row or record before it.
struct BadTrade {
    std::string message;
};

enum class Rule : std::uint8_t { time, ticks, volume, value };

// When a bar closes: at the end of its clock bucket (time), or when its
// trade count, volume or notional reaches `threshold`.
struct Rules {
    Rule rule;
    double threshold;  // ticks, volume or value; unused by time bars
    bool fill;         // time bars: a bar for each empty bucket between two trades
};

// ---- the buckets of time bars -----------------------------------------------------------

struct ClockOptions {
    Unit unit;
    std::int64_t count;   // of the unit, checked against the calendar by the module
    double origin;        // intraday: seconds after midnight of one boundary
    double session_from;  // local seconds after midnight, or -1: no session
    double session_to;
};

// The bucket a ticker's trades fall into.  Intraday: the instants [from, to);
// daily: the local days [from, to].  A trade before `reach` belongs to it
// without a look at the zone.
struct Bucket {
    double from = 0;
    double to = kNever;
    double reach = kNever;
    double steady_until = kNever;  // intraday: boundaries to + k * span hold before this
};

// Time buckets for instants, on the zone's wall clock, built as resampling
// builds them (bucket_grids.hpp): a trade at t is in the bucket [start, end),
// so one exactly on a boundary opens the next bucket.
class Clock {
public:
    Clock(const ClockOptions& options, const Zone& zone)
        : options_(options), zone_(zone), grid_(zone_, static_cast<double>(options.count), options.origin),
          days_(options.unit, options.count) {}
    Clock(const Clock&) = delete;  // grid_ points into zone_
    Clock& operator=(const Clock&) = delete;
    ~Clock() = default;

    // A wider zone table, after NotCovered.
    void rezone(const Zone& zone) { zone_ = zone; }

    bool daily() const { return options_.unit != Unit::seconds; }
    bool has_session() const { return options_.session_from >= 0; }

    // Whether instant t falls in the session's local hours [from, to).
    bool in_session(double t) const {
        if (options_.session_from < 0) {
            return true;
        }
        double wall = zone_.wall(t);
        double second = wall - std::floor(wall / kDay) * kDay;
        return second >= options_.session_from && second < options_.session_to;
    }

    // Whether a whole bucket lies in the session's hours of one day (daily: always).
    bool in_session(const Bucket& bucket) const {
        if (options_.session_from < 0 || daily()) {
            return true;
        }
        double wall_start = zone_.wall(bucket.from);
        double wall_end = zone_.wall(bucket.to);
        double day_start = std::floor(wall_start / kDay);
        double day_end = std::ceil(wall_end / kDay) - 1;  // a bucket ending at midnight ends its day
        return day_start == day_end && wall_start - day_start * kDay >= options_.session_from &&
               wall_end - day_end * kDay <= options_.session_to;
    }

    // Moves `bucket` on to the bucket holding instant t (not before its
    // start): true when that is a new bucket.  Throws NotCovered, or BadTrade
    // for a bucket that ends after 9999-12-31, before changing `bucket`.
    bool move_to(double t, Bucket& bucket) const { return daily() ? move_daily(t, bucket) : move_intraday(t, bucket); }

    // The bucket after `bucket`.
    Bucket next(const Bucket& bucket) const {
        Bucket after = bucket;
        if (daily()) {
            set_days(after, static_cast<std::int64_t>(bucket.to) + 1);
            after.reach = kNever;
        } else {
            move_intraday(bucket.to, after);
        }
        return after;
    }

    // A bar's timestamp and span for the bucket: its end instant and length
    // in seconds, or its last day's date number and its days.
    double timestamp(const Bucket& bucket) const {
        return daily() ? bucketing::date_number(static_cast<std::int64_t>(bucket.to)) : bucket.to;
    }
    double span(const Bucket& bucket) const { return daily() ? bucket.to - bucket.from + 1 : bucket.to - bucket.from; }

private:
    bool move_intraday(double t, Bucket& bucket) const {
        if (t < bucket.to) {
            return false;
        }
        const double length = grid_.span();
        if (bucket.to < bucket.steady_until) {  // the next boundaries are to + k * span
            double to = bucket.to + (std::floor((t - bucket.to) / length) + 1) * length;
            if (to <= t) {
                to += length;
            }
            if (to < bucket.steady_until) {
                bucket.from = to - length;
                bucket.to = bucket.reach = to;
                return true;
            }
        }
        double to = boundary_after(t);
        double from = grid_.previous(to);
        double steady = grid_.steady_until(to);
        bucket.from = from;
        bucket.to = bucket.reach = to;
        bucket.steady_until = steady;
        return true;
    }

    bool move_daily(double t, Bucket& bucket) const {
        std::size_t segment = zone_.segment(t);
        double offset = zone_.offset_in(segment);
        double day = std::floor((t + offset) / kDay);
        bool opened = day > bucket.to || day < bucket.from;
        if (opened) {
            set_days(bucket, static_cast<std::int64_t>(day));
        }
        bucket.reach = std::min((bucket.to + 1) * kDay - offset, zone_.segment_to(segment));
        return opened;
    }

    void set_days(Bucket& bucket, std::int64_t day) const {
        auto [first, last] = days_.bucket(day);
        if (last > bucketing::kLastDay) {
            throw BadTrade{"falls in a bucket that ends after 9999-12-31"};
        }
        bucket.from = static_cast<double>(first);
        bucket.to = static_cast<double>(last);
    }

    // The smallest boundary after t: the grid's next at or after the double above t.
    double boundary_after(double t) const {
        double step = std::nextafter(t, std::numeric_limits<double>::infinity()) - t;
        for (;;) {
            double boundary = grid_.next(t + step);
            if (boundary > t) {
                return boundary;
            }
            step *= 2;  // t + step rounded back onto the boundary at t
        }
    }

    ClockOptions options_;
    Zone zone_;
    IntradayGrid grid_;
    DailyGrid days_;
};

// ---- the bar being formed ------------------------------------------------------------------

// Open, high, low, close and sums of the bar being formed, in aligned fields.
class Tally {
public:
    bool empty() const { return empty_; }
    double volume() const { return volume_; }
    double notional() const { return notional_; }
    std::uint64_t trades() const { return trades_; }
    double close() const { return close_; }

    // Refuses (before changing anything) a trade count past the record's field.
    void check_count(std::uint32_t count) const {
        if (trades_ + count > std::numeric_limits<std::uint32_t>::max()) {
            throw BadTrade{"would bring its bar's trade count past 4294967295"};
        }
    }

    void add(double price, double size, double notional, std::uint32_t count) {
        if (empty_) {
            open_ = high_ = low_ = price;
            empty_ = false;
        }
        absorb(price, size, notional, count);
    }

    // add() to a bar that has a trade already.
    void absorb(double price, double size, double notional, std::uint32_t count) {
        high_ = std::max(high_, price);
        low_ = std::min(low_, price);
        close_ = price;
        volume_ += size;
        notional_ += notional;
        trades_ += count;
    }

    // The volume or notional of a bar that reached its threshold, exactly.
    void settle_volume(double volume) { volume_ = volume; }
    void settle_notional(double notional) { notional_ = notional; }

    // The bar as a record; the tally stays as it is.
    Record record(const TickerBytes& ticker, double timestamp, double span) const {
        Record out;
        write_field(&out, header::dtype, static_cast<std::uint8_t>(DTYPE_BAR));
        std::memcpy(ticker_field(&out), ticker.data(), ticker.size());
        write_field(&out, header::timestamp, timestamp);
        write_field(&out, bar::bar_span, span);
        write_field(&out, bar::open_price, open_);
        write_field(&out, bar::high_price, high_);
        write_field(&out, bar::low_price, low_);
        write_field(&out, bar::close_price, close_);
        write_field(&out, bar::volume, volume_);
        write_field(&out, bar::notional, notional_);
        write_field(&out, bar::trade_count, static_cast<std::uint32_t>(trades_));
        return out;
    }

    // A bar without trades at `price`: for an empty bucket.
    static Tally flat(double price) {
        Tally tally;
        tally.open_ = tally.high_ = tally.low_ = tally.close_ = price;
        return tally;
    }

private:
    bool empty_ = true;
    double open_ = 0, high_ = 0, low_ = 0, close_ = 0, volume_ = 0, notional_ = 0;
    std::uint64_t trades_ = 0;
};

// ---- messages ------------------------------------------------------------------------------

// "2024-03-10 07:00:00.250000 UTC", or the number for an instant no date holds.
inline std::string instant_text(double t) {
    if (!(t >= bucketing::kEarliest && t <= bucketing::kLatest)) {
        return bucketing::number_text(t);
    }
    double day = std::floor(t / kDay);
    double second = t - day * kDay;
    auto whole = static_cast<long long>(second);
    std::array<char, 48> text{};
    (void)std::snprintf(text.data(), text.size(), " %02lld:%02lld:%09.6f UTC", whole / 3600, whole / 60 % 60,
                        second - static_cast<double>(whole - whole % 60));
    return bucketing::text_of_date(static_cast<std::int64_t>(day)) + text.data();
}

// ---- one ticker's bars ---------------------------------------------------------------------

class BarBuilder {
public:
    BarBuilder(const Rules& rules, const Clock& clock, const char* ticker)
        : rules_(&rules), clock_(&clock), slack_(rules.threshold * kSlack) {
        std::memcpy(ticker_.data(), ticker, ticker_.size());
    }

    const TickerBytes& ticker() const { return ticker_; }

    template <typename Emit>
    void add(const Trade& trade, Emit&& emit) {
        check(trade);
        if (start_ == kNever) {
            start_ = trade.time;  // the first activity bar starts at its first trade
        }
        switch (rules_->rule) {
            case Rule::time: add_timed(trade, emit); break;
            case Rule::ticks: add_counted(trade, emit); break;
            case Rule::volume:
            case Rule::value: add_split(trade, emit); break;
        }
        last_time_ = trade.time;
    }

    // Trades [next, end) of a batch, `row(i)` giving trade i; `next` follows
    // the trades added (so that after a NotCovered it says where to carry on).
    template <typename Row, typename Emit>
    void add_rows(std::size_t& next, std::size_t end, Row row, Emit&& emit) {
        while (next < end) {
            next = add_quiet(next, end, row);
            if (next < end) {
                add(row(next), emit);
                ++next;
            }
        }
    }

    // A packed trade (notional as recorded) or tick record (the growth of
    // its running totals) of this builder's ticker.
    template <typename Emit>
    void add_record(const unsigned char* record, Emit&& emit);

    // Time bars: closes the bar whose bucket ended by `now` (and, with fill,
    // makes the empty buckets' bars up to now).  Trades before `now` are
    // refused after it.  Activity bars close on trades only.  Throws BadTrade
    // for a `now` that is not a valid instant.
    template <typename Emit>
    void advance(double now, Emit&& emit);

    // The bar being formed, as it would close now: false when there is none.
    bool partial(Record& out) const;

    // Ends the bar being formed (a bar of volume and value rules only if it has volume).
    template <typename Emit>
    void flush(Emit&& emit);

private:
    // How close to its threshold a bar's volume or notional counts as there: see add_split.
    static constexpr double kSlack = 0x1p-40;
    // The most bars one trade may fill: past this the threshold is surely a mistake.
    static constexpr double kMostSplits = 0x1p24;  // 16777216, as the refusal says

    bool acceptable_time(double time) const;
    bool acceptable(const Trade& trade, double last, const Tally& bar) const;
    void check_time(double time) const;
    void check(const Trade& trade) const;
    [[gnu::cold]] void refuse(const Trade& trade) const;

    static Trade trade_of_record(const unsigned char* record) {
        auto at = [record](std::size_t offset) { return read_field(record, Field<double>{offset}); };
        return Trade{at(offsetof(_TransactionDataBuffer, timestamp)), at(offsetof(_TransactionDataBuffer, price)),
                     at(offsetof(_TransactionDataBuffer, volume)), at(offsetof(_TransactionDataBuffer, notional)), 1};
    }

    template <typename Emit>
    void add_tick(const unsigned char* record, Emit& emit);

    template <typename Row>
    std::size_t add_quiet(std::size_t next, std::size_t end, Row& row);
    template <Rule rule, typename Row>
    std::size_t add_quiet_as(std::size_t next, std::size_t end, Row& row);

    template <typename Emit>
    void add_timed(const Trade& trade, Emit& emit);

    template <typename Emit>
    void add_counted(const Trade& trade, Emit& emit) {
        tally_.add(trade.price, trade.size, trade.notional, trade.count);
        if (static_cast<double>(tally_.trades()) >= rules_->threshold) {
            close_at(trade.time, emit);
        }
    }

    template <typename Emit>
    void add_split(const Trade& trade, Emit& emit);

    // A piece `part` of the trade's `whole` volume (volume rule) or notional
    // (value rule), with the other of the two in proportion.
    // (Multiplied first: one rounding less than by a share.)
    void add_piece(const Trade& trade, double part, double whole) {
        bool by_value = rules_->rule == Rule::value;
        double other = (by_value ? trade.size : trade.notional) * part / whole;
        tally_.add(trade.price, by_value ? other : part, by_value ? part : other, trade.count);
    }

    // Closes an activity bar at `time`: it started where the one before ended.
    template <typename Emit>
    void close_at(double time, Emit& emit) {
        emit(static_cast<const Record&>(tally_.record(ticker_, time, time - start_)));
        start_ = time;
        last_close_ = tally_.close();
        tally_ = Tally();
    }

    // A volume or value bar that reached its threshold: exactly the threshold.
    template <typename Emit>
    void settle_and_close(double time, Emit& emit) {
        if (rules_->rule == Rule::value) {
            tally_.settle_notional(rules_->threshold);
        } else {
            tally_.settle_volume(rules_->threshold);
        }
        close_at(time, emit);
    }

    template <typename Emit>
    void leave_bucket(const Bucket& next, Emit& emit);

    const Rules* rules_;
    const Clock* clock_;
    double slack_;
    TickerBytes ticker_{};
    Tally tally_;
    Bucket bucket_;                       // time bars: the bucket being filled
    bool in_session_ = false;             // and whether all of it is in the session
    double start_ = kNever;               // activity bars: where the bar being formed starts
    double last_time_ = kNever;           // the previous trade's time
    double floor_ = kNever;               // the time advance() reached
    double last_close_ = std::nan("");    // for the bars of empty buckets
    std::array<double, 3> totals_{0, 0, 0};  // ticks: the running volume, notional and trade count so far
};

template <typename Emit>
void BarBuilder::add_record(const unsigned char* record, Emit&& emit) {
    std::uint8_t kind = read_field(record, header::dtype);
    if (kind == DTYPE_TRANSACTION) {
        add(trade_of_record(record), emit);
    } else if (kind == DTYPE_TICK_LITE || kind == DTYPE_TICK) {
        add_tick(record, emit);
    } else {
        throw BadTrade{"is neither a trade nor a tick record (kind code " + std::to_string(kind) + ")"};
    }
}

template <typename Emit>
void BarBuilder::advance(double now, Emit&& emit) {
    if (!(now >= bucketing::kEarliest && now <= bucketing::kLatest)) {
        throw BadTrade{"advances to " + bucketing::number_text(now) + ", not " + bucketing::kInstantsText};
    }
    if (rules_->rule != Rule::time) {
        return;
    }
    floor_ = std::max(floor_, now);
    if (now < bucket_.reach || now < last_time_) {  // (a clock behind the trades closes nothing)
        return;
    }
    Bucket probe = bucket_;
    if (!clock_->move_to(now, probe)) {
        bucket_ = probe;
        return;
    }
    leave_bucket(probe, emit);  // bucket_ stays before `probe`: no trade has opened it
}

template <typename Emit>
void BarBuilder::flush(Emit&& emit) {
    Record bar;
    bool splits = rules_->rule == Rule::volume || rules_->rule == Rule::value;
    if (partial(bar) && !(splits && tally_.volume() == 0)) {
        emit(static_cast<const Record&>(bar));
    }
    if (!tally_.empty()) {
        start_ = last_time_;
        last_close_ = tally_.close();
        tally_ = Tally();
    }
}

inline bool BarBuilder::partial(Record& out) const {
    if (tally_.empty()) {
        return false;
    }
    out = rules_->rule == Rule::time ? tally_.record(ticker_, clock_->timestamp(bucket_), clock_->span(bucket_))
                                     : tally_.record(ticker_, last_time_, last_time_ - start_);
    return true;
}

// The checks every trade passes: one place for every input.  The common case
// is one branch over all the rules (NaN fails every comparison); which rule a
// refused trade breaks is worked out off the hot path, in refuse().
inline bool BarBuilder::acceptable_time(double time) const {
    return (time >= bucketing::kEarliest) & (time <= bucketing::kLatest) & (time >= last_time_) & (time >= floor_);
}

inline void BarBuilder::check_time(double time) const {
    if (!acceptable_time(time)) [[unlikely]] {
        refuse(Trade{time, 1.0, 0.0, 0.0, 0});
    }
}

// Whether a trade passes every check, after a trade at `last` into `bar`.
inline bool BarBuilder::acceptable(const Trade& trade, double last, const Tally& bar) const {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    return (trade.time >= bucketing::kEarliest) & (trade.time <= bucketing::kLatest) & (trade.time >= last) &
           (trade.time >= floor_) & (trade.price > 0) & (trade.price < kInfinity) & (trade.size >= 0) &
           (trade.size < kInfinity) & (trade.notional >= 0) & (trade.notional < kInfinity) &
           (bar.trades() + trade.count <= std::numeric_limits<std::uint32_t>::max());
}

inline void BarBuilder::check(const Trade& trade) const {
    if (!acceptable(trade, last_time_, tally_)) [[unlikely]] {
        refuse(trade);
    }
}

inline void BarBuilder::refuse(const Trade& trade) const {
    using bucketing::number_text;
    double time = trade.time;
    if (!(time >= bucketing::kEarliest && time <= bucketing::kLatest)) {
        throw BadTrade{"has time " + number_text(time) + ", not " + bucketing::kInstantsText};
    }
    if (time < last_time_) {
        throw BadTrade{"has time " + instant_text(time) + ", before its ticker's previous trade at " +
                       instant_text(last_time_) + ": trades must be in time order"};
    }
    if (time < floor_) {
        throw BadTrade{"has time " + instant_text(time) + ", before " + instant_text(floor_) +
                       ", to which the bars were advanced"};
    }
    if (!(std::isfinite(trade.price) && trade.price > 0)) {
        throw BadTrade{"has a price of " + number_text(trade.price) + ": prices are finite and positive"};
    }
    if (!(std::isfinite(trade.size) && trade.size >= 0)) {
        throw BadTrade{"has a size of " + number_text(trade.size) + ": sizes are finite and not negative"};
    }
    if (!(std::isfinite(trade.notional) && trade.notional >= 0)) {
        throw BadTrade{"has a notional of " + number_text(trade.notional) + ": notionals are finite and not negative"};
    }
    tally_.check_count(trade.count);
}

// A tick stands for the growth of its running totals since the ticker's
// previous tick (the first tick's totals count from zero).  A total that
// falls means the feed started a new session: the totals count from zero
// again.  A tick without growth in volume is a quote, not a trade: it changes
// no price.
template <typename Emit>
void BarBuilder::add_tick(const unsigned char* record, Emit& emit) {
    auto at = [record](std::size_t offset) { return read_field(record, Field<double>{offset}); };
    double time = at(offsetof(_TickDataLiteBuffer, timestamp));
    std::array<double, 3> now{at(offsetof(_TickDataLiteBuffer, total_traded_volume)),
                              at(offsetof(_TickDataLiteBuffer, total_traded_notional)),
                              static_cast<double>(read_field(
                                  record, Field<std::uint32_t>{offsetof(_TickDataLiteBuffer, total_trade_count)}))};
    check_time(time);
    for (double total : now) {
        if (!(std::isfinite(total) && total >= 0)) {
            throw BadTrade{"has a running total of " + bucketing::number_text(total) +
                           ": totals are finite and not negative"};
        }
    }
    bool restarted = now[0] < totals_[0] || now[1] < totals_[1] || now[2] < totals_[2];
    std::array<double, 3> growth = now;
    if (!restarted) {
        for (std::size_t i = 0; i < growth.size(); ++i) {
            growth[i] -= totals_[i];
        }
    }
    if (growth[0] > 0) {
        add(Trade{time, at(offsetof(_TickDataLiteBuffer, last_price)), growth[0], growth[1],
                  static_cast<std::uint32_t>(growth[2])},
            emit);
    } else {
        last_time_ = time;
    }
    totals_ = now;
}

// Tests of the fast path on a double's bits, which as an unsigned integer
// order the non-negative doubles, +inf and NaN above every finite one (-0.0
// fails them, and takes the slow path).
inline bool finite_not_negative(double x) { return std::bit_cast<std::uint64_t>(x) < 0x7FF0000000000000ULL; }
inline bool finite_positive(double x) { return std::bit_cast<std::uint64_t>(x) - 1 < 0x7FEFFFFFFFFFFFFFULL; }

// The batch's fast path: from trade `next` on, the trades that join the
// open bar and close nothing, added in a tight loop over a local copy of the
// bar (which the compiler keeps in registers); the first trade that may close
// a bar, open one or be refused is left to add().  The index of that trade.
template <typename Row>
std::size_t BarBuilder::add_quiet(std::size_t next, std::size_t end, Row& row) {
    if (tally_.empty() || floor_ > last_time_ || (rules_->rule == Rule::time && !in_session_)) {
        return next;
    }
    switch (rules_->rule) {
        case Rule::time: return add_quiet_as<Rule::time>(next, end, row);
        case Rule::ticks: return add_quiet_as<Rule::ticks>(next, end, row);
        case Rule::volume: return add_quiet_as<Rule::volume>(next, end, row);
        case Rule::value: return add_quiet_as<Rule::value>(next, end, row);
    }
    return next;
}

template <Rule rule, typename Row>
std::size_t BarBuilder::add_quiet_as(std::size_t next, std::size_t end, Row& row) {
    constexpr std::uint64_t kMostTrades = std::numeric_limits<std::uint32_t>::max();
    const double threshold = rules_->threshold;
    // A trade at or after `lower` and before `upper` is in time order and in
    // the open bucket (the open bar has a trade, so lower is a valid time,
    // and add_quiet saw that floor_ is not above it).
    double lower = last_time_;
    const double upper =
        std::min(rule == Rule::time ? bucket_.reach : std::numeric_limits<double>::infinity(), bucketing::kLatest);
    Tally bar = tally_;
    for (; next < end; ++next) {
        const Trade trade = row(next);
        // Whether the trade leaves the bar open: add_counted's and add_split's tests, as they write them.
        bool open = true;
        if constexpr (rule == Rule::ticks) {
            open = static_cast<double>(bar.trades() + trade.count) < threshold;
        } else if constexpr (rule == Rule::volume) {
            open = trade.size < (threshold - bar.volume()) - slack_;
        } else if constexpr (rule == Rule::value) {
            open = trade.notional < (threshold - bar.notional()) - slack_;
        }
        const bool quiet = (trade.time >= lower) & (trade.time < upper) & finite_positive(trade.price) &
                           finite_not_negative(trade.size) & finite_not_negative(trade.notional) &
                           (bar.trades() + trade.count <= kMostTrades) & open;
        if (!quiet) {
            break;
        }
        bar.absorb(trade.price, trade.size, trade.notional, trade.count);
        lower = trade.time;
    }
    last_time_ = lower;
    tally_ = bar;
    return next;
}

template <typename Emit>
void BarBuilder::add_timed(const Trade& trade, Emit& emit) {
    if (trade.time >= bucket_.reach) {
        Bucket next = bucket_;
        if (clock_->move_to(trade.time, next)) {
            // An intraday bucket wholly in the session spares its trades a look at the zone.
            bool inside = !clock_->has_session() || (!clock_->daily() && clock_->in_session(next));
            leave_bucket(next, emit);
            in_session_ = inside;
        }
        bucket_ = next;
    }
    if (in_session_ || clock_->in_session(trade.time)) {
        tally_.add(trade.price, trade.size, trade.notional, trade.count);
    }
}

// Closes the bucket being filled and, with fill, makes a bar for each empty
// bucket in the session before `next`; bucket_ follows each, so that a
// NotCovered on the way leaves the builder where it got to.
template <typename Emit>
void BarBuilder::leave_bucket(const Bucket& next, Emit& emit) {
    if (!tally_.empty()) {
        emit(static_cast<const Record&>(
            tally_.record(ticker_, clock_->timestamp(bucket_), clock_->span(bucket_))));
        last_close_ = tally_.close();
        tally_ = Tally();
    }
    if (!rules_->fill || std::isnan(last_close_)) {
        return;
    }
    for (Bucket empty = clock_->next(bucket_); empty.from < next.from; empty = clock_->next(empty)) {
        bucket_ = empty;
        if (clock_->in_session(empty)) {
            emit(static_cast<const Record&>(
                Tally::flat(last_close_).record(ticker_, clock_->timestamp(empty), clock_->span(empty))));
        }
    }
}

// Volume and value bars.  A trade that crosses the threshold is split: the
// part that fills the bar goes into it, the rest fills whole bars and opens
// the next one, every piece at the trade's price and counted as a trade.
//
// Why the thresholds come out exact, with no drift over any number of bars:
// a closed bar's volume (or notional) is set to the threshold itself, not to
// the sum of its pieces, and a new bar starts from zero; so the only rounding
// is within one bar, in the sum of its own pieces and in the first piece of a
// split (threshold - filled).  The whole bars a large trade fills are counted,
// not subtracted one by one: after j of them the remainder is one fused
// multiply-add, rest - j * threshold, rounded once.  A bar counts as full when
// it is within slack_ (2^-40 of the threshold, thousands of roundings of a
// bar's sum) of the threshold, and a remainder within slack_ of zero is the
// rounding of a sum that met the threshold exactly, not a trade: it opens no
// bar, so no bar of zero (or rounding-sized) volume is ever made.
template <typename Emit>
void BarBuilder::add_split(const Trade& trade, Emit& emit) {
    const double threshold = rules_->threshold;
    const double whole = rules_->rule == Rule::value ? trade.notional : trade.size;
    const double filled = rules_->rule == Rule::value ? tally_.notional() : tally_.volume();
    const double need = threshold - filled;
    if (whole < need - slack_) {  // the bar stays open
        tally_.add(trade.price, trade.size, trade.notional, trade.count);
        return;
    }
    const double rest = whole - need;
    if (rest > kMostSplits * threshold) {
        throw BadTrade{"has " + bucketing::number_text(whole) + " to split, more than 16777216 bars of " +
                       bucketing::number_text(threshold) + ": choose a larger threshold"};
    }
    add_piece(trade, need, whole);
    settle_and_close(trade.time, emit);
    for (std::uint64_t bars = 1;; ++bars) {
        const double left = std::fma(-static_cast<double>(bars), threshold, rest);  // after `bars` whole bars
        if (left < -slack_) {  // not enough for another: what is left opens a bar
            const double remainder = std::fma(-static_cast<double>(bars - 1), threshold, rest);
            if (remainder > slack_) {
                add_piece(trade, remainder, whole);
            }
            return;
        }
        add_piece(trade, threshold, whole);
        settle_and_close(trade.time, emit);
        if (left <= slack_) {
            return;
        }
    }
}

}  // namespace tarnwick::aggregating

// The buckets of the resampling pass (_bucketing): where new bars begin and
// end, for spans of seconds on the zone's wall clock (IntradayGrid) and for
// spans of whole local days, weeks or months (DailyGrid).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "bucket_calendar.hpp"
#include "bucket_zone.hpp"

namespace tarnwick::bucketing {

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
}  // namespace tarnwick::bucketing

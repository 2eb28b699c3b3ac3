// The arguments of a bucketing pass that the module entries check before the
// pass runs (for resample and for aggregate alike): the unit and count of a
// span, and the zone table.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bucket_calendar.hpp"
#include "bucket_grids.hpp"

namespace tarnwick::bucketing {

// A bad input: the message becomes a ValueError once the GIL is back.
struct Failure {
    std::string message;
};

inline Unit unit_named(std::string_view name) {
    if (name == "s") return Unit::seconds;
    if (name == "d") return Unit::days;
    if (name == "w") return Unit::weeks;
    if (name == "mo") return Unit::months;
    throw Failure{"unknown unit " + std::string(name)};
}

// The count of units in a bucket (a Python integer as long long, `overflow`
// as PyLong_AsLongLongAndOverflow sets it), refused unless the calendar of
// dates holds a bucket that long: no longer one could have a date for its end
// and its start, and day or second arithmetic on it would overflow.
inline std::int64_t bucket_count(Unit unit, long long value, int overflow) {
    constexpr std::int64_t days = kLastDay - kFirstDay + 1;
    constexpr std::int64_t years = 9999;
    constexpr std::int64_t months = years * 12;
    constexpr std::int64_t most[] = {days * 86400, days, days / 7, months};  // in the order of Unit
    constexpr const char* names[] = {"seconds", "days", "weeks", "months"};
    const auto which = static_cast<std::size_t>(unit);
    if (overflow == 0 && value >= 1 && value <= most[which]) {
        return value;
    }
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        throw Failure{"a bucket holds a positive count of units"};
    }
    std::string count = overflow > 0 ? "more than " + std::to_string(LLONG_MAX) : std::to_string(value);
    throw Failure{"a bucket of " + count + " " + names[which] +
                  " is longer than the calendar of dates (0001-01-01 to 9999-12-31)"};
}

// Checks the zone table: one offset more than transitions, transitions in
// order, and offsets of less than a day as every zone's are (the pass turns
// local times into days with them).
inline void check_zone_table(const std::vector<double>& transitions, const std::vector<double>& offsets) {
    if (offsets.size() != transitions.size() + 1) {
        throw Failure{"a zone table has one offset more than transitions"};
    }
    for (std::size_t i = 0; i < transitions.size(); ++i) {
        if (!std::isfinite(transitions[i]) || (i > 0 && !(transitions[i - 1] <= transitions[i]))) {
            throw Failure{"the zone table's transitions are not finite and in order"};
        }
    }
    for (double offset : offsets) {
        if (!(std::fabs(offset) < kDay)) {
            throw Failure{"the zone table holds an offset of " + number_text(offset) + " s, not less than a day"};
        }
    }
}

}  // namespace tarnwick::bucketing

// Calendar arithmetic of the resampling pass (_bucketing): days counted from
// 1970-01-01, the date numbers bars carry (year*10000 + month*100 + day) and
// the range of instants and days a bar may have, which is Python's datetime's.
#pragma once

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnwick::bucketing {

inline constexpr double kDay = 86400.0;
// The instants a bar may have: those of Python's datetime (0001-01-01 to
// 9999-12-31), less two days at either end for the zone table's margins.
inline constexpr double kEarliest = -62135596800.0 + 2 * kDay;
inline constexpr double kLatest = 253402300799.0 - 2 * kDay;
inline constexpr const char kInstantsText[] = "an instant from 0001-01-03 to 9999-12-29 (UTC)";  // the two above

// The days (since 1970-01-01) a bar's date can be: those of Python's date.
inline constexpr std::int64_t kFirstDay =
    std::chrono::sys_days(std::chrono::year(1) / 1 / 1).time_since_epoch().count();
inline constexpr std::int64_t kLastDay =
    std::chrono::sys_days(std::chrono::year(9999) / 12 / 31).time_since_epoch().count();

// Days since 1970-01-01 of a date number, or nothing for a value that is not
// a valid date number of the years 1900 to 9999.
inline bool day_of_date_number(double value, std::int64_t& day) {
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

// The calendar date of a day; days far outside kFirstDay..kLastDay give years
// past what the date types hold, so callers keep to that range.
inline std::chrono::year_month_day civil(std::int64_t day) {
    return std::chrono::year_month_day(std::chrono::sys_days(std::chrono::days(day)));
}

inline double date_number(std::int64_t day) {
    auto date = civil(day);
    int number = static_cast<int>(date.year()) * 10000 + static_cast<int>(static_cast<unsigned>(date.month())) * 100 +
                 static_cast<int>(static_cast<unsigned>(date.day()));
    return static_cast<double>(number);
}

inline std::int64_t first_day_of_month(std::int64_t month_index) {  // month_index: year * 12 + month - 1
    std::chrono::year_month_day date{std::chrono::year(static_cast<int>(month_index / 12)),
                                     std::chrono::month(static_cast<unsigned>(month_index % 12 + 1)),
                                     std::chrono::day(1)};
    return std::chrono::sys_days(date).time_since_epoch().count();
}

inline std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// "2024-06-03".
inline std::string text_of_date(std::int64_t day) {
    auto date = civil(day);
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%04d-%02u-%02u", static_cast<int>(date.year()),
                        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    return text.data();
}

// "1e+300": a number as a message shows it.
inline std::string number_text(double value) {
    std::array<char, 32> text{};
    (void)std::snprintf(text.data(), text.size(), "%g", value);
    return text.data();
}

}  // namespace tarnwick::bucketing

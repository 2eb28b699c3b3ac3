// The time zone of the resampling pass (_bucketing): a table of offset changes
// over a range of instants, which the Python side builds from zoneinfo (the
// native library has no zone database) and the pass reads without the GIL.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "bucket_calendar.hpp"

namespace tarnwick::bucketing {

// The zone table does not reach an instant the pass needs; the Python side
// widens the table and calls again.
struct NotCovered {};

// A time zone over a range of instants: offsets[i] (seconds east of UTC) holds
// from transitions[i - 1] up to transitions[i]; offsets has one entry more.
// The module entry checks the table: transitions in order, offsets under a day.
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

}  // namespace tarnwick::bucketing

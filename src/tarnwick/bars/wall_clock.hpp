// Wall-clock times of a table placed in a zone, and back, over the zone's
// table of offset changes (bucket_zone.hpp, the one the resampling pass
// reads): one pass in row order, no sorting, no interpreter.  The module
// entry (_pack.cpp) holds the buffers and releases the GIL around these.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "bucket_zone.hpp"

namespace tarnwick::wall_clock {

using bucketing::Zone;

constexpr std::int64_t kMicros = 1'000'000;
// The carried epoch of a ticker that has had no row yet.
constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();

// Item `index` of a buffer that may start at any address.
template <class T>
T load(const unsigned char* items, std::size_t index) noexcept {
    T value;
    std::memcpy(&value, items + index * sizeof value, sizeof value);
    return value;
}

template <class T>
void store(unsigned char* items, std::size_t index, T value) noexcept {
    std::memcpy(items + index * sizeof value, &value, sizeof value);
}

inline std::int64_t floor_seconds(std::int64_t micros) noexcept {
    return micros / kMicros - (micros % kMicros < 0 ? 1 : 0);
}

// The instants a wall-clock second can be: none where the clocks skip it,
// two where they show it twice (earlier first), else one.
struct Readings {
    std::array<std::int64_t, 2> offsets{};  // seconds east of UTC, of the earlier instant first
    int count = 0;
};

inline Readings readings(const Zone& zone, std::int64_t wall_second) {
    const auto wall = static_cast<double>(wall_second);
    // Offsets are under a day and changes months apart: the segment of the
    // wall time read as UTC, or a neighbour, holds the instant.
    const std::size_t near = zone.segment(wall);
    Readings found;
    // A day or more from either change of its segment (nearly every time): one reading.
    const bool after_change = near == 0 || wall - zone.transition(near - 1) > bucketing::kDay;
    const bool before_change = near == zone.size() || zone.transition(near) - wall > bucketing::kDay;
    if (after_change && before_change) {
        found.offsets[0] = static_cast<std::int64_t>(zone.offset_in(near));
        found.count = 1;
        return found;
    }
    const std::size_t first = near > 0 ? near - 1 : 0;
    const std::size_t last = std::min(near + 1, zone.size());
    for (std::size_t k = first; k <= last && found.count < 2; ++k) {
        const double offset = zone.offset_in(k);
        if (zone.segment(wall - offset) == k) {
            found.offsets[static_cast<std::size_t>(found.count++)] = static_cast<std::int64_t>(offset);
        }
    }
    return found;
}

// What the caller gives and gets: rows of wall-clock microseconds, each
// row's ticker (an index into `carried`, or none), and per ticker the epoch
// of its last row so far, carried from one piece of a table to the next.
struct Rows {
    const unsigned char* wall;
    const unsigned char* tickers;  // int64 per row, or null: one ticker
    unsigned char* epochs;         // int64 per row, written
    unsigned char* carried;        // int64 per ticker, read and written
    std::size_t count;
    std::size_t tickers_known;     // items of `carried`
    bool forward;                  // rows run oldest first (else newest first)
};

// Epoch microseconds of the rows' wall-clock times.  A time the clocks show
// twice is the earlier instant unless the ticker's row before it is at or
// past that instant (rows in time order go on into the repeated hour);
// newest first, the mirror image.  Returns the first row whose time the
// clocks skip, or -1.  Throws NotCovered for a time outside the zone table.
inline std::int64_t to_utc(const Zone& zone, const Rows& rows) {
    for (std::size_t i = 0; i < rows.count; ++i) {
        const auto wall = load<std::int64_t>(rows.wall, i);
        const Readings seen = readings(zone, floor_seconds(wall));
        if (seen.count == 0) {
            return static_cast<std::int64_t>(i);
        }
        const std::int64_t ticker = rows.tickers != nullptr ? load<std::int64_t>(rows.tickers, i) : 0;
        const bool tracked = ticker >= 0 && static_cast<std::size_t>(ticker) < rows.tickers_known;
        const auto slot = static_cast<std::size_t>(ticker);
        const std::int64_t before = tracked ? load<std::int64_t>(rows.carried, slot) : kNone;
        const std::int64_t earlier = wall - seen.offsets[0] * kMicros;
        std::int64_t epoch = earlier;
        if (seen.count == 2 && before != kNone) {
            const std::int64_t later = wall - seen.offsets[1] * kMicros;
            if (rows.forward) {
                epoch = earlier > before ? earlier : later;
            } else {
                epoch = later < before ? later : earlier;
            }
        }
        store(rows.epochs, i, epoch);
        if (tracked) {
            store(rows.carried, slot, epoch);
        }
    }
    return -1;
}

// Wall-clock microseconds in the zone of `count` epoch microseconds.
inline void to_wall(const Zone& zone, const unsigned char* epochs, unsigned char* walls, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto epoch = load<std::int64_t>(epochs, i);
        const auto offset = static_cast<std::int64_t>(zone.offset(static_cast<double>(floor_seconds(epoch))));
        store(walls, i, epoch + offset * kMicros);
    }
}

}  // namespace tarnwick::wall_clock

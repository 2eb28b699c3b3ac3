// The batch pass of _aggregating: trades in, bars out, one BarBuilder per
// ticker (bar_builder.hpp).  It stands for this Python, piece by piece:
//
//     for trade in piece:                         # columns, or packed records
//         builders.setdefault(trade.ticker, BarBuilder(rules)).add(trade)
//     ...
//     return concatenation of each ticker's bars, in order of first appearance
//
// Builders and bars carry over from one piece to the next, so a table is read
// in pieces.  It runs without the GIL: nothing here touches an interpreter object.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "bar_builder.hpp"
#include "bucket_arguments.hpp"
#include "ticker_table.hpp"

namespace tarnwick::aggregating {

using bucketing::Failure;

// One piece of a trade table as columns of native values, read in place
// (each a whole number of items; the module entry checks their lengths).
struct Columns {
    std::span<const unsigned char> times;      // doubles: UTC epoch seconds
    std::span<const unsigned char> prices;     // doubles
    std::span<const unsigned char> sizes;      // doubles
    std::span<const unsigned char> notionals;  // doubles, or empty: price * size
    std::span<const unsigned char> codes;      // int32 codes into names, or empty: every row is names[0]
    std::vector<TickerBytes> names;
    std::uint64_t first_row;                   // the source row of the first row, for messages
};

class Batch {
public:
    Batch(const Rules& rules, const ClockOptions& clock);

    // Adds a piece: true when done, false when the zone table ran out (call
    // again with the same piece and a wider table, and it carries on).
    // Throws Failure for a trade it refuses, and std::bad_alloc; a batch that
    // refused a trade refuses every later call (its bars are incomplete).
    bool add_columns(const Columns& columns, std::vector<double> transitions, std::vector<double> offsets,
                     double covered_from, double covered_to);
    bool add_records(std::span<const unsigned char> records, std::vector<double> transitions,
                     std::vector<double> offsets, double covered_from, double covered_to);

    // Ends every ticker's last bar: all the bars, ticker after ticker.
    std::vector<Record> finish();

private:
    struct Entry {
        BarBuilder builder;
        std::vector<Record> bars;
    };

    void set_zone(std::vector<double> transitions, std::vector<double> offsets, double from, double to);
    Entry& entry_of(const char* ticker);
    Entry& entry_of_code(const Columns& columns, std::size_t row);
    void add_rows(const Columns& columns, std::size_t end);
    std::size_t expected_bars(const Columns& columns, std::size_t rows) const;
    void add_record(std::span<const unsigned char> records);
    void check_usable() const;

    Rules rules_;
    ClockOptions clock_options_;
    std::vector<double> transitions_, offsets_;  // the zone table clock_ reads
    Clock clock_;
    TickerTable<Entry> table_;
    std::vector<Entry*> by_code_;   // the entries of the piece's ticker codes, as they come
    std::size_t resume_ = 0;        // the row, or the byte of the record, to carry on from
    std::uint64_t records_done_ = 0;  // records of the earlier buffers, for messages
    std::uint64_t record_index_ = 0;  // the index of the record at resume_
    bool refused_ = false;            // a trade was refused: the bars are incomplete
};

}  // namespace tarnwick::aggregating

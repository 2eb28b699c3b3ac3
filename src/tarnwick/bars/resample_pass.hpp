// The resampling pass of _bucketing: packed bar records in, the new bars out.
// One pass over the records (a mapped file, read in place) that gathers the
// bars of each ticker into buckets and writes one new record per bucket.  It
// stands for this Python, bar by bar:
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
// It runs without the GIL: nothing here touches an interpreter object.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bucket_arguments.hpp"
#include "bucket_grids.hpp"
#include "bucket_zone.hpp"
#include "records.hpp"

namespace tarnwick::bucketing {

// One new bar record: storage only; its fields are read and written through
// records.hpp's accessors.
using Record = _CandlestickBuffer;

struct Options {
    Unit unit;
    std::int64_t count;     // of the unit, at most what the calendar holds
    double origin;          // intraday target: seconds after midnight of one boundary
    double session_from;    // local seconds after midnight, or -1
    double session_to;
    bool daily_source;
    bool check_kind;        // the kind was inferred: refuse records of the other kind
};

// The new bars of `records` (whole bar records back to back, at any address).
// Throws Failure for a record it refuses, NotCovered when the zone table does
// not reach an instant it needs, and std::bad_alloc.
std::vector<Record> resample_records(std::span<const unsigned char> records, const Options& options,
                                     const Zone& zone);

}  // namespace tarnwick::bucketing

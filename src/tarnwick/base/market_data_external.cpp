// Orderings of market-data records and order-book levels, in the form qsort
// and similar C routines expect, exported under plain C names so that other
// native code loaded into the same process can sort records it holds.  The
// functions themselves touch no interpreter state: they read the two
// records and nothing else.
//
// Records arrive at whatever address the caller put them, often odd ones:
// fields are read with the accessors of records.hpp, which copy bytes and
// never form a misaligned pointer.

#include "market_data_external.h"

#include <cstring>

#include "records.hpp"

#define TARNWICK_EXPORT __attribute__((visibility("default")))

namespace {

using tarnwick::read_field;
namespace header = tarnwick::header;
namespace book_entry = tarnwick::book_entry;

// An element of the array being sorted is a pointer to a record.  The array
// itself may be caller-packed, so the pointer is copied out too and need not
// be pointer-aligned.
double timestamp_of(const void* slot) {
    const void* record = nullptr;
    std::memcpy(static_cast<void*>(&record), slot, sizeof record);
    return read_field(record, header::timestamp);
}

// Comparisons are written so that a NaN on either side falls through to 0.
int compare_timestamps(const void* a, const void* b) {
    const double ta = timestamp_of(a);
    const double tb = timestamp_of(b);
    if (ta < tb) return -1;
    if (ta > tb) return 1;
    return 0;
}

// Empty levels sink to the end in either book; `rank` orders the rest.
template <int (*rank)(double, double)>
int compare_levels(const void* a, const void* b) {
    const bool a_empty = read_field(a, book_entry::n_orders) == 0;  // sole arbiter of emptiness, whatever the price
    const bool b_empty = read_field(b, book_entry::n_orders) == 0;
    if (a_empty) return b_empty ? 0 : 1;
    if (b_empty) return -1;
    return rank(read_field(a, book_entry::price), read_field(b, book_entry::price));
}

int highest_first(double pa, double pb) {
    if (pa < pb) return 1;
    if (pa > pb) return -1;
    return 0;
}

int lowest_first(double pa, double pb) {
    if (pa < pb) return -1;
    if (pa > pb) return 1;
    return 0;
}

}  // namespace

extern "C" {

TARNWICK_EXPORT int compare_md(const void* a, const void* b) {
    return compare_timestamps(a, b);
}

// Kept as a separate symbol for consumers that bind to this name.
TARNWICK_EXPORT int compare_md_ptr(const void* a, const void* b) {
    return compare_timestamps(a, b);
}

TARNWICK_EXPORT int compare_entries_bid(const void* a, const void* b) {
    return compare_levels<highest_first>(a, b);
}

TARNWICK_EXPORT int compare_entries_ask(const void* a, const void* b) {
    return compare_levels<lowest_first>(a, b);
}

}  // extern "C"

// Orderings of market-data records and order-book levels, in the form qsort
// and similar C routines expect, exported under plain C names so that other
// native code loaded into the same process can sort records it holds.  The
// functions themselves touch no interpreter state: they read the two
// records and nothing else.
//
// The layouts are restated here rather than shared so that this file depends
// on nothing but the byte contract itself; the static_asserts pin that
// contract.  Records arrive at whatever address the caller put them, often
// odd ones, so every read goes through a pointer to a packed type (which the
// compiler turns into alignment-safe loads).

#include "market_data_external.h"

#include <cstddef>
#include <cstdint>

#define TARNWICK_EXPORT __attribute__((visibility("default")))

namespace {

#pragma pack(push, 1)

// The common header every record starts with; only `timestamp` is read, but
// the preceding fields fix its offset.
struct MetaInfo {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
};

struct Entry {
    double price;
    double volume;
    std::uint64_t n_orders;  // sole arbiter of emptiness, whatever the price
};

static_assert(sizeof(MetaInfo) == 41);
static_assert(offsetof(MetaInfo, dtype) == 0);
static_assert(offsetof(MetaInfo, ticker) == 1);
static_assert(offsetof(MetaInfo, timestamp) == 33);

static_assert(sizeof(Entry) == 24);
static_assert(offsetof(Entry, price) == 0);
static_assert(offsetof(Entry, volume) == 8);
static_assert(offsetof(Entry, n_orders) == 16);

// An element of the array being sorted: a pointer to a record.  The array
// itself may be caller-packed, so the pointer is read through a packed type
// too and need not be pointer-aligned.
struct RecordSlot {
    const MetaInfo* record;
};

#pragma pack(pop)

static_assert(sizeof(RecordSlot) == sizeof(const MetaInfo*));

double timestamp_of(const void* slot) {
    return static_cast<const RecordSlot*>(slot)->record->timestamp;
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
    const Entry* ea = static_cast<const Entry*>(a);
    const Entry* eb = static_cast<const Entry*>(b);
    const bool a_empty = ea->n_orders == 0;
    const bool b_empty = eb->n_orders == 0;
    if (a_empty) return b_empty ? 0 : 1;
    if (b_empty) return -1;
    return rank(ea->price, eb->price);
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

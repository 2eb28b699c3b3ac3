// tarnwick.bars._pack: fills bar records from columns, for converting tables
// into bar files without a Python object per row, and takes columns out of
// records again (`gather`), for reducing a file's fields on contiguous
// memory.  It takes any buffers (numpy arrays, arrow buffers, array.array),
// so it imports without numpy.
//
// The module roughly corresponds to::
//
//     def pack(out, ticker, columns, trade_count, start):
//         for i in range(len(out) // 101):
//             RECORD_STRUCT.pack_into(out, 101 * i, 40, ticker,
//                                     *(column[start + i] for column in columns),
//                                     trade_count[start + i])
//         return len(out) // 101
//
//     def gather(records, fields):
//         for offset, out in fields:
//             for i in range(len(records) // 101):
//                 out[i] = records[101 * i + offset : 101 * i + offset + out.itemsize]
//         return len(records) // 101
//
// where `columns` holds the eight float64 fields in record order (timestamp,
// bar_span, high, low, open, close, volume, notional).  Beside it, `to_utc`
// and `to_wall` place a table's wall-clock times in a zone and back
// (wall_clock.hpp), from the zone table that the resampling pass reads.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "held_buffer.hpp"
#include "records.hpp"
#include "ticker_table.hpp"
#include "wall_clock.hpp"

namespace {

using tarnwick::_CandlestickBuffer;
using tarnwick::HeldBuffer;
using tarnwick::_MetaInfo;
namespace bar = tarnwick::bar;

// Item `index` of a column: copied, since a buffer may start at any address
// (a slice of a memoryview, say), where a typed load would be misaligned.
template <class T>
T item(const unsigned char* column, Py_ssize_t index) noexcept {
    T value;
    std::memcpy(&value, column + index * static_cast<Py_ssize_t>(sizeof value), sizeof value);
    return value;
}

constexpr Py_ssize_t kRecordSize = sizeof(_CandlestickBuffer);
static_assert(kRecordSize == 101);
constexpr std::size_t kFloatColumns = 8;

// Acquires a column of `needed` items from `start` on; false with an exception set.
bool hold_column(HeldBuffer& buffer, PyObject* obj, Py_ssize_t size, const char* codes, const char* what,
                 Py_ssize_t needed) {
    if (!buffer.acquire(obj, PyBUF_FORMAT)) {
        return false;
    }
    Py_ssize_t count = buffer.count_of(size, codes);
    if (count < 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a buffer of %zd-byte items ('%s'), not '%s'", what, size,
                     codes, buffer.view().format != nullptr ? buffer.view().format : "B");
        return false;
    }
    if (count < needed) {
        PyErr_Format(PyExc_ValueError, "%s holds %zd items, %zd are needed", what, count, needed);
        return false;
    }
    return true;
}

PyObject* pack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "pack() takes 5 arguments (out, ticker, columns, trade_count, start), %zd given",
                     nargs);
        return nullptr;
    }
    HeldBuffer out;
    if (!out.acquire(args[0], PyBUF_WRITABLE)) {
        return nullptr;
    }
    if (out.view().len % kRecordSize != 0) {
        PyErr_Format(PyExc_ValueError, "out holds %zd bytes, not a whole number of %zd-byte records",
                     out.view().len, kRecordSize);
        return nullptr;
    }
    const Py_ssize_t records = out.view().len / kRecordSize;

    char* ticker = nullptr;
    Py_ssize_t ticker_size = 0;
    if (PyBytes_AsStringAndSize(args[1], &ticker, &ticker_size) < 0) {
        return nullptr;
    }
    if (ticker_size > static_cast<Py_ssize_t>(sizeof(_CandlestickBuffer::ticker))) {
        PyErr_Format(PyExc_ValueError, "a ticker is at most 32 bytes, not %zd", ticker_size);
        return nullptr;
    }

    const Py_ssize_t start = PyLong_AsSsize_t(args[4]);
    if (start == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (start < 0) {
        PyErr_SetString(PyExc_ValueError, "start must not be negative");
        return nullptr;
    }
    if (records > PY_SSIZE_T_MAX - start) {  // start + records would overflow
        PyErr_Format(PyExc_ValueError, "start %zd is past the end of any column", start);
        return nullptr;
    }
    const Py_ssize_t needed = start + records;

    if (!PyTuple_Check(args[2]) || PyTuple_GET_SIZE(args[2]) != static_cast<Py_ssize_t>(kFloatColumns)) {
        PyErr_SetString(PyExc_TypeError, "columns must be a tuple of 8 float64 buffers");
        return nullptr;
    }
    std::array<HeldBuffer, kFloatColumns> columns;
    std::array<const unsigned char*, kFloatColumns> values{};  // the first item wanted of each
    for (std::size_t i = 0; i < kFloatColumns; ++i) {
        if (!hold_column(columns[i], PyTuple_GET_ITEM(args[2], static_cast<Py_ssize_t>(i)), 8, "d", "a column",
                         needed)) {
            return nullptr;
        }
        values[i] = static_cast<const unsigned char*>(columns[i].view().buf) + start * 8;
    }
    HeldBuffer counts;
    if (!hold_column(counts, args[3], 4, "IL", "trade_count", needed)) {
        return nullptr;
    }
    const auto* trade_counts = static_cast<const unsigned char*>(counts.view().buf) + start * 4;

    // The header every record starts with: the bar kind and the ticker, zero-padded.
    _MetaInfo header{};
    header.dtype = tarnwick::DTYPE_BAR;
    std::memcpy(header.ticker, ticker, static_cast<std::size_t>(ticker_size));
    constexpr std::size_t kKindAndTicker = tarnwick::header::ticker_offset + tarnwick::header::ticker_size;

    // The buffers stay held (and their exporters pinned) while the loop runs
    // without the interpreter, so the writer thread can overlap with it.
    auto* target = static_cast<unsigned char*>(out.view().buf);
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < records; ++i) {
        unsigned char* record = target + i * kRecordSize;
        std::memcpy(record, &header, kKindAndTicker);
        write_field(record, tarnwick::header::timestamp, item<double>(values[0], i));
        write_field(record, bar::bar_span, item<double>(values[1], i));
        write_field(record, bar::high_price, item<double>(values[2], i));
        write_field(record, bar::low_price, item<double>(values[3], i));
        write_field(record, bar::open_price, item<double>(values[4], i));
        write_field(record, bar::close_price, item<double>(values[5], i));
        write_field(record, bar::volume, item<double>(values[6], i));
        write_field(record, bar::notional, item<double>(values[7], i));
        write_field(record, bar::trade_count, item<std::uint32_t>(trade_counts, i));
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(records);
}

// ---- wall-clock times ------------------------------------------------------------------

// A zone table as _zones gives it, (covered_from, covered_to, transitions,
// offsets), copied into aligned doubles and checked; false with an exception set.
struct ZoneTable {
    std::vector<double> transitions;
    std::vector<double> offsets;
    double from = 0.0;
    double to = 0.0;
};

bool read_zone_table(PyObject* table, ZoneTable& zone) {
    if (!PyTuple_Check(table) || PyTuple_GET_SIZE(table) != 4) {
        PyErr_SetString(PyExc_TypeError, "a zone table is a tuple (covered_from, covered_to, transitions, offsets)");
        return false;
    }
    zone.from = PyFloat_AsDouble(PyTuple_GET_ITEM(table, 0));
    zone.to = PyFloat_AsDouble(PyTuple_GET_ITEM(table, 1));
    if (PyErr_Occurred() != nullptr) {
        return false;
    }
    // No table reaches past the calendar: times outside it are not covered,
    // and every time that is stays far from where microseconds overflow.
    using tarnwick::bucketing::kDay;
    const double earliest = tarnwick::bucketing::kEarliest - 8 * kDay;
    const double latest = tarnwick::bucketing::kLatest + 8 * kDay;
    zone.from = zone.from >= earliest ? zone.from : earliest;
    zone.to = zone.to <= latest ? zone.to : latest;
    HeldBuffer transitions;
    HeldBuffer offsets;
    if (!hold_column(transitions, PyTuple_GET_ITEM(table, 2), 8, "d", "the transitions", 0) ||
        !hold_column(offsets, PyTuple_GET_ITEM(table, 3), 8, "d", "the offsets", 0)) {
        return false;
    }
    zone.transitions = transitions.copy_of<double>();
    zone.offsets = offsets.copy_of<double>();
    bool ordered = zone.offsets.size() == zone.transitions.size() + 1;
    for (std::size_t i = 1; ordered && i < zone.transitions.size(); ++i) {
        ordered = zone.transitions[i - 1] <= zone.transitions[i];
    }
    for (double offset : zone.offsets) {
        ordered = ordered && std::fabs(offset) < 86400.0;
    }
    if (!ordered) {
        PyErr_SetString(PyExc_ValueError, "a zone table has transitions in order and one offset more, under a day");
        return false;
    }
    return true;
}

// Holds the int64 buffers `out` (writable) and `in` of the same length; false with an exception set.
bool hold_pair(HeldBuffer& out, PyObject* out_obj, HeldBuffer& in, PyObject* in_obj, Py_ssize_t& count) {
    if (!out.acquire(out_obj, PyBUF_WRITABLE | PyBUF_FORMAT)) {
        return false;
    }
    count = out.count_of(8, "qlL");
    if (count < 0) {
        PyErr_SetString(PyExc_TypeError, "out must be a writable buffer of int64");
        return false;
    }
    return hold_column(in, in_obj, 8, "qlL", "the times", count);
}

constexpr const char* kNotCovered = "the zone table does not reach every time";

PyObject* to_utc(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError,
                     "to_utc() takes 6 arguments (out, wall, tickers, carried, zone_table, forward), %zd given", nargs);
        return nullptr;
    }
    HeldBuffer out;
    HeldBuffer wall;
    HeldBuffer tickers;
    HeldBuffer carried;
    ZoneTable table;
    Py_ssize_t count = 0;
    if (!hold_pair(out, args[0], wall, args[1], count) ||
        (args[2] != Py_None && !hold_column(tickers, args[2], 8, "qlL", "tickers", count)) ||
        !carried.acquire(args[3], PyBUF_WRITABLE | PyBUF_FORMAT) || !read_zone_table(args[4], table)) {
        return nullptr;
    }
    const Py_ssize_t known = carried.count_of(8, "qlL");
    if (known < 0) {
        PyErr_SetString(PyExc_TypeError, "carried must be a writable buffer of int64");
        return nullptr;
    }
    const int forward = PyObject_IsTrue(args[5]);
    if (forward < 0) {
        return nullptr;
    }
    const tarnwick::wall_clock::Rows rows{
        static_cast<const unsigned char*>(wall.view().buf),
        args[2] == Py_None ? nullptr : static_cast<const unsigned char*>(tickers.view().buf),
        static_cast<unsigned char*>(out.view().buf),
        static_cast<unsigned char*>(carried.view().buf),
        static_cast<std::size_t>(count),
        static_cast<std::size_t>(known),
        forward != 0};
    const tarnwick::bucketing::Zone zone(table.transitions, table.offsets, table.from, table.to);
    std::int64_t skipped = -1;
    bool covered = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        skipped = tarnwick::wall_clock::to_utc(zone, rows);
    } catch (const tarnwick::bucketing::NotCovered&) {
        covered = false;
    }
    Py_END_ALLOW_THREADS
    if (!covered) {
        PyErr_SetString(PyExc_ValueError, kNotCovered);
        return nullptr;
    }
    return PyLong_FromLongLong(skipped);
}

PyObject* to_wall(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "to_wall() takes 3 arguments (out, epochs, zone_table), %zd given", nargs);
        return nullptr;
    }
    HeldBuffer out;
    HeldBuffer epochs;
    ZoneTable table;
    Py_ssize_t count = 0;
    if (!hold_pair(out, args[0], epochs, args[1], count) || !read_zone_table(args[2], table)) {
        return nullptr;
    }
    const tarnwick::bucketing::Zone zone(table.transitions, table.offsets, table.from, table.to);
    bool covered = true;
    Py_BEGIN_ALLOW_THREADS
    try {
        tarnwick::wall_clock::to_wall(zone, static_cast<const unsigned char*>(epochs.view().buf),
                                      static_cast<unsigned char*>(out.view().buf), static_cast<std::size_t>(count));
    } catch (const tarnwick::bucketing::NotCovered&) {
        covered = false;
    }
    Py_END_ALLOW_THREADS
    if (!covered) {
        PyErr_SetString(PyExc_ValueError, kNotCovered);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- gather: fields of records into contiguous columns ------------------------

constexpr std::size_t kMaxFields = 16;
// Records taken per block: each field is copied out of a block in turn, so
// the records are read from memory once however many fields are asked for.
// Small blocks keep the fields' reads close together: blocks of 2048 records
// (200 kB) made the pass half as slow again as taking each record's fields
// together, blocks of 16 as fast.
constexpr Py_ssize_t kBlockRecords = 16;

// One field to take: its offset in the record, its width, and its column.
struct FieldColumn {
    Py_ssize_t offset;
    Py_ssize_t width;
    unsigned char* out;
};

// Items of a fixed width (every field of a bar record is 1, 4, 8 or 32
// bytes), copied as bytes: neither the records nor the column need be aligned.
template <std::size_t Width>
void copy_items(const unsigned char* source, unsigned char* out, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::memcpy(out + i * static_cast<Py_ssize_t>(Width), source + i * kRecordSize, Width);
    }
}

void copy_field(const FieldColumn& field, const unsigned char* records, Py_ssize_t begin, Py_ssize_t end) noexcept {
    const unsigned char* source = records + begin * kRecordSize + field.offset;
    unsigned char* out = field.out + begin * field.width;
    const Py_ssize_t count = end - begin;
    switch (field.width) {
    case 1: copy_items<1>(source, out, count); break;
    case 4: copy_items<4>(source, out, count); break;
    case 8: copy_items<8>(source, out, count); break;
    case 32: copy_items<32>(source, out, count); break;
    default:
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::memcpy(out + i * field.width, source + i * kRecordSize, static_cast<std::size_t>(field.width));
        }
    }
}

// Holds field `index`'s column and checks it against the record and the count; false with an exception set.
bool hold_field(HeldBuffer& buffer, FieldColumn& field, PyObject* pair, Py_ssize_t index, Py_ssize_t records) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_Format(PyExc_TypeError, "field %zd must be a pair (offset, out)", index);
        return false;
    }
    field.offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 0));
    if (field.offset == -1 && PyErr_Occurred()) {
        return false;
    }
    if (!buffer.acquire(PyTuple_GET_ITEM(pair, 1), PyBUF_WRITABLE | PyBUF_FORMAT)) {
        return false;
    }
    field.width = buffer.view().itemsize;
    if (field.offset < 0 || field.width < 1 || field.offset > kRecordSize - field.width) {
        PyErr_Format(PyExc_ValueError, "field %zd: %zd bytes at offset %zd do not lie in a %zd-byte record", index,
                     field.width, field.offset, kRecordSize);
        return false;
    }
    if (buffer.view().len != records * field.width) {
        PyErr_Format(PyExc_ValueError, "field %zd: out holds %zd bytes, %zd records of %zd-byte items need %zd",
                     index, buffer.view().len, records, field.width, records * field.width);
        return false;
    }
    field.out = static_cast<unsigned char*>(buffer.view().buf);
    return true;
}

PyObject* gather(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "gather() takes 2 arguments (records, fields), %zd given", nargs);
        return nullptr;
    }
    HeldBuffer source;
    if (!source.acquire(args[0], PyBUF_SIMPLE)) {
        return nullptr;
    }
    if (source.size() % kRecordSize != 0) {
        PyErr_Format(PyExc_ValueError, "records hold %zd bytes, not a whole number of %zd-byte records",
                     source.size(), kRecordSize);
        return nullptr;
    }
    const Py_ssize_t records = source.size() / kRecordSize;
    if (!PyTuple_Check(args[1]) || PyTuple_GET_SIZE(args[1]) > static_cast<Py_ssize_t>(kMaxFields)) {
        PyErr_Format(PyExc_TypeError, "fields must be a tuple of at most %zu pairs (offset, out)", kMaxFields);
        return nullptr;
    }
    const auto field_count = static_cast<std::size_t>(PyTuple_GET_SIZE(args[1]));
    std::array<HeldBuffer, kMaxFields> columns;
    std::array<FieldColumn, kMaxFields> fields{};
    for (std::size_t i = 0; i < field_count; ++i) {
        const auto index = static_cast<Py_ssize_t>(i);
        if (!hold_field(columns[i], fields[i], PyTuple_GET_ITEM(args[1], index), index, records)) {
            return nullptr;
        }
    }

    // The buffers stay held (their exporters pinned: a mapping cannot be
    // closed under us) while the copy runs without the interpreter.
    const auto* data = static_cast<const unsigned char*>(source.view().buf);
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t begin = 0; begin < records; begin += kBlockRecords) {
        const Py_ssize_t end = records - begin < kBlockRecords ? records : begin + kBlockRecords;
        for (std::size_t i = 0; i < field_count; ++i) {
            copy_field(fields[i], data, begin, end);
        }
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(records);
}

// ---- ticker_codes: each record's ticker as a number -------------------------------

// A ticker seen: its number and where its raw bytes first are.
struct TickerSeen {
    std::int32_t code;
    const char* bytes;
};

// With tickers interleaved a sort of the 32-byte names costs seconds per
// million records; one pass over a table of the tickers seen takes
// milliseconds.
PyObject* ticker_codes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "ticker_codes() takes 2 arguments (records, out), %zd given", nargs);
        return nullptr;
    }
    HeldBuffer source;
    HeldBuffer out;
    if (!source.acquire(args[0], PyBUF_SIMPLE) || !out.acquire(args[1], PyBUF_WRITABLE | PyBUF_FORMAT)) {
        return nullptr;
    }
    if (source.size() % kRecordSize != 0) {
        PyErr_Format(PyExc_ValueError, "records hold %zd bytes, not a whole number of %zd-byte records",
                     source.size(), kRecordSize);
        return nullptr;
    }
    const Py_ssize_t records = source.size() / kRecordSize;
    if (out.count_of(sizeof(std::int32_t), "i") != records) {
        PyErr_Format(PyExc_ValueError, "out must hold one int32 code for each of the %zd records", records);
        return nullptr;
    }
    const auto* data = static_cast<const char*>(source.view().buf);
    auto* codes = static_cast<unsigned char*>(out.view().buf);
    tarnwick::TickerTable<TickerSeen> tickers;
    bool too_many = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        for (Py_ssize_t i = 0; i < records; ++i) {
            const char* ticker = tarnwick::ticker_field(data + i * kRecordSize);
            const std::int32_t code = tickers.of(ticker, [&](const char* bytes) {
                return TickerSeen{static_cast<std::int32_t>(tickers.all().size()), bytes};
            }).code;
            std::memcpy(codes + i * sizeof code, &code, sizeof code);
        }
    } catch (const std::bad_alloc&) {
        too_many = true;
    }
    Py_END_ALLOW_THREADS
    if (too_many) {
        return PyErr_NoMemory();
    }
    PyObject* names = PyList_New(static_cast<Py_ssize_t>(tickers.all().size()));
    if (names == nullptr) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (const TickerSeen& seen : tickers.all()) {
        // As numpy's fixed-width bytes read them: without the trailing zero bytes.
        auto length = static_cast<Py_ssize_t>(tarnwick::header::ticker_size);
        while (length > 0 && seen.bytes[length - 1] == 0) {
            --length;
        }
        PyObject* name = PyBytes_FromStringAndSize(seen.bytes, length);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyList_SET_ITEM(names, index++, name);
    }
    return names;
}

PyMethodDef pack_methods[] = {
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack)), METH_FASTCALL,
     "pack(out, ticker, columns, trade_count, start, /)\n--\n\n"
     "Fills the writable buffer out with len(out) // 101 bar records of ticker (bytes), from row start\n"
     "of the columns: a tuple of eight float64 buffers (timestamp, bar_span, high, low, open, close,\n"
     "volume, notional) and a uint32 buffer of trade counts.  Returns the number of records."},
    {"to_utc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_utc)), METH_FASTCALL,
     "to_utc(out, wall, tickers, carried, zone_table, forward, /)\n--\n\n"
     "Fills out (int64) with the epoch microseconds of the wall-clock microseconds wall in the zone of\n"
     "zone_table.  tickers (int64 per row, or None) index carried, each ticker's last epoch so far\n"
     "(the least int64 for none), which places a repeated hour by row order (forward: oldest first)\n"
     "and is updated.  Returns the first row whose time the clocks skip, or -1."},
    {"to_wall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_wall)), METH_FASTCALL,
     "to_wall(out, epochs, zone_table, /)\n--\n\n"
     "Fills out (int64) with the wall-clock microseconds in the zone of zone_table of epochs (int64)."},
    {"gather", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gather)), METH_FASTCALL,
     "gather(records, fields, /)\n--\n\n"
     "Copies fields of the records (a buffer of whole 101-byte records) into columns, in one pass:\n"
     "fields is a tuple of pairs (offset, out), out a writable buffer of one item per record whose\n"
     "items are as wide as the field at that offset.  Returns the number of records."},
    {"ticker_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ticker_codes)), METH_FASTCALL,
     "ticker_codes(records, out, /)\n--\n\n"
     "Writes into out (a writable buffer of one int32 per record) the number of each record's ticker,\n"
     "counted in order of first appearance, and returns the tickers' raw bytes (without trailing zero\n"
     "bytes) in that order."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot pack_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef pack_module = {
    PyModuleDef_HEAD_INIT,
    "tarnwick.bars._pack",
    "Packs columns into bar records and gathers them out of records.",
    0,
    pack_methods,
    pack_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The interpreter finds the module by this name, reserved identifier or not.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__pack() { return PyModuleDef_Init(&pack_module); }

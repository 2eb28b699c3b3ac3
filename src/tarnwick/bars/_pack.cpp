// tarnwick.bars._pack: fills bar records from columns, for converting tables
// into bar files without a Python object per row.  It takes any buffers
// (numpy arrays, arrow buffers, array.array), so it imports without numpy.
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
// where `columns` holds the eight float64 fields in record order (timestamp,
// bar_span, high, low, open, close, volume, notional).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>

#include "held_buffer.hpp"
#include "records.hpp"

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

PyMethodDef pack_methods[] = {
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pack)), METH_FASTCALL,
     "pack(out, ticker, columns, trade_count, start, /)\n--\n\n"
     "Fills the writable buffer out with len(out) // 101 bar records of ticker (bytes), from row start\n"
     "of the columns: a tuple of eight float64 buffers (timestamp, bar_span, high, low, open, close,\n"
     "volume, notional) and a uint32 buffer of trade counts.  Returns the number of records."},
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
    "Packs columns into bar records.",
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

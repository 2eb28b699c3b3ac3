// The binary contract between the base class `MarketData`
// (tarnwick.base.market_data) and the native classes that derive from it:
// the instance layout, the table of record operations and the key under which
// the class publishes that table.  Both modules compile against this one
// declaration, so they cannot disagree about it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "pyref.hpp"
#include "records.hpp"

namespace tarnwick {

struct MarketDataObject;

// Record operations of a market-data class, in slot order.  `_set_additional`
// has no result; it reports failure through the interpreter's error indicator.
struct MarketDataVTable {
    void (*_set_additional)(MarketDataObject* self, PyObject* name, PyObject* value);
    std::size_t (*get_size)(std::uint8_t dtype);
    std::size_t (*min_size)();
    std::size_t (*max_size)();
    PyObject* (*to_bytes)(MarketDataObject* self);
};

// A `MarketData` instance: 48 bytes on a 64-bit build.
struct MarketDataObject {
    PyObject_HEAD
    MarketDataVTable* vtable;
    _MarketDataBuffer* _data;  // null while no record is attached
    std::int32_t _owner;       // non-zero: `_data` is ours to PyMem_Free
    PyObject* _additional;     // instance dictionary: the extra attributes
};

inline constexpr Py_ssize_t kMarketDataObjectSize = sizeof(MarketDataObject);

// The store of extra attributes, `_additional`: null, or a tuple of keys and
// values in turn, written by `_set_additional`.  Being a tuple, it cannot be
// changed by code that reaches it (through the collector's referents, say),
// so what a subclass keeps there under a private key, such as the buffer a
// view reads, stays exactly as long as the object.
//
// The value stored under `key` (compared by identity), or null; the store
// keeps it alive.
inline BorrowedRef find_additional(const MarketDataObject* self, const PyObject* key) {
    PyObject* store = self->_additional;
    if (store == nullptr || !PyTuple_Check(store)) {
        return {};
    }
    for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(store); i += 2) {
        if (PyTuple_GET_ITEM(store, i) == key) {
            return BorrowedRef(PyTuple_GET_ITEM(store, i + 1));
        }
    }
    return {};
}
static_assert(sizeof(void*) != 8 || sizeof(MarketDataObject) == 48);

// Key of the capsule in the class dictionary that carries the table's address.
inline constexpr const char* kVTableKey = "__market_data_vtable__";
// Name of that capsule; a capsule under another name yields no table.
inline constexpr const char* kVTableCapsuleName = "tarnwick.base.market_data.vtable";

// MarketData.__init__(self, ticker=ticker, timestamp=timestamp) as a direct
// call, for subclasses that pass no further keywords: the same checks and the
// same header, without building an argument dictionary.  Published beside the
// table under its own key; ticker is a str or None.
using HeaderWriter = int (*)(MarketDataObject* self, PyObject* ticker, double timestamp);
inline constexpr const char* kHeaderWriterKey = "__market_data_header_writer__";
inline constexpr const char* kHeaderWriterCapsuleName = "tarnwick.base.market_data.header_writer";

}  // namespace tarnwick

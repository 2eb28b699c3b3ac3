// tarnwick.bars.Aggregator: bars made from trades as they arrive, over the
// state machine of the batch pass (bar_builder.hpp), so that trades fed one at
// a time, in arrays or in one batch make the same bars byte for byte.  It
// stands for::
//
//     class Aggregator:
//         def __init__(self, *, span=None, ticks=None, volume=None, value=None, tz=None,
//                      session=None, origin=None, fill=False, ticker=None): ...
//         def update(self, time, price, size, notional=None, *, ticker=None) -> tuple[BarData, ...]
//         def update_columns(self, times, prices, sizes, notional=None, *, ticker=None) -> tuple[...]
//         def update_records(self, records) -> tuple[...]     # packed trades or ticks
//         def advance(self, now) -> tuple[...]                # time bars whose bucket has ended
//         def flush(self) -> tuple[...]                       # every bar being formed, ended
//         partial: BarData | None                             # the last-fed ticker's bar being formed
//         partials: tuple[BarData, ...]                       # every ticker's
//
// Each call returns the bars it completed, as new bars that own their records
// (DailyBar for daily spans), the empty tuple when none.  A call that raises
// changes nothing; a refused trade raises AggregateError, as aggregate() does.
// The options are read by tarnwick/bars/_live.py, which
// also gives the zone's offsets (a table over the instants the bars reach,
// asked for again, wider, when trades go past it) and turns times that are
// not numbers into epoch seconds.  The state without the interpreter is
// live_bars.hpp.
#include "live_aggregator.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bucket_arguments.hpp"
#include "common.hpp"
#include "held_buffer.hpp"
#include "live_bars.hpp"
#include "market_data_abi.hpp"
#include "pyref.hpp"

namespace tarnwick::aggregating {
namespace {

constexpr const char kHelpersModule[] = "tarnwick.bars._live";

struct AggregatorObject {
    PyObject_HEAD
    LiveBars* bars;              // owned
    // Owned references:
    PyTypeObject* bar_class;     // BarData, or DailyBar for daily spans
    PyObject* zone;              // the tzinfo (None: the machine's zone), for wider zone tables
    PyObject* helpers;           // tarnwick.bars._live
    PyObject* default_ticker;    // str or None: update()'s ticker when it is given none
    PyObject* recent_ticker;     // the ticker object of the previous update() (None: the default)
    // Borrowed from `bars`:
    BarBuilder* recent_builder;  // its builder
    BarBuilder* last_fed;        // the builder of the latest trade, for `partial`
    bool busy;                   // a call is running: the object may not be entered again
};

AggregatorObject* as_aggregator(PyObject* op) { return reinterpret_cast<AggregatorObject*>(op); }

// ---- bars out --------------------------------------------------------------------------

// A new bar of `bar_class` that owns a copy of `record`: what from_bytes makes,
// without binding an argument or reading a bytes object.  The instance layout
// and the ownership rule (`_owner`: the base class frees `_data` with
// PyMem_Free) are the contract of market_data_abi.hpp.
OwnedRef new_bar(PyTypeObject* bar_class, const Record& record) {
    OwnedRef no_arguments = OwnedRef::steal(PyTuple_New(0));  // the shared empty tuple
    OwnedRef bar = OwnedRef::steal(no_arguments ? bar_class->tp_new(bar_class, no_arguments.get(), nullptr) : nullptr);
    if (!bar) {
        return {};
    }
    auto* object = reinterpret_cast<MarketDataObject*>(bar.get());
    if (object->_data != nullptr) {  // the bar classes' __new__ gives bars without a record
        PyErr_Format(PyExc_SystemError, "%s.__new__() gave a bar that holds a record", bar_class->tp_name);
        return {};
    }
    void* copy = PyMem_Malloc(sizeof record);
    if (copy == nullptr) {
        return OwnedRef::steal(PyErr_NoMemory());
    }
    std::memcpy(copy, &record, sizeof record);
    object->_data = static_cast<_MarketDataBuffer*>(copy);
    object->_owner = 1;
    return bar;
}

// The bars of `records` as a tuple; the empty tuple, shared, for none.
OwnedRef bar_tuple(PyTypeObject* bar_class, const std::vector<Record>& records) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; tuple && i < records.size(); ++i) {
        OwnedRef bar = new_bar(bar_class, records[i]);
        if (!bar) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), bar.release());
    }
    return tuple;
}

// ---- arguments in ----------------------------------------------------------------------

// Binds a method's arguments to `bound` (borrowed; null where not given):
// up to `positional` by position, any of `names` by keyword.
int bind(const char* method, const char* const* names, Py_ssize_t count, Py_ssize_t positional,
         Py_ssize_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    if (nargs > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", method, positional,
                     nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < count && PyUnicode_EqualToUTF8(key, names[i]) == 0) {
            ++i;
        }
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method, key);
            return -1;
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", method, names[i]);
            return -1;
        }
        bound[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", method, names[i]);
            return -1;
        }
    }
    return 0;
}

// A price, size or notional: a real number (float, int or anything with __float__).
int number_of(const char* method, const char* name, PyObject* value, double* out) {
    if (PyFloat_Check(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (PyBool_Check(value) || number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)) {
        PyErr_Format(PyExc_TypeError, "%s(): %s is a number, not %T", method, name, value);
        return -1;
    }
    *out = PyFloat_AsDouble(value);
    return *out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// A time: epoch seconds; a zone-aware datetime or a numpy.datetime64 through _live.instant.
int time_of(const AggregatorObject* self, PyObject* value, double* out) {
    if (PyFloat_Check(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        *out = PyLong_AsDouble(value);
        return *out == -1.0 && PyErr_Occurred() ? -1 : 0;
    }
    OwnedRef seconds = OwnedRef::steal(PyObject_CallMethod(self->helpers, "instant", "O", value));
    if (!seconds) {
        return -1;
    }
    *out = PyFloat_AsDouble(seconds.get());
    return *out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// The 32 bytes a record holds for `ticker` (str or None), as the base class
// writes them: UTF-8, at most 32 bytes, no NUL, zeros after.
int ticker_bytes(PyObject* ticker, TickerBytes& out) {
    out.fill(0);
    if (ticker == Py_None) {
        return 0;
    }
    if (!PyUnicode_Check(ticker)) {
        PyErr_Format(PyExc_TypeError, "ticker must be str or None, not %T", ticker);
        return -1;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(ticker, &size);
    if (text == nullptr) {
        return -1;
    }
    if (static_cast<std::size_t>(size) > out.size()) {
        PyErr_Format(PyExc_ValueError, "ticker %R takes %zd bytes in UTF-8; at most %zu fit in a record", ticker,
                     size, out.size());
        return -1;
    }
    if (std::memchr(text, 0, static_cast<std::size_t>(size)) != nullptr) {
        PyErr_Format(PyExc_ValueError, "ticker %R contains a NUL character", ticker);
        return -1;
    }
    std::memcpy(out.data(), text, static_cast<std::size_t>(size));
    return 0;
}

// The builder of update()'s `ticker` (null or None: the default); the previous one's when it is the same object.
BarBuilder* builder_of(AggregatorObject* self, PyObject* ticker) {
    ticker = ticker != nullptr && ticker != Py_None ? ticker : self->default_ticker;
    if (ticker == self->recent_ticker && self->recent_builder != nullptr) {
        return self->recent_builder;
    }
    TickerBytes bytes;
    if (ticker_bytes(ticker, bytes) < 0) {
        return nullptr;
    }
    try {
        self->recent_builder = &self->bars->builder(bytes.data());
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_SETREF(self->recent_ticker, Py_NewRef(ticker));
    return self->recent_builder;
}

// "row 3 (ABC)": a trade as a message names it, by `what` and its builder's ticker.
std::string named(std::string what, const BarBuilder& builder) {
    const TickerBytes& bytes = builder.ticker();
    std::string ticker(bytes.data(), strnlen(bytes.data(), bytes.size()));
    return std::move(what) + " (" + (ticker.empty() ? "no ticker" : ticker) + ")";
}

// ---- one call --------------------------------------------------------------------------

// Marks the object busy for the length of a call: a second call while one runs
// (from another thread while the GIL is released, or from a time zone's code
// that the call ran) is refused.
class BusyGuard {
public:
    BusyGuard(AggregatorObject* self, const char* method) : self_(self->busy ? nullptr : self) {
        if (self_ == nullptr) {
            PyErr_Format(PyExc_RuntimeError, "Aggregator.%s(): the aggregator is in the middle of another call",
                         method);
            return;
        }
        self_->busy = true;
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() {
        if (self_ != nullptr) {
            self_->busy = false;
        }
    }
    explicit operator bool() const { return self_ != nullptr; }

private:
    AggregatorObject* self_;
};

// Widens the zone table to reach `instant` as well as what it covers now.
int widen_zone(AggregatorObject* self, double instant, int attempt) {
    LiveBars& bars = *self->bars;
    double first = std::isnan(bars.covered_from()) ? instant : std::fmin(bars.covered_from(), instant);
    double last = std::isnan(bars.covered_to()) ? instant : std::fmax(bars.covered_to(), instant);
    double more = attempt * 366.0 * kDay;  // a retry that stopped again asks for years more
    OwnedRef table = OwnedRef::steal(
        PyObject_CallMethod(self->helpers, "zone_table", "Odd", self->zone, first - more, last + more));
    double from = 0;
    double to = 0;
    PyObject* transitions = nullptr;
    PyObject* offsets = nullptr;
    if (!table || !PyArg_ParseTuple(table.get(), "ddOO:zone_table", &from, &to, &transitions, &offsets)) {
        return -1;
    }
    HeldBuffer transition_buffer;
    HeldBuffer offset_buffer;
    if (!transition_buffer.acquire(transitions, PyBUF_FORMAT) || !offset_buffer.acquire(offsets, PyBUF_FORMAT)) {
        return -1;
    }
    Py_ssize_t changes = transition_buffer.count_of(sizeof(double), "d");
    if (changes < 0 || offset_buffer.count_of(sizeof(double), "d") != changes + 1) {
        PyErr_SetString(PyExc_SystemError, "a zone table is native doubles, one offset more than transitions");
        return -1;
    }
    try {
        bars.rezone(transition_buffer.copy_of<double>(), offset_buffer.copy_of<double>(), from, to);
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// Raises AggregateError, as aggregate() does for the trades it refuses; null.
PyObject* refuse(const AggregatorObject* self, const std::string& message) {
    OwnedRef error = OwnedRef::steal(PyObject_GetAttrString(self->helpers, "AggregateError"));
    if (error) {
        PyErr_SetString(error.get(), message.c_str());
    }
    return nullptr;
}

// What a call feeds: `count` trades, each given to its builder by `step(row, emit)`,
// `time(row)` its time, `subject(row)` how a message names it ("row 3 (ABC)").
template <typename Step, typename TimeOf, typename Subject>
struct Feed {
    std::size_t count;
    Step step;
    TimeOf time;
    Subject subject;
    bool release_gil;  // the steps call no interpreter code, and are many
};

template <typename Step, typename TimeOf, typename Subject>
Feed(std::size_t, Step, TimeOf, Subject, bool) -> Feed<Step, TimeOf, Subject>;

constexpr int kMostWidenings = 8;

// Runs a call's feed: widens the zone table whenever a trade goes past it; on
// a refused trade undoes the call and raises AggregateError naming the trade.
// The completed bars, as a tuple.
template <typename Step, typename TimeOf, typename Subject>
PyObject* run(AggregatorObject* self, const char* method, Feed<Step, TimeOf, Subject>& feed) {
    LiveBars& bars = *self->bars;
    bars.begin();
    Stop stop;
    std::size_t row = 0;
    for (int widenings = 0;; ++widenings) {
        if (feed.release_gil) {
            Py_BEGIN_ALLOW_THREADS
            stop = bars.feed(row, feed.count, feed.step);
            Py_END_ALLOW_THREADS
        } else {
            stop = bars.feed(row, feed.count, feed.step);
        }
        widenings = stop.row == row ? widenings : 0;
        row = stop.row;
        if (stop.why != Stop::Why::not_covered) {
            break;
        }
        if (widenings == kMostWidenings) {
            PyErr_Format(PyExc_SystemError, "Aggregator.%s(): no zone table reaches the trade's buckets", method);
        }
        if (widenings == kMostWidenings || widen_zone(self, feed.time(row), widenings) < 0) {
            bars.undo();
            return nullptr;
        }
    }
    if (stop.why != Stop::Why::done) {
        bars.undo();
        if (stop.why == Stop::Why::no_memory) {
            return PyErr_NoMemory();
        }
        return refuse(self, "Aggregator." + std::string(method) + "(): " + feed.subject(row) + " " + stop.message);
    }
    OwnedRef result = bar_tuple(self->bar_class, bars.completed());
    if (!result) {
        bars.undo();  // no memory for the bars: as if the call had not been
    }
    bars.end();
    return result.release();
}

// ---- the methods -------------------------------------------------------------------------

constexpr const char* kUpdateNames[] = {"time", "price", "size", "notional", "ticker"};

PyObject* update(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    AggregatorObject* self = as_aggregator(op);
    PyObject* bound[5] = {};
    if (nargs == 3 && kwnames == nullptr) {  // the usual call: update(t, p, s)
        bound[0] = args[0], bound[1] = args[1], bound[2] = args[2];
    } else if (bind("update", kUpdateNames, 5, 4, 3, args, nargs, kwnames, bound) < 0) {
        return nullptr;
    }
    Trade trade{0, 0, 0, 0, 1};
    if (time_of(self, bound[0], &trade.time) < 0 || number_of("update", "price", bound[1], &trade.price) < 0 ||
        number_of("update", "size", bound[2], &trade.size) < 0) {
        return nullptr;
    }
    trade.notional = trade.price * trade.size;  // as the batch pass computes it
    if (bound[3] != nullptr && bound[3] != Py_None && number_of("update", "notional", bound[3], &trade.notional) < 0) {
        return nullptr;
    }
    BusyGuard busy(self, "update");
    BarBuilder* builder = busy ? builder_of(self, bound[4]) : nullptr;
    if (builder == nullptr) {
        return nullptr;
    }
    // A refused trade leaves its builder as it was; but a zone table that
    // runs out part of the way through a time bar's trade, and cannot be
    // widened, leaves it further on.
    LiveBars& bars = *self->bars;
    const bool timed = bars.timed();
    Feed feed{1,
              [&](std::size_t, auto& emit) {
                  if (timed) {
                      bars.keep(*builder);
                  }
                  builder->add(trade, emit);
              },
              [&](std::size_t) { return trade.time; },
              [&](std::size_t) { return named("the trade", *builder); }, false};
    PyObject* result = run(self, "update", feed);
    if (result != nullptr) {
        self->last_fed = builder;
    }
    return result;
}

// The object whose buffer is a column: `values` if it is a one-dimensional
// buffer of doubles, else _live.float_column's conversion of it.
OwnedRef column_source(const AggregatorObject* self, PyObject* values, const char* role) {
    {
        HeldBuffer probe;
        if (probe.acquire(values, PyBUF_FORMAT) && probe.count_of(sizeof(double), "d") >= 0 &&
            probe.view().ndim <= 1) {
            return OwnedRef::borrow(values);
        }
    }
    PyErr_Clear();
    return OwnedRef::steal(PyObject_CallMethod(self->helpers, "float_column", "Os", values, role));
}

double double_at(const HeldBuffer& column, std::size_t row) {
    double value = 0;
    std::memcpy(&value, static_cast<const char*>(column.view().buf) + row * sizeof value, sizeof value);
    return value;
}

constexpr const char* kColumnNames[] = {"times", "prices", "sizes", "notional", "ticker"};
constexpr std::size_t kReleaseFrom = 1 << 14;  // rows: fewer are done before a thread switch would be

PyObject* update_columns(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    AggregatorObject* self = as_aggregator(op);
    PyObject* bound[5] = {};
    if (bind("update_columns", kColumnNames, 5, 4, 3, args, nargs, kwnames, bound) < 0) {
        return nullptr;
    }
    const std::size_t given = bound[3] != nullptr && bound[3] != Py_None ? 4 : 3;
    HeldBuffer held[4];
    for (std::size_t i = 0; i < given; ++i) {
        OwnedRef source = column_source(self, bound[i], kColumnNames[i]);
        if (!source || !held[i].acquire(source.get(), PyBUF_FORMAT)) {
            return nullptr;
        }
        if (held[i].count_of(sizeof(double), "d") < 0) {
            return PyErr_Format(PyExc_SystemError, "float_column gave no column of doubles for %s", kColumnNames[i]);
        }
        if (held[i].size() != held[0].size()) {
            return PyErr_Format(PyExc_ValueError, "Aggregator.update_columns(): %s has %zd rows, times %zd",
                                kColumnNames[i], held[i].size() / 8, held[0].size() / 8);
        }
    }
    const HeldBuffer* columns[4] = {&held[0], &held[1], &held[2], given == 4 ? &held[3] : nullptr};
    BusyGuard busy(self, "update_columns");
    BarBuilder* builder = busy ? builder_of(self, bound[4]) : nullptr;
    if (builder == nullptr) {
        return nullptr;
    }
    auto trade = [&columns](std::size_t row) {
        double price = double_at(*columns[1], row);
        double size = double_at(*columns[2], row);
        double notional = columns[3] != nullptr ? double_at(*columns[3], row) : price * size;
        return Trade{double_at(*columns[0], row), price, size, notional, 1};
    };
    const auto count = static_cast<std::size_t>(columns[0]->size()) / sizeof(double);
    LiveBars& bars = *self->bars;
    Feed feed{count,
              [&](std::size_t row, auto& emit) {
                  bars.keep(*builder);
                  builder->add(trade(row), emit);
              },
              [&](std::size_t row) { return double_at(*columns[0], row); },
              [&](std::size_t row) { return named("row " + std::to_string(row), *builder); },
              count >= kReleaseFrom};
    PyObject* result = run(self, "update_columns", feed);
    if (result != nullptr && count > 0) {
        self->last_fed = builder;
    }
    return result;
}

// The size of a trade or tick record by its kind code; 0 for other kinds.
std::size_t trade_or_tick_size(std::uint8_t kind) {
    return kind == DTYPE_TRANSACTION || kind == DTYPE_TICK_LITE || kind == DTYPE_TICK ? record_size(kind) : 0;
}

// The count of whole trade and tick records in `bytes`, checked before any is
// fed; what is wrong with them, if anything, in `fault`.
std::size_t count_records(std::span<const unsigned char> bytes, std::string& fault) {
    std::size_t offset = 0;
    std::size_t index = 0;
    while (offset < bytes.size()) {
        std::uint8_t kind = bytes[offset];
        std::size_t size = trade_or_tick_size(kind);
        if (size == 0) {
            fault = "record " + std::to_string(index) + " (at byte " + std::to_string(offset) + ") has kind code " +
                    std::to_string(kind) + ", not a trade (20) or a tick (31, 32)";
            break;
        }
        if (bytes.size() - offset < size) {
            fault = "the last " + std::to_string(bytes.size() - offset) +
                    " bytes are not a whole record (this kind has " + std::to_string(size) + ")";
            break;
        }
        offset += size;
        ++index;
    }
    return index;
}

PyObject* update_records(PyObject* op, PyObject* records) {
    AggregatorObject* self = as_aggregator(op);
    HeldBuffer buffer;
    if (!buffer.acquire(records, PyBUF_SIMPLE)) {
        return nullptr;
    }
    std::string fault;
    const std::size_t count = count_records(buffer.bytes(), fault);
    if (!fault.empty()) {
        return refuse(self, "Aggregator.update_records(): " + fault);
    }
    BusyGuard busy(self, "update_records");
    if (!busy) {
        return nullptr;
    }
    LiveBars& bars = *self->bars;
    const std::span<const unsigned char> bytes = buffer.bytes();
    std::size_t offset = 0;  // of the record being fed: steps come in order, a stopped one again
    // Each record is read from a copy: without the GIL the caller's buffer
    // may change under the call, and a record whose kind changed must not be
    // read past its end.  A tick's summary is all that is read of it.
    std::array<unsigned char, sizeof(_TransactionDataBuffer)> record{};
    BarBuilder* builder = nullptr;  // of the record being fed
    Feed feed{count,
              [&](std::size_t, auto& emit) {
                  builder = nullptr;
                  // (A buffer changed under the call may end before `count` records.)
                  std::size_t size = offset < bytes.size() ? trade_or_tick_size(bytes[offset]) : 0;
                  if (size == 0 || size > bytes.size() - offset) {
                      throw BadTrade{"changed while it was read"};
                  }
                  std::memcpy(record.data(), bytes.data() + offset, std::min(size, record.size()));
                  builder = &bars.builder(ticker_field(record.data()));
                  bars.keep(*builder);
                  builder->add_record(record.data(), emit);
                  offset += size;
              },
              [&](std::size_t) { return read_field(record.data(), header::timestamp); },
              [&](std::size_t row) {
                  std::string what = "record " + std::to_string(row);
                  return builder != nullptr ? named(std::move(what), *builder) : what;
              },
              count >= kReleaseFrom};
    PyObject* result = run(self, "update_records", feed);
    if (result != nullptr && builder != nullptr) {
        self->last_fed = builder;
    }
    return result;
}

PyObject* advance(PyObject* op, PyObject* now_object) {
    AggregatorObject* self = as_aggregator(op);
    double now = 0;
    if (time_of(self, now_object, &now) < 0) {
        return nullptr;
    }
    BusyGuard busy(self, "advance");
    if (!busy) {
        return nullptr;
    }
    LiveBars& bars = *self->bars;
    std::deque<BarBuilder>& builders = bars.builders();
    Feed feed{builders.size(),
              [&](std::size_t row, auto& emit) {
                  bars.keep(builders[row]);
                  builders[row].advance(now, emit);
              },
              [&](std::size_t) { return now; },
              [&](std::size_t row) { return named("now", builders[row]); }, false};
    return run(self, "advance", feed);
}

PyObject* flush(PyObject* op, PyObject* /*unused*/) {
    AggregatorObject* self = as_aggregator(op);
    BusyGuard busy(self, "flush");
    if (!busy) {
        return nullptr;
    }
    LiveBars& bars = *self->bars;
    std::deque<BarBuilder>& builders = bars.builders();
    Feed feed{builders.size(),
              [&](std::size_t row, auto& emit) {
                  bars.keep(builders[row]);
                  builders[row].flush(emit);
              },
              [&](std::size_t) { return 0.0; }, [](std::size_t) { return std::string(); }, false};
    return run(self, "flush", feed);
}

// The bar `builder` is forming, or None.
PyObject* partial_of(const AggregatorObject* self, const BarBuilder* builder) {
    Record bar;
    if (builder == nullptr || !builder->partial(bar)) {
        Py_RETURN_NONE;
    }
    return new_bar(self->bar_class, bar).release();
}

PyObject* get_partial(PyObject* op, void* /*closure*/) {
    const AggregatorObject* self = as_aggregator(op);
    return partial_of(self, self->last_fed);
}

PyObject* get_partials(PyObject* op, void* /*closure*/) {
    const AggregatorObject* self = as_aggregator(op);
    std::vector<Record> records;
    try {
        for (const BarBuilder& builder : self->bars->builders()) {
            Record bar;
            if (builder.partial(bar)) {
                records.push_back(bar);
            }
        }
    } catch (...) {
        return PyErr_NoMemory();
    }
    return bar_tuple(self->bar_class, records).release();
}

// ---- the type ----------------------------------------------------------------------------

// What the constructor's options come to, read by _live.aggregator_options.
struct Settings {
    OwnedRef values;  // the tuple that function returned, which holds zone and ticker
    Rules rules{};
    ClockOptions clock{};
    bool daily = false;
    PyObject* zone = nullptr;
    PyObject* ticker = nullptr;
};

int read_settings(PyObject* helpers, PyObject* kwds, Settings& out) {
    OwnedRef read = OwnedRef::steal(PyObject_GetAttrString(helpers, "aggregator_options"));
    OwnedRef no_arguments = OwnedRef::steal(PyTuple_New(0));
    out.values = OwnedRef::steal(read && no_arguments ? PyObject_Call(read.get(), no_arguments.get(), kwds) : nullptr);
    int rule = 0;
    int fill = 0;
    int daily = 0;
    const char* unit = nullptr;
    long long count = 0;
    if (!out.values || !PyArg_ParseTuple(out.values.get(), "idpsLdddpOO:aggregator_options", &rule,
                                         &out.rules.threshold, &fill, &unit, &count, &out.clock.origin,
                                         &out.clock.session_from, &out.clock.session_to, &daily, &out.zone,
                                         &out.ticker)) {
        return -1;
    }
    if (rule < 0 || rule > static_cast<int>(Rule::value)) {
        PyErr_Format(PyExc_SystemError, "aggregator_options gave rule %d", rule);
        return -1;
    }
    out.rules.rule = static_cast<Rule>(rule);
    out.rules.fill = fill != 0;
    out.daily = daily != 0;
    try {
        out.clock.unit = bucketing::unit_named(unit);
        out.clock.count = bucketing::bucket_count(out.clock.unit, count, 0);
    } catch (bucketing::Failure& failure) {
        PyErr_SetString(PyExc_ValueError, failure.message.c_str());
        return -1;
    }
    TickerBytes default_bytes;
    return ticker_bytes(out.ticker, default_bytes);
}

// Aggregator(**options).
PyObject* aggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) != 0) {
        return PyErr_Format(PyExc_TypeError, "Aggregator() takes keyword arguments only (%zd given by position)",
                            PyTuple_GET_SIZE(args));
    }
    OwnedRef helpers = OwnedRef::steal(PyImport_ImportModule(kHelpersModule));
    Settings settings;
    if (!helpers || read_settings(helpers.get(), kwds, settings) < 0) {
        return nullptr;
    }
    OwnedRef bar_class = import_attribute("tarnwick.base.candlestick", settings.daily ? "DailyBar" : "BarData");
    if (!bar_class) {
        return nullptr;
    }
    if (!PyType_Check(bar_class.get())) {
        return PyErr_Format(PyExc_TypeError, "tarnwick.base.candlestick's bar class is not a type");
    }
    OwnedRef object = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!object) {
        return nullptr;
    }
    AggregatorObject* self = as_aggregator(object.get());
    self->bars = new (std::nothrow) LiveBars(settings.rules, settings.clock);
    if (self->bars == nullptr) {
        return PyErr_NoMemory();
    }
    self->bar_class = reinterpret_cast<PyTypeObject*>(bar_class.release());
    self->zone = Py_NewRef(settings.zone);
    self->helpers = helpers.release();
    self->default_ticker = Py_NewRef(settings.ticker);
    self->recent_ticker = Py_NewRef(Py_None);  // no builder yet: recent_builder is null
    return object.release();
}

int aggregator_traverse(PyObject* op, visitproc visit, void* arg) {
    AggregatorObject* self = as_aggregator(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->bar_class);
    Py_VISIT(self->zone);
    Py_VISIT(self->helpers);
    Py_VISIT(self->default_ticker);
    Py_VISIT(self->recent_ticker);
    return 0;
}

int aggregator_clear(PyObject* op) {
    AggregatorObject* self = as_aggregator(op);
    Py_CLEAR(self->bar_class);
    Py_CLEAR(self->zone);
    Py_CLEAR(self->helpers);
    Py_CLEAR(self->default_ticker);
    Py_CLEAR(self->recent_ticker);
    return 0;
}

void aggregator_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    (void)aggregator_clear(op);
    delete as_aggregator(op)->bars;
    type->tp_free(op);
    Py_DECREF(type);
}

// A cleared object (by the collector, in a cycle) has no helpers any more: its methods refuse.
bool usable(const AggregatorObject* self) {
    if (self->helpers == nullptr || self->bars == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the Aggregator was cleared by the garbage collector");
        return false;
    }
    return true;
}

template <auto method, typename... Args>
PyObject* checked(PyObject* op, Args... args) {
    return usable(as_aggregator(op)) ? method(op, args...) : nullptr;
}

PyMethodDef aggregator_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                   checked<update, PyObject* const*, Py_ssize_t, PyObject*>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("update($self, time, price, size, notional=None, *, ticker=None)\n--\n\n"
               "Takes one trade (time: epoch seconds, a zone-aware datetime or a numpy.datetime64;\n"
               "notional: price * size when not given; ticker: the aggregator's own when not given)\n"
               "and returns the bars it completed, oldest first: usually the empty tuple.")},
    {"update_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                           checked<update_columns, PyObject* const*, Py_ssize_t, PyObject*>)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("update_columns($self, times, prices, sizes, notional=None, *, ticker=None)\n--\n\n"
               "Takes the trades of one ticker as arrays (times as epoch seconds or datetime64) and\n"
               "returns the bars they completed.")},
    {"update_records", checked<update_records, PyObject*>, METH_O,
     PyDoc_STR("update_records($self, records, /)\n--\n\n"
               "Takes a buffer of packed trade records (125 bytes) or tick records (101 or 581 bytes;\n"
               "their running totals grow by each tick's trades), each of its own ticker, and returns\n"
               "the bars they completed.")},
    {"advance", checked<advance, PyObject*>, METH_O,
     PyDoc_STR("advance($self, now, /)\n--\n\n"
               "Closes the time bars whose bucket ended by `now` (with fill, also makes the empty\n"
               "buckets' bars up to it) and returns them; later trades may not be before `now`.")},
    {"flush", checked<flush, PyObject*>, METH_NOARGS,
     PyDoc_STR("flush($self, /)\n--\n\n"
               "Ends every ticker's bar being formed and returns those bars; the next trade starts\n"
               "a new bar.")},
    {nullptr, nullptr, 0, nullptr},
};

// The getters read the builders, which a call running without the GIL may be changing.
template <getter read>
PyObject* get_checked(PyObject* op, void* closure) {
    AggregatorObject* self = as_aggregator(op);
    BusyGuard busy(self, read == get_partial ? "partial" : "partials");
    return busy && usable(self) ? read(op, closure) : nullptr;
}

PyGetSetDef aggregator_getset[] = {
    {"partial", get_checked<get_partial>, nullptr,
     PyDoc_STR("A copy of the bar being formed for the ticker of the latest trade, as it would close now; "
               "None when there is none."),
     nullptr},
    {"partials", get_checked<get_partials>, nullptr,
     PyDoc_STR("Copies of every ticker's bar being formed, tickers in order of first appearance."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kAggregatorDoc[] =
    "Aggregator(*, span=None, ticks=None, volume=None, value=None, tz=None, session=None, origin=None,\n"
    "           fill=False, ticker=None)\n--\n\n"
    "Bars made from trades as they arrive, by the rules of tarnwick.bars.aggregate (exactly one\n"
    "of span, ticks, volume and value): trades fed one at a time, in arrays or as records make\n"
    "the same bars as one aggregate() over all of them.  Each call returns the bars it completed.";

PyType_Slot aggregator_slots[] = {
    {Py_tp_doc, const_cast<char*>(kAggregatorDoc)},
    {Py_tp_new, reinterpret_cast<void*>(aggregator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(aggregator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(aggregator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(aggregator_clear)},
    {Py_tp_methods, aggregator_methods},
    {Py_tp_getset, aggregator_getset},
    {0, nullptr},
};

PyType_Spec aggregator_spec = {
    "tarnwick.bars.Aggregator", sizeof(AggregatorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, aggregator_slots,
};

}  // namespace

int add_aggregator_type(PyObject* module) {
    OwnedRef type = OwnedRef::steal(PyType_FromModuleAndSpec(module, &aggregator_spec, nullptr));
    return type ? PyModule_AddObjectRef(module, "Aggregator", type.get()) : -1;
}

}  // namespace tarnwick::aggregating

// The floor for the resampling benchmark: the least a pass over packed
// 101-byte bar records can do to resample them, on every core.  Each thread
// takes an equal share of the records and reads every record once, in place:
// the ticker's first eight bytes choose its series (tickers compared as one
// word), the end time a bucket of a fixed length on a clock at a fixed
// offset (no zone, no daylight saving), and the bucket's first open, highest
// high, lowest low, last close and sums are kept.  No checks, no joining of
// the shares: every cost measured above this pass is a cost of the product's
// own choices (zones, checks, tickers of any length, the one-pass result).
//
//     _resample_limit.run(path, span_seconds, offset_seconds, threads) -> int  (bars made)
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

#pragma pack(push, 1)
struct Record {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double bar_span;
    double high_price;
    double low_price;
    double open_price;
    double close_price;
    double volume;
    double notional;
    std::uint32_t trade_count;
};
#pragma pack(pop)
static_assert(sizeof(Record) == 101);

struct Bar {
    std::uint64_t ticker = 0;
    double bucket = -1;
    double open = 0, high = 0, low = 0, close = 0, volume = 0, notional = 0;
    std::uint64_t trades = 0;
    bool open_bucket = false;
};

// One thread's share: the bars it makes, counted.
std::size_t pass(const unsigned char* data, std::size_t first, std::size_t last, double span, double offset) {
    std::vector<Bar> open;  // one per ticker
    open.reserve(1024);     // so that `current` stays valid: the benchmark has a few tickers
    std::vector<Bar> made;
    Bar* current = nullptr;
    for (std::size_t i = first; i < last; ++i) {
        const unsigned char* record = data + i * sizeof(Record);
        if (i + 20 < last) {
            __builtin_prefetch(record + 20 * sizeof(Record));
            __builtin_prefetch(record + 20 * sizeof(Record) + 64);
        }
        Record r;
        std::memcpy(&r, record, sizeof r);
        std::uint64_t ticker = 0;
        std::memcpy(&ticker, r.ticker, sizeof ticker);
        if (current == nullptr || current->ticker != ticker) {
            current = nullptr;
            for (Bar& bar : open) {
                if (bar.ticker == ticker) {
                    current = &bar;
                }
            }
            if (current == nullptr) {
                current = &open.emplace_back();
                current->ticker = ticker;
            }
        }
        double bucket = std::ceil((r.timestamp + offset) / span);
        Bar& bar = *current;
        if (!bar.open_bucket || bucket != bar.bucket) {
            if (bar.open_bucket) {
                made.push_back(bar);
            }
            bar.bucket = bucket;
            bar.open_bucket = true;
            bar.open = r.open_price;
            bar.high = r.high_price;
            bar.low = r.low_price;
            bar.volume = bar.notional = 0;
            bar.trades = 0;
        }
        bar.high = std::max(bar.high, r.high_price);
        bar.low = std::min(bar.low, r.low_price);
        bar.close = r.close_price;
        bar.volume += r.volume;
        bar.notional += r.notional;
        bar.trades += r.trade_count;
    }
    for (const Bar& bar : open) {
        made.push_back(bar);
    }
    return made.size();
}

// The bars made from the records of the file at `path`, after its header.
std::size_t resample_file(const char* path, double span, double offset, std::size_t parts) {
    int fd = open(path, O_RDONLY);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || status.st_size < static_cast<off_t>(sizeof(Record))) {
        if (fd >= 0) {
            close(fd);
        }
        return 0;
    }
    auto size = static_cast<std::size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        return 0;
    }
    const auto* data = static_cast<const unsigned char*>(mapped) + sizeof(Record);  // the header
    const std::size_t count = size / sizeof(Record) - 1;
    std::vector<std::size_t> made(parts);
    std::vector<std::thread> helpers;
    for (std::size_t p = 1; p < parts; ++p) {
        helpers.emplace_back([&, p] { made[p] = pass(data, count * p / parts, count * (p + 1) / parts, span, offset); });
    }
    made[0] = pass(data, 0, count / parts, span, offset);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    munmap(mapped, size);
    std::size_t total = 0;
    for (std::size_t n : made) {
        total += n;
    }
    return total;
}

PyObject* run(PyObject*, PyObject* args) {
    PyObject* path = nullptr;
    double span = 0;
    double offset = 0;
    int threads = 1;
    if (!PyArg_ParseTuple(args, "O&ddi:run", PyUnicode_FSConverter, &path, &span, &offset, &threads)) {
        return nullptr;
    }
    std::size_t made = 0;
    Py_BEGIN_ALLOW_THREADS
    made = resample_file(PyBytes_AS_STRING(path), span, offset, static_cast<std::size_t>(std::max(threads, 1)));
    Py_END_ALLOW_THREADS
    Py_DECREF(path);
    return PyLong_FromSize_t(made);
}

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(path, span_seconds, offset_seconds, threads) -> bars made"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_resample_limit", "The floor of the resampling benchmark.", 0,
                          methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__resample_limit() { return PyModule_Create(&module_def); }

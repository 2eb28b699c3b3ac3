// Sorting bar records by timestamp the way native consumers do it: qsort over
// an array of record pointers with the library's exported `compare_md`, set
// against std::sort with a comparator the compiler can inline.  Two more
// variants split the gap: qsort with a comparator of this file (same
// algorithm, call through a pointer, no shared-library boundary) and
// std::sort calling `compare_md` through its pointer (inline algorithm,
// out-of-line comparison).
//
//   sort_bench [--preload LIBPYTHON] LIBRARY [COUNT] [ROUNDS]
//
// The extension module refers to the interpreter's symbols without linking
// the interpreter library, so a process that has no interpreter must load
// that library (globally) before it can open the module: --preload.
//
// Records are packed back to back at 101-byte strides, so most sit at odd
// addresses, exactly as they arrive in a received buffer.  Every variant sorts
// the same shuffled pointer array; rounds are interleaved and the medians
// printed as one JSON object (milliseconds).
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kRecord = 101;
constexpr std::size_t kTimestamp = 33;

using Compare = int (*)(const void*, const void*);

inline double timestamp_of(const unsigned char* record) {
    double value;
    std::memcpy(&value, record + kTimestamp, sizeof value);
    return value;
}

// The same ordering as the library's, defined here.
int local_compare(const void* a, const void* b) {
    const unsigned char* ra;
    const unsigned char* rb;
    std::memcpy(&ra, a, sizeof ra);
    std::memcpy(&rb, b, sizeof rb);
    double ta = timestamp_of(ra);
    double tb = timestamp_of(rb);
    return (ta > tb) - (ta < tb);
}

bool is_sorted_by_time(const std::vector<const unsigned char*>& v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (timestamp_of(v[i - 1]) > timestamp_of(v[i])) {
            return false;
        }
    }
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argv[0];
    if (argc > 2 && std::strcmp(argv[1], "--preload") == 0) {
        if (dlopen(argv[2], RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            std::fprintf(stderr, "dlopen %s: %s\n", argv[2], dlerror());
            return 1;
        }
        argc -= 2;
        argv += 2;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s [--preload LIBPYTHON] LIBRARY [COUNT] [ROUNDS]\n", program);
        return 2;
    }
    std::size_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto compare_md = reinterpret_cast<Compare>(dlsym(library, "compare_md"));
    if (compare_md == nullptr) {
        std::fprintf(stderr, "dlsym compare_md: %s\n", dlerror());
        return 1;
    }

    std::vector<unsigned char> arena(count * kRecord);
    std::mt19937_64 rng(20240105);
    std::uniform_real_distribution<double> when(1.7e9, 1.8e9);
    std::vector<const unsigned char*> original(count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char* record = arena.data() + i * kRecord;
        record[0] = 40;
        std::memcpy(record + 1, "ABC", 3);
        double t = when(rng);
        std::memcpy(record + kTimestamp, &t, sizeof t);
        original[i] = record;
    }
    std::shuffle(original.begin(), original.end(), rng);

    struct Variant {
        const char* name;
        void (*run)(std::vector<const unsigned char*>&, Compare);
        std::vector<double> ms;
    };
    Variant variants[] = {
        {"qsort_compare_md",
         [](std::vector<const unsigned char*>& v, Compare cmp) {
             std::qsort(v.data(), v.size(), sizeof v[0], cmp);
         },
         {}},
        {"std_sort_inline",
         [](std::vector<const unsigned char*>& v, Compare) {
             std::sort(v.begin(), v.end(), [](const unsigned char* a, const unsigned char* b) {
                 return timestamp_of(a) < timestamp_of(b);
             });
         },
         {}},
        {"qsort_local_compare",
         [](std::vector<const unsigned char*>& v, Compare) {
             std::qsort(v.data(), v.size(), sizeof v[0], local_compare);
         },
         {}},
        {"std_sort_compare_md",
         [](std::vector<const unsigned char*>& v, Compare cmp) {
             std::sort(v.begin(), v.end(),
                       [cmp](const unsigned char* const& a, const unsigned char* const& b) { return cmp(&a, &b) < 0; });
         },
         {}},
    };

    std::vector<const unsigned char*> work(count);
    for (int round = 0; round < rounds; ++round) {
        for (Variant& variant : variants) {
            work = original;
            auto start = std::chrono::steady_clock::now();
            variant.run(work, compare_md);
            auto stop = std::chrono::steady_clock::now();
            if (!is_sorted_by_time(work)) {
                std::fprintf(stderr, "%s: not sorted\n", variant.name);
                return 1;
            }
            variant.ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        }
    }

    std::printf("{\"count\": %zu, \"rounds\": %d", count, rounds);
    for (Variant& variant : variants) {
        std::printf(", \"%s\": %.3f", variant.name, median(variant.ms));
    }
    std::printf("}\n");
    dlclose(library);
    return 0;
}

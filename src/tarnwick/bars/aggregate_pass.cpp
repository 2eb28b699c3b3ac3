// The batch pass of bars from trades (see aggregate_pass.hpp).
#include "aggregate_pass.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

namespace tarnwick::aggregating {
namespace {

// Item `index` of a column of native values at any address.
template <typename T>
T item(std::span<const unsigned char> column, std::size_t index) {
    T value;
    std::memcpy(&value, column.data() + index * sizeof(T), sizeof(T));
    return value;
}

std::string ticker_text(const char* ticker) {
    std::string text(ticker, strnlen(ticker, header::ticker_size));
    return text.empty() ? "no ticker" : text;
}

// A zone table that reaches no instant: activity bars never ask it.
constexpr std::array<double, 1> kUtc{0.0};

// Where the run of rows of one ticker that starts at `from` ends.
std::size_t run_end(const Columns& columns, std::size_t from, std::size_t rows) {
    if (columns.codes.empty()) {
        return rows;
    }
    const auto code = item<std::int32_t>(columns.codes, from);
    std::size_t end = from + 1;
    while (end < rows && item<std::int32_t>(columns.codes, end) == code) {
        ++end;
    }
    return end;
}

}  // namespace

// About how many bars rows [0, rows) of one ticker make (at most one a row):
// reserved at once, the bars are not copied as they grow, and a pass that
// makes many bars spends much of its time there.  One quick look at a column.
std::size_t Batch::expected_bars(const Columns& columns, std::size_t rows) const {
    double bars = 0;
    const double threshold = rules_.threshold;
    if (rules_.rule == Rule::ticks) {
        bars = static_cast<double>(rows) / threshold;
    } else if (rules_.rule == Rule::volume || rules_.rule == Rule::value) {
        const bool by_value = rules_.rule == Rule::value;
        double total = 0;
        for (std::size_t row = 0; row < rows; ++row) {
            double size = item<double>(columns.sizes, row);
            total += !by_value ? size
                     : columns.notionals.empty() ? size * item<double>(columns.prices, row)
                                                 : item<double>(columns.notionals, row);
        }
        bars = total / threshold;
    } else if (rows > 0 && !clock_.daily()) {
        const double length = static_cast<double>(clock_options_.count);
        bars = (item<double>(columns.times, rows - 1) - item<double>(columns.times, 0)) / length;
    }
    const double most = static_cast<double>(rows);
    return static_cast<std::size_t>(std::isfinite(bars) ? std::clamp(bars + 2, 0.0, most) : 0.0);
}

Batch::Batch(const Rules& rules, const ClockOptions& clock)
    : rules_(rules), clock_options_(clock), clock_(clock, Zone({}, kUtc, 0.0, 0.0)) {}

void Batch::set_zone(std::vector<double> transitions, std::vector<double> offsets, double from, double to) {
    transitions_ = std::move(transitions);
    offsets_ = std::move(offsets);
    clock_.rezone(Zone(transitions_, offsets_, from, to));
}

Batch::Entry& Batch::entry_of(const char* ticker) {
    return table_.of(ticker, [this](const char* bytes) { return Entry{BarBuilder(rules_, clock_, bytes), {}}; });
}

Batch::Entry& Batch::entry_of_code(const Columns& columns, std::size_t row) {
    std::size_t code = 0;
    if (!columns.codes.empty()) {
        auto value = item<std::int32_t>(columns.codes, row);
        if (value < 0 || static_cast<std::size_t>(value) >= columns.names.size()) {
            throw Failure{"row " + std::to_string(columns.first_row + row) + " has ticker code " +
                          std::to_string(value) + ", not one of the " + std::to_string(columns.names.size()) +
                          " ticker names"};
        }
        code = static_cast<std::size_t>(value);
    }
    Entry*& entry = by_code_[code];
    if (entry == nullptr) {
        entry = &entry_of(columns.names[code].data());
    }
    return *entry;
}

// Rows [resume_, end) of one ticker (resume_ follows them).
void Batch::add_rows(const Columns& columns, std::size_t end) {
    Entry& entry = entry_of_code(columns, resume_);
    if (columns.codes.empty() && resume_ == 0) {
        entry.bars.reserve(entry.bars.size() + expected_bars(columns, end));
    }
    auto row = [&columns](std::size_t index) {
        double price = item<double>(columns.prices, index);
        double size = item<double>(columns.sizes, index);
        double notional = columns.notionals.empty() ? price * size : item<double>(columns.notionals, index);
        return Trade{item<double>(columns.times, index), price, size, notional, 1};
    };
    try {
        entry.builder.add_rows(resume_, end, row, [&entry](const Record& bar) { entry.bars.push_back(bar); });
    } catch (BadTrade& bad) {
        throw Failure{"row " + std::to_string(columns.first_row + resume_) + " (" +
                      ticker_text(entry.builder.ticker().data()) + ") " + bad.message};
    }
}


bool Batch::add_columns(const Columns& columns, std::vector<double> transitions, std::vector<double> offsets,
                        double covered_from, double covered_to) {
    check_usable();
    set_zone(std::move(transitions), std::move(offsets), covered_from, covered_to);
    by_code_.assign(std::max<std::size_t>(columns.names.size(), 1), nullptr);
    const std::size_t rows = columns.times.size() / sizeof(double);
    try {
        while (resume_ < rows) {
            add_rows(columns, run_end(columns, resume_, rows));
        }
    } catch (const NotCovered&) {
        return false;
    } catch (const Failure&) {
        refused_ = true;
        throw;
    }
    resume_ = 0;
    return true;
}

void Batch::add_record(std::span<const unsigned char> records) {
    const unsigned char* record = records.data() + resume_;
    std::uint8_t kind = read_field(record, header::dtype);
    std::size_t size = kind == DTYPE_TRANSACTION || kind == DTYPE_TICK_LITE || kind == DTYPE_TICK ? record_size(kind) : 0;
    std::uint64_t index = records_done_ + record_index_;
    if (size == 0) {
        throw Failure{"record " + std::to_string(index) + " is neither a trade nor a tick record (kind code " +
                      std::to_string(kind) + ")"};
    }
    if (records.size() - resume_ < size) {
        throw Failure{"record " + std::to_string(index) + " is cut short: " + std::to_string(records.size() - resume_) +
                      " bytes left of the " + std::to_string(size) + " it needs"};
    }
    Entry& entry = entry_of(ticker_field(record));
    try {
        entry.builder.add_record(record, [&entry](const Record& bar) { entry.bars.push_back(bar); });
    } catch (BadTrade& bad) {
        throw Failure{"record " + std::to_string(index) + " (" + ticker_text(ticker_field(record)) + ") " +
                      bad.message};
    }
    resume_ += size;
    ++record_index_;
}

bool Batch::add_records(std::span<const unsigned char> records, std::vector<double> transitions,
                        std::vector<double> offsets, double covered_from, double covered_to) {
    check_usable();
    set_zone(std::move(transitions), std::move(offsets), covered_from, covered_to);
    try {
        while (resume_ < records.size()) {
            add_record(records);
        }
    } catch (const NotCovered&) {
        return false;
    } catch (const Failure&) {
        refused_ = true;
        throw;
    }
    records_done_ += record_index_;
    record_index_ = 0;
    resume_ = 0;
    return true;
}

// Where a trade was refused the pass stopped part way: what follows cannot
// carry on from it, and what it made is not all the bars.
void Batch::check_usable() const {
    if (refused_) {
        throw Failure{"a trade was refused earlier: these bars are incomplete; start again"};
    }
}

std::vector<Record> Batch::finish() {
    check_usable();
    std::size_t total = 0;
    for (Entry& entry : table_.all()) {
        try {
            entry.builder.flush([&entry](const Record& bar) { entry.bars.push_back(bar); });
        } catch (BadTrade& bad) {
            throw Failure{ticker_text(entry.builder.ticker().data()) + ": " + bad.message};
        }
        total += entry.bars.size();
    }
    if (table_.all().size() == 1) {  // one ticker: its bars are all the bars, without a copy
        return std::move(table_.all().front().bars);
    }
    std::vector<Record> out;
    out.reserve(total);
    for (Entry& entry : table_.all()) {
        out.insert(out.end(), entry.bars.begin(), entry.bars.end());
        std::vector<Record>().swap(entry.bars);
    }
    return out;
}

}  // namespace tarnwick::aggregating

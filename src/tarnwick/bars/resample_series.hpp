// The state the resampling pass keeps per ticker (resample_pass.hpp): the bar
// of the bucket being filled, each ticker's series and the table that finds a
// record's series.  Shared by the pass over a range of records
// (resample_pass.cpp) and by the joining of the ranges that threads resampled
// apart (resample_parts.cpp).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "resample_pass.hpp"
#include "ticker_table.hpp"

namespace tarnwick::bucketing {

using RecordBytes = const unsigned char*;  // the first byte of one source record

inline constexpr std::size_t kTickerBytes = header::ticker_size;
inline constexpr double kNever = -std::numeric_limits<double>::infinity();

// The bar of the bucket being filled, in aligned fields (the record's are
// packed at odd offsets, slow to update bar after bar).
class Accumulator {
public:
    bool empty() const { return first_ == nullptr; }
    std::uint64_t trades() const { return trades_; }

    void add(RecordBytes record) {
        if (first_ == nullptr) {
            first_ = record;
            open_ = read_field(record, bar::open_price);
            high_ = read_field(record, bar::high_price);
            low_ = read_field(record, bar::low_price);
            close_ = read_field(record, bar::close_price);
            volume_ = read_field(record, bar::volume);
            notional_ = read_field(record, bar::notional);
            trades_ = read_field(record, bar::trade_count);
            return;
        }
        // Written so that a NaN, once in, stays.
        double high = read_field(record, bar::high_price);
        high_ = high_ >= high || std::isnan(high_) ? high_ : high;
        double low = read_field(record, bar::low_price);
        low_ = low_ <= low || std::isnan(low_) ? low_ : low;
        close_ = read_field(record, bar::close_price);
        volume_ += read_field(record, bar::volume);
        notional_ += read_field(record, bar::notional);
        trades_ += read_field(record, bar::trade_count);
    }

    // The bucket's bar, with the kind and ticker of its first source bar.
    // Leaves the accumulator empty.
    Record finish(double timestamp, double span) {
        Record out;
        std::memcpy(&out, first_, kBarRecordSize);
        write_field(&out, header::timestamp, timestamp);
        write_field(&out, bar::bar_span, span);
        write_field(&out, bar::open_price, open_);
        write_field(&out, bar::high_price, high_);
        write_field(&out, bar::low_price, low_);
        write_field(&out, bar::close_price, close_);
        write_field(&out, bar::volume, volume_);
        write_field(&out, bar::notional, notional_);
        write_field(&out, bar::trade_count, static_cast<std::uint32_t>(trades_));
        first_ = nullptr;
        return out;
    }

private:
    RecordBytes first_ = nullptr;  // null while no bucket is open
    double open_ = 0, high_ = 0, low_ = 0, close_ = 0, volume_ = 0, notional_ = 0;
    std::uint64_t trades_ = 0;  // unbounded until the bucket closes
};

// TickerKey, ticker_key and TickerKeyHash: ticker_table.hpp.

// A ticker's first bucket in a range of records that is not the first: the
// bucket may have begun in the range before, so its records are kept, in
// order, to be added after that range's (sums of doubles depend on the order).
struct Head {
    std::vector<RecordBytes> records;
    bool collecting = false;  // the first bucket is still the open one
    double from = 0;          // the bucket, as Series has it
    double to = 0;
};

// Where some of a joined ticker's bars are: `count` bars of `bars` from `first` on.
struct Piece {
    const std::vector<Record>* bars;
    std::size_t first;
    std::size_t count;
};

// One ticker's progress through its bars: the finished bars, the bucket being
// filled and where the ticker's previous bar ended.
struct Series {
    std::array<char, kTickerBytes> ticker{};  // the raw bytes, key of the table's index
    std::vector<Record> bars;
    Accumulator bar;
    double bucket_from = 0;  // intraday: (from, to] in instants; daily: [from, to] in days
    double bucket_to = kNever;
    double last_end = kNever;  // end of the previous bar (daily: its day)
    double first_start = 0;    // start of the ticker's first bar in the range (daily: its first day)
    // What spares most bars a look at the zone.  Intraday buckets: the next
    // bucket is (to, to + span] while it ends before steady_until.  Daily
    // buckets of intraday bars: a bar starting in [steady_from, steady_until)
    // belongs to the bucket being filled.
    double steady_from = 0;
    double steady_until = kNever;
    Head head;                  // a range that is not the first: the first bucket's records
    std::vector<Piece> pieces;  // a ticker joined from ranges: its bars, in order
};

// The series of each ticker, in order of first appearance.
class SeriesTable {
public:
    // `heads`: new series keep their first bucket's records (see Head).
    explicit SeriesTable(bool heads = false) : heads_(heads) {}

    // The series of `ticker` (its raw bytes); `made` tells whether it is new.
    Series& of(const char* ticker, bool& made) {
        const TickerKey key = ticker_key(ticker);
        made = false;
        // Tickers interleaved record by record mostly come round in the order
        // in which they first came: a record's ticker is the previous one's,
        // or the one after it.
        std::size_t at = current_;
        if (at < keys_.size()) {
            if (keys_[at].first == key) {
                return *keys_[at].second;
            }
            at = at + 1 == keys_.size() ? 0 : at + 1;
            if (keys_[at].first == key) {
                current_ = at;
                return *keys_[at].second;
            }
        }
        at = find(key);
        if (at < keys_.size()) {
            current_ = at;
            return *keys_[at].second;
        }
        made = true;
        Series& series = series_.emplace_back();
        std::memcpy(series.ticker.data(), ticker, kTickerBytes);
        series.head.collecting = heads_;
        current_ = keys_.size();
        keys_.emplace_back(key, &series);
        index_.emplace(key, current_);
        return series;
    }

    std::deque<Series>& all() { return series_; }

    // Every series' bars, one series after the other.
    std::vector<Record> concatenate() {
        if (series_.empty()) {
            return {};
        }
        std::vector<Record> out = std::move(series_.front().bars);
        std::size_t total = 0;
        for (const Series& series : series_) {
            total += series.bars.size();
        }
        out.reserve(total);
        for (auto series = std::next(series_.begin()); series != series_.end(); ++series) {
            out.insert(out.end(), series->bars.begin(), series->bars.end());
            std::vector<Record>().swap(series->bars);
        }
        return out;
    }

private:
    // A few tickers are found fastest by looking at each: interleaved, every
    // record asks, and a hash table's lookup costs more than comparing some keys.
    static constexpr std::size_t kScanned = 16;

    // The position of `key` among keys_, or keys_.size().
    std::size_t find(const TickerKey& key) const {
        if (keys_.size() <= kScanned) {
            std::size_t at = 0;
            while (at < keys_.size() && !(keys_[at].first == key)) {
                ++at;
            }
            return at;
        }
        auto found = index_.find(key);
        return found == index_.end() ? keys_.size() : found->second;
    }

    bool heads_;
    std::deque<Series> series_;  // a deque, so that they stay in place (also when the table moves)
    std::vector<std::pair<TickerKey, Series*>> keys_;                   // in order of first appearance
    std::unordered_map<TickerKey, std::size_t, TickerKeyHash> index_;  // positions in keys_, for many tickers
    std::size_t current_ = 0;  // the position of the previous record's ticker
};

// The bar of a series' open bucket, which it leaves empty; Failure when its
// trade count does not fit the field.
Record finish_bucket(Series& series, const Options& options, const Zone& zone);

// One pass over records [first, last) of `records` (indices count from the
// start of `records`, also in messages): each ticker's finished bars and its
// open bucket, left open.  `continues`: the range follows other records, so
// each ticker's first bucket is kept as a Head.  Throws as resample_records.
SeriesTable pass_over(std::span<const unsigned char> records, std::size_t first, std::size_t last,
                      const Options& options, const Zone& zone, bool continues);

}  // namespace tarnwick::bucketing

// One entry per ticker, in order of first appearance, looked up by a ticker's
// 32 raw bytes as records hold them: the series of the resampling pass and
// the bar builders of the aggregating module.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <utility>
#include <vector>

#include "records.hpp"

namespace tarnwick {

// A ticker's raw bytes as four words, compared and hashed inline: with
// tickers interleaved every record looks its entry up, and a byte-wise
// compare went through the C library's memcmp each time.
struct TickerKey {
    std::array<std::uint64_t, 4> words{};
};
static_assert(header::ticker_size == sizeof(TickerKey));

inline TickerKey ticker_key(const char* ticker) {
    TickerKey key;
    std::memcpy(key.words.data(), ticker, header::ticker_size);
    return key;
}

inline bool operator==(const TickerKey& a, const TickerKey& b) {
    return ((a.words[0] ^ b.words[0]) | (a.words[1] ^ b.words[1]) | (a.words[2] ^ b.words[2]) |
            (a.words[3] ^ b.words[3])) == 0;
}

struct TickerKeyHash {
    std::size_t operator()(const TickerKey& key) const noexcept {
        std::uint64_t hash = key.words[0];
        for (std::size_t i = 1; i < key.words.size(); ++i) {
            hash = (hash ^ key.words[i]) * 0x9E3779B97F4A7C15ULL;  // the golden-ratio multiplier mixes the bits
        }
        return static_cast<std::size_t>(hash ^ (hash >> 29));
    }
};

// The entries, in order of first appearance; they stay in place (a deque).
template <typename Entry>
class TickerTable {
public:
    // The entry of `ticker` (its 32 raw bytes); a new one, `make(ticker)`,
    // at the ticker's first appearance.
    template <typename Make>
    Entry& of(const char* ticker, Make make) {
        const TickerKey key = ticker_key(ticker);
        if (current_ != nullptr && key == current_key_) {
            return *current_;
        }
        current_key_ = key;
        current_ = find(key);
        if (current_ != nullptr) {
            return *current_;
        }
        current_ = &entries_.emplace_back(make(ticker));
        keys_.emplace_back(key, current_);
        index_.emplace(key, current_);
        return *current_;
    }

    std::deque<Entry>& all() { return entries_; }
    const std::deque<Entry>& all() const { return entries_; }

private:
    // A few tickers are found fastest by looking at each: interleaved, every
    // record asks, and a hash table's lookup costs more than comparing some keys.
    static constexpr std::size_t kScanned = 16;

    Entry* find(const TickerKey& key) const {
        if (keys_.size() <= kScanned) {
            for (const auto& [known, entry] : keys_) {
                if (known == key) {
                    return entry;
                }
            }
            return nullptr;
        }
        auto found = index_.find(key);
        return found == index_.end() ? nullptr : found->second;
    }

    std::deque<Entry> entries_;
    std::vector<std::pair<TickerKey, Entry*>> keys_;               // in order of first appearance
    std::unordered_map<TickerKey, Entry*, TickerKeyHash> index_;  // the same, for many tickers
    Entry* current_ = nullptr;  // the entry of the previous lookup
    TickerKey current_key_;     // and its ticker
};

}  // namespace tarnwick

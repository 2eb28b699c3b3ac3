// The state behind the live Aggregator (live_aggregator.cpp), without the
// interpreter: the rules, the clock and its zone table, one bar builder per
// ticker (bar_builder.hpp, the state machine the batch pass runs), the bars a
// call has completed so far, and what it takes to undo a call that fails.
//
// A call feeds trades to builders through `feed`, which stops at the first
// trade it cannot take and says why (`Stop`): a zone table too narrow (the
// caller widens it with `rezone` and feeds on from that trade), a trade the
// rules refuse, or no memory.  Nothing here throws out of `feed`, so a caller
// may run it without the GIL.
#pragma once

#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bar_builder.hpp"
#include "ticker_table.hpp"

namespace tarnwick::aggregating {

// Where and why a feed stopped.
struct Stop {
    enum class Why : std::uint8_t { done, not_covered, bad_trade, no_memory };
    Why why = Why::done;
    std::size_t row = 0;  // the trade it stopped at (the count fed, when done)
    std::string message;  // bad_trade: BadTrade's message
};

class LiveBars {
public:
    LiveBars(const Rules& rules, const ClockOptions& clock_options)
        : rules_(rules), clock_(clock_options, Zone(transitions_, offsets_, kNoTime, kNoTime)) {}
    LiveBars(const LiveBars&) = delete;  // the builders point to rules_ and clock_
    LiveBars& operator=(const LiveBars&) = delete;
    ~LiveBars() = default;

    // The builder of a ticker (its 32 raw bytes), made at its first appearance.
    BarBuilder& builder(const char* ticker) {
        return table_.of(ticker, [this](const char* name) { return BarBuilder(rules_, clock_, name); });
    }
    std::deque<BarBuilder>& builders() { return table_.all(); }

    // Whether bars close by the clock, whose zone table may run out mid-trade.
    bool timed() const { return rules_.rule == Rule::time; }

    // The zone table the clock reads from now on; the bars built so far stay.
    void rezone(std::vector<double> transitions, std::vector<double> offsets, double from, double to) {
        Zone zone(transitions, offsets, from, to);  // over the new vectors' storage, which the moves keep
        clock_.rezone(zone);
        transitions_ = std::move(transitions);
        offsets_ = std::move(offsets);
        covered_from_ = from;
        covered_to_ = to;
    }
    double covered_from() const { return covered_from_; }
    double covered_to() const { return covered_to_; }

    // ---- one call -----------------------------------------------------------------------

    // Starts a call: nothing completed yet, nothing to undo.
    void begin() {
        completed_.clear();
        saved_.clear();
        saved_index_.clear();
        last_kept_ = nullptr;
    }

    // Feeds trades [from, to) to the builders: `step(row, emit)` gives one
    // trade to its builder, after `keep` was called on that builder.
    template <typename Step>
    Stop feed(std::size_t from, std::size_t to, Step&& step) noexcept {
        auto emit = [this](const Record& bar) { completed_.push_back(bar); };
        std::size_t row = from;
        try {
            for (; row < to; ++row) {
                step(row, emit);
            }
            return {Stop::Why::done, row, {}};
        } catch (const NotCovered&) {
            return {Stop::Why::not_covered, row, {}};
        } catch (BadTrade& refused) {
            return {Stop::Why::bad_trade, row, std::move(refused.message)};
        } catch (...) {  // std::bad_alloc: the builders throw nothing else
            return {Stop::Why::no_memory, row, {}};
        }
    }

    // Before a builder changes in this call: a copy of it as it was.
    void keep(BarBuilder& builder) {
        if (&builder == last_kept_) {
            return;  // a run of one ticker's trades asks once
        }
        last_kept_ = &builder;
        if (saved_.size() < kScanned) {
            for (const auto& entry : saved_) {
                if (entry.first == &builder) {
                    return;
                }
            }
        } else if (saved_index_.empty()) {
            for (const auto& entry : saved_) {
                saved_index_.insert(entry.first);
            }
        }
        if (saved_.size() >= kScanned && !saved_index_.insert(&builder).second) {
            return;
        }
        saved_.emplace_back(&builder, builder);
    }

    // The call failed: the builders as they were before it, no bars completed.
    void undo() noexcept {
        for (auto& [kept, copy] : saved_) {
            *kept = copy;
        }
        completed_.clear();
    }

    // The bars completed in this call.
    const std::vector<Record>& completed() const { return completed_; }

    // Ends a call whose bars were taken: memory that one large call needed goes.
    void end() {
        begin();
        if (completed_.capacity() > kKeptBars) {
            std::vector<Record>().swap(completed_);
        }
        if (saved_.capacity() > kScanned) {
            decltype(saved_)().swap(saved_);
            decltype(saved_index_)().swap(saved_index_);
        }
    }

private:
    static constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();  // a table that covers no instant
    static constexpr std::size_t kScanned = 16;     // builders kept, found by looking at each
    static constexpr std::size_t kKeptBars = 4096;  // completed bars whose room stays between calls

    Rules rules_;
    std::vector<double> transitions_;
    std::vector<double> offsets_{0.0};
    double covered_from_ = kNoTime;
    double covered_to_ = kNoTime;
    Clock clock_;
    TickerTable<BarBuilder> table_;
    std::vector<Record> completed_;
    std::vector<std::pair<BarBuilder*, BarBuilder>> saved_;
    std::unordered_set<BarBuilder*> saved_index_;  // the same builders, once there are many
    BarBuilder* last_kept_ = nullptr;
};

}  // namespace tarnwick::aggregating

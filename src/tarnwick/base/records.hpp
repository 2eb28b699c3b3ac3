// Packed market-data records shared byte for byte by every native module of
// the package, and the record-kind codes.  Pure layout: no interpreter code,
// so any native consumer of the records can include it.
//
// Records are packed with one-byte alignment, so multi-byte fields sit at odd
// offsets (`timestamp` at 33).  The declarations below fix every offset; the
// accessors at the end of this file are the one way code reads or writes a
// field (see "Reading and writing fields").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick {

// Record-kind codes, stored in the one-byte `dtype` of every record header.
// NOLINTNEXTLINE(performance-enum-size): its 4-byte size is part of the interface (asserted below).
enum DataType : std::int32_t {
    DTYPE_UNKNOWN = 0,
    DTYPE_MARKET_DATA = 10,
    DTYPE_TRANSACTION = 20,
    DTYPE_ORDER = 30,
    DTYPE_TICK_LITE = 31,
    DTYPE_TICK = 32,
    DTYPE_BAR = 40,
    DTYPE_REPORT = 50,
    DTYPE_INSTRUCTION = 51,
};

#pragma pack(push, 1)

struct _MetaInfo {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
};

struct _ID {
    std::uint8_t id_type;
    char data[16];
};

struct _OrderBookEntry {
    double price;
    double volume;
    std::uint64_t n_orders;  // 0 marks an empty level
};

struct _OrderBookBuffer {
    _OrderBookEntry entries[10];
};

struct _CandlestickBuffer {
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

struct _TickDataLiteBuffer {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double bid_price;
    double bid_volume;
    double ask_price;
    double ask_volume;
    double last_price;
    double total_traded_volume;
    double total_traded_notional;
    std::uint32_t total_trade_count;
};

struct _TickDataBuffer {
    _TickDataLiteBuffer lite;
    _OrderBookBuffer bid;
    _OrderBookBuffer ask;
};

struct _TransactionDataBuffer {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double price;
    double volume;
    std::uint8_t side;
    double multiplier;
    double notional;
    _ID transaction_id;
    _ID buy_id;
    _ID sell_id;
};

struct _OrderDataBuffer {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double price;
    double volume;
    std::uint8_t side;
    _ID order_id;
    std::uint8_t order_type;
};

struct _TradeReportBuffer {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double price;
    double volume;
    std::uint8_t side;
    double multiplier;
    double notional;
    double fee;
    _ID order_id;
    _ID trade_id;
};

struct _TradeInstructionBuffer {
    std::uint8_t dtype;
    char ticker[32];
    double timestamp;
    double limit_price;
    double volume;
    std::uint8_t side;
    _ID order_id;
    std::int32_t order_type;  // four bytes here, unlike the order record's
    double multiplier;
    std::uint8_t order_state;
    double filled_volume;
    double filled_notional;
    double fee;
    double ts_placed;
    double ts_canceled;
    double ts_finished;
};

union _MarketDataBuffer {
    _MetaInfo MetaInfo;
    _TransactionDataBuffer TransactionData;
    _OrderDataBuffer OrderData;
    _CandlestickBuffer BarData;
    _TickDataLiteBuffer TickDataLite;
    _TickDataBuffer TickDataFull;
    _TradeReportBuffer TradeReport;
    _TradeInstructionBuffer TradeInstruction;
};

#pragma pack(pop)

// A bar's record is exactly one `_CandlestickBuffer`, never the whole union:
// every allocation, copy and export of a bar covers these bytes and no more.
inline constexpr std::size_t kBarRecordSize = sizeof(_CandlestickBuffer);

// Record size of each kind (0 for a code that names no record kind).
constexpr std::size_t record_size(std::uint8_t dtype) noexcept {
    switch (dtype) {
        case DTYPE_MARKET_DATA: return sizeof(_MetaInfo);
        case DTYPE_TRANSACTION: return sizeof(_TransactionDataBuffer);
        case DTYPE_ORDER: return sizeof(_OrderDataBuffer);
        case DTYPE_TICK_LITE: return sizeof(_TickDataLiteBuffer);
        case DTYPE_TICK: return sizeof(_TickDataBuffer);
        case DTYPE_BAR: return kBarRecordSize;
        case DTYPE_REPORT: return sizeof(_TradeReportBuffer);
        case DTYPE_INSTRUCTION: return sizeof(_TradeInstructionBuffer);
        default: return 0;
    }
}

// ---- Reading and writing fields ----------------------------------------------
//
// The rule: every field is read with `read_field` and written with
// `write_field`, given a record's address and one of the typed field
// constants below, which take their offsets from the packed declarations
// above.  Why one way: a record
// sits at any address (records lie back to back in files and in buffers
// whose owners choose the start), so a field is rarely aligned.  Copying its
// bytes never forms a misaligned pointer or reference, and a fixed-size copy
// compiles to one unaligned load or store, as fast as a member access.

// A field of type T at a byte offset inside a record.
template <class T>
struct Field {
    std::size_t offset;
};

template <class T>
inline T read_field(const void* record, Field<T> field) noexcept {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(record) + field.offset, sizeof value);
    return value;
}

template <class T>
inline void write_field(void* record, Field<T> field, T value) noexcept {
    std::memcpy(static_cast<unsigned char*>(record) + field.offset, &value, sizeof value);
}

// The header every record starts with.  The ticker is bytes, reached through
// `ticker_field`.
namespace header {
inline constexpr Field<std::uint8_t> dtype{offsetof(_MetaInfo, dtype)};
inline constexpr Field<double> timestamp{offsetof(_MetaInfo, timestamp)};
inline constexpr std::size_t ticker_offset = offsetof(_MetaInfo, ticker);
inline constexpr std::size_t ticker_size = sizeof(_MetaInfo::ticker);
}  // namespace header

inline char* ticker_field(void* record) noexcept { return static_cast<char*>(record) + header::ticker_offset; }
inline const char* ticker_field(const void* record) noexcept {
    return static_cast<const char*>(record) + header::ticker_offset;
}

// The fields of a bar record after its header.
namespace bar {
inline constexpr Field<double> bar_span{offsetof(_CandlestickBuffer, bar_span)};
inline constexpr Field<double> high_price{offsetof(_CandlestickBuffer, high_price)};
inline constexpr Field<double> low_price{offsetof(_CandlestickBuffer, low_price)};
inline constexpr Field<double> open_price{offsetof(_CandlestickBuffer, open_price)};
inline constexpr Field<double> close_price{offsetof(_CandlestickBuffer, close_price)};
inline constexpr Field<double> volume{offsetof(_CandlestickBuffer, volume)};
inline constexpr Field<double> notional{offsetof(_CandlestickBuffer, notional)};
inline constexpr Field<std::uint32_t> trade_count{offsetof(_CandlestickBuffer, trade_count)};
}  // namespace bar

// One level of an order book.
namespace book_entry {
inline constexpr Field<double> price{offsetof(_OrderBookEntry, price)};
inline constexpr Field<double> volume{offsetof(_OrderBookEntry, volume)};
inline constexpr Field<std::uint64_t> n_orders{offsetof(_OrderBookEntry, n_orders)};  // 0 marks an empty level
}  // namespace book_entry

// ---- Compile-time check of every size and offset of the byte layouts ------

static_assert(sizeof(DataType) == 4);

static_assert(sizeof(_MetaInfo) == 41);
static_assert(offsetof(_MetaInfo, dtype) == 0);
static_assert(offsetof(_MetaInfo, ticker) == 1);
static_assert(offsetof(_MetaInfo, timestamp) == 33);

static_assert(sizeof(_ID) == 17);
static_assert(offsetof(_ID, id_type) == 0);
static_assert(offsetof(_ID, data) == 1);

static_assert(sizeof(_OrderBookEntry) == 24);
static_assert(offsetof(_OrderBookEntry, price) == 0);
static_assert(offsetof(_OrderBookEntry, volume) == 8);
static_assert(offsetof(_OrderBookEntry, n_orders) == 16);

static_assert(sizeof(_OrderBookBuffer) == 240);

static_assert(sizeof(_CandlestickBuffer) == 101);
static_assert(header::timestamp.offset == offsetof(_CandlestickBuffer, timestamp));
static_assert(offsetof(_CandlestickBuffer, dtype) == 0);
static_assert(offsetof(_CandlestickBuffer, ticker) == 1);
static_assert(offsetof(_CandlestickBuffer, timestamp) == 33);
static_assert(offsetof(_CandlestickBuffer, bar_span) == 41);
static_assert(offsetof(_CandlestickBuffer, high_price) == 49);
static_assert(offsetof(_CandlestickBuffer, low_price) == 57);
static_assert(offsetof(_CandlestickBuffer, open_price) == 65);
static_assert(offsetof(_CandlestickBuffer, close_price) == 73);
static_assert(offsetof(_CandlestickBuffer, volume) == 81);
static_assert(offsetof(_CandlestickBuffer, notional) == 89);
static_assert(offsetof(_CandlestickBuffer, trade_count) == 97);

static_assert(sizeof(_TickDataLiteBuffer) == 101);
static_assert(offsetof(_TickDataLiteBuffer, bid_price) == 41);
static_assert(offsetof(_TickDataLiteBuffer, bid_volume) == 49);
static_assert(offsetof(_TickDataLiteBuffer, ask_price) == 57);
static_assert(offsetof(_TickDataLiteBuffer, ask_volume) == 65);
static_assert(offsetof(_TickDataLiteBuffer, last_price) == 73);
static_assert(offsetof(_TickDataLiteBuffer, total_traded_volume) == 81);
static_assert(offsetof(_TickDataLiteBuffer, total_traded_notional) == 89);
static_assert(offsetof(_TickDataLiteBuffer, total_trade_count) == 97);

static_assert(sizeof(_TickDataBuffer) == 581);
static_assert(offsetof(_TickDataBuffer, lite) == 0);
static_assert(offsetof(_TickDataBuffer, bid) == 101);
static_assert(offsetof(_TickDataBuffer, ask) == 341);

static_assert(sizeof(_TransactionDataBuffer) == 125);
static_assert(offsetof(_TransactionDataBuffer, price) == 41);
static_assert(offsetof(_TransactionDataBuffer, volume) == 49);
static_assert(offsetof(_TransactionDataBuffer, side) == 57);
static_assert(offsetof(_TransactionDataBuffer, multiplier) == 58);
static_assert(offsetof(_TransactionDataBuffer, notional) == 66);
static_assert(offsetof(_TransactionDataBuffer, transaction_id) == 74);
static_assert(offsetof(_TransactionDataBuffer, buy_id) == 91);
static_assert(offsetof(_TransactionDataBuffer, sell_id) == 108);

static_assert(sizeof(_OrderDataBuffer) == 76);
static_assert(offsetof(_OrderDataBuffer, price) == 41);
static_assert(offsetof(_OrderDataBuffer, volume) == 49);
static_assert(offsetof(_OrderDataBuffer, side) == 57);
static_assert(offsetof(_OrderDataBuffer, order_id) == 58);
static_assert(offsetof(_OrderDataBuffer, order_type) == 75);

static_assert(sizeof(_TradeReportBuffer) == 116);
static_assert(offsetof(_TradeReportBuffer, price) == 41);
static_assert(offsetof(_TradeReportBuffer, volume) == 49);
static_assert(offsetof(_TradeReportBuffer, side) == 57);
static_assert(offsetof(_TradeReportBuffer, multiplier) == 58);
static_assert(offsetof(_TradeReportBuffer, notional) == 66);
static_assert(offsetof(_TradeReportBuffer, fee) == 74);
static_assert(offsetof(_TradeReportBuffer, order_id) == 82);
static_assert(offsetof(_TradeReportBuffer, trade_id) == 99);

static_assert(sizeof(_TradeInstructionBuffer) == 136);
static_assert(offsetof(_TradeInstructionBuffer, limit_price) == 41);
static_assert(offsetof(_TradeInstructionBuffer, volume) == 49);
static_assert(offsetof(_TradeInstructionBuffer, side) == 57);
static_assert(offsetof(_TradeInstructionBuffer, order_id) == 58);
static_assert(offsetof(_TradeInstructionBuffer, order_type) == 75);
static_assert(offsetof(_TradeInstructionBuffer, multiplier) == 79);
static_assert(offsetof(_TradeInstructionBuffer, order_state) == 87);
static_assert(offsetof(_TradeInstructionBuffer, filled_volume) == 88);
static_assert(offsetof(_TradeInstructionBuffer, filled_notional) == 96);
static_assert(offsetof(_TradeInstructionBuffer, fee) == 104);
static_assert(offsetof(_TradeInstructionBuffer, ts_placed) == 112);
static_assert(offsetof(_TradeInstructionBuffer, ts_canceled) == 120);
static_assert(offsetof(_TradeInstructionBuffer, ts_finished) == 128);

static_assert(sizeof(_MarketDataBuffer) == 581);

}  // namespace tarnwick

/* Record orderings for qsort, exported with C linkage for native consumers. */
#ifndef TARNWICK_BASE_MARKET_DATA_EXTERNAL_H
#define TARNWICK_BASE_MARKET_DATA_EXTERNAL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Elements are pointers to records; orders by record timestamp, earliest first. */
int compare_md(const void* a, const void* b);
int compare_md_ptr(const void* a, const void* b);

/* Elements are order-book levels; best price first, empty levels last. */
int compare_entries_bid(const void* a, const void* b);
int compare_entries_ask(const void* a, const void* b);

#ifdef __cplusplus
}
#endif

#endif /* TARNWICK_BASE_MARKET_DATA_EXTERNAL_H */

/* Counts the bytes live on the heap, so that a benchmark can report the peak of one call. */
#ifndef WELD_BENCH_HEAP_COUNTER_H
#define WELD_BENCH_HEAP_COUNTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a new measurement: the peak falls back to the bytes live now. */
void HeapCounterRestart(void);

/* The most bytes live at any moment since the restart, less those live at the restart. */
long long HeapCounterPeakGrowth(void);

#ifdef __cplusplus
}
#endif

#endif

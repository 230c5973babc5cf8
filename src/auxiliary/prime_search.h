// Processor load: a plain trial-division prime search.
#ifndef IOCHURN_AUXILIARY_PRIME_SEARCH_H_
#define IOCHURN_AUXILIARY_PRIME_SEARCH_H_

#include <cstdint>

namespace iochurn {

constexpr uint32_t kPrimeTableSize = 1000000;

// The primes of the last search in increasing order, then zeros; and their
// number. Written by search_primes on the main thread only; read by nobody
// but tests.
extern uint32_t prime_table[kPrimeTableSize];
extern uint32_t prime_count;

// Finds every prime up to `limit` (at most 1000000) by trying every divisor
// from 2 upward, exactly as slowly as that is: the search exists for the
// processor time it takes. Prints the limit in verbose mode. Main thread.
void search_primes(uint32_t limit);

}  // namespace iochurn

#endif  // IOCHURN_AUXILIARY_PRIME_SEARCH_H_

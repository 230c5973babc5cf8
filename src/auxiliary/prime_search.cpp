// Prime search.
#include "auxiliary/prime_search.h"

#include <cstdio>
#include <cstring>

#include "config/run_settings.h"

namespace iochurn {

// Static storage: no resident memory until a search touches it.
uint32_t prime_table[kPrimeTableSize];
uint32_t prime_count;

void search_primes(uint32_t limit) {
  if (limit > kPrimeTableSize) limit = kPrimeTableSize;
  if (settings.verbose)
    std::printf("Search for prime numbers upto %lu.\n",
                static_cast<unsigned long>(limit));
  // Everything past the previous search's primes is still zero.
  std::memset(prime_table, 0, sizeof(uint32_t) * prime_count);
  prime_count = 0;
  prime_table[prime_count++] = 2;
  if (limit < 3) return;
  for (uint32_t i = 3; i <= limit; ++i) {
    bool divisible = false;
    for (uint32_t j = 2; j < i; ++j) {
      // volatile: every division must really run, though nothing reads the
      // table in the program.
      volatile uint32_t divisor = j;
      if ((i / divisor) * divisor == i) {
        divisible = true;
        break;
      }
    }
    if (!divisible) prime_table[prime_count++] = i;
  }
}

}  // namespace iochurn

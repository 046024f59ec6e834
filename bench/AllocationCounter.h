// Counts heap allocations of this process, so that benchmarks can report allocations per
// iteration.
#ifndef ZENTRIX_BENCH_ALLOCATIONCOUNTER_H
#define ZENTRIX_BENCH_ALLOCATIONCOUNTER_H

#include <cstdint>

namespace zentrix::bench {

std::uint64_t AllocationCount();

}  // namespace zentrix::bench

#endif

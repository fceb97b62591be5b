// Counts heap allocations made by threads other than the one that started the
// count: in the storage tests those are the decode workers.
#pragma once

#include <cstdint>

namespace storage_test {

// False in sanitizer builds, whose runtimes own operator new.
bool CountingAvailable();
void StartCountingWorkerAllocations();
int64_t StopCountingWorkerAllocations();

}  // namespace storage_test

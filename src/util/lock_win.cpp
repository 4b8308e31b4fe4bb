// The library lock on Windows: an SRW lock taken exclusively.
#include "util/lock.h"

#include <windows.h>

namespace tb1s {

static_assert(sizeof(SRWLOCK) == sizeof(void *), "an SRWLOCK is one pointer");

void tb1s_lock::lock() { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw)); }
void tb1s_lock::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&srw)); }

}  // namespace tb1s

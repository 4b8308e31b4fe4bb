// The library lock: one exclusive lock that guards the options, shares,
// users and allow-list. On Windows it is a slim reader/writer lock taken
// exclusively (no kernel object, no initialisation, no teardown); elsewhere
// a standard mutex. Either works with std::lock_guard.
#pragma once

#include <mutex>

#ifdef _WIN32
namespace tb1s {

struct tb1s_lock {
    void *srw = nullptr;  // an SRWLOCK: one pointer, all zero when free
    void lock();
    void unlock();
};

}  // namespace tb1s
#else
namespace tb1s {

using tb1s_lock = std::mutex;

}  // namespace tb1s
#endif

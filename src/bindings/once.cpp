#include "bindings/once.hpp"

#include <pthread.h>

#include <new>

namespace trelvik {

namespace {

OnceObject* all_caches = nullptr;  // every cache, linked through next_cache

// A child forked while another thread held a fill lock would inherit the
// lock held by a thread that does not exist there, and wait for it for ever.
// The child has one thread, so every lock is free: make each a fresh one.
void reset_fill_locks_in_child() {
    for (OnceObject* cache = all_caches; cache; cache = cache->next_cache)
        new (&cache->fill_lock) std::recursive_mutex();
}

}  // namespace

// The caches are static objects, constructed before the module is imported
// and so before any thread can use one.
OnceObject::OnceObject() : next_cache(all_caches) {
    if (!all_caches) pthread_atfork(nullptr, nullptr, reset_fill_locks_in_child);
    all_caches = this;
}

}  // namespace trelvik

// A caller's handler and its context, set and taken as one pair. Hosts set
// handlers from any thread, also while an export on another thread is about
// to call the old one; a call must get a handler with its own context.
#pragma once

#include "common/Lock.h"

namespace kelvara {

template <typename Handler>
class HandlerSlot {
public:
    struct Entry {
        Handler handler = nullptr;
        void *context = nullptr;
    };

    // A null handler clears the context as well.
    void Set(Handler handler, void *context)
    {
        wqn::LockHolder hold(lock_);
        entry_ = {handler, handler != nullptr ? context : nullptr};
    }

    // A copy, so the handler runs without the lock: it may set handlers.
    Entry Get() const
    {
        wqn::LockHolder hold(lock_);
        return entry_;
    }

private:
    mutable wqn::Lock lock_;
    Entry entry_;
};

} // namespace kelvara

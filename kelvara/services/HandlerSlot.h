// A caller's handler and its context, set and taken as one pair. Hosts set
// handlers from any thread, also while an export on another thread is about
// to call the old one; a call must get a handler with its own context.
#pragma once

#include <mutex>

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
        std::lock_guard<std::mutex> lock(mutex_);
        entry_ = {handler, handler != nullptr ? context : nullptr};
    }

    // A copy, so the handler runs without the lock: it may set handlers.
    Entry Get() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entry_;
    }

private:
    mutable std::mutex mutex_;
    Entry entry_;
};

} // namespace kelvara

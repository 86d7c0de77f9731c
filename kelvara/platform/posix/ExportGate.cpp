// The entry gate on POSIX threads: a mutex and the id of the thread that
// holds it (compared only by the thread itself, so a relaxed read is enough).
#include "kelvara/services/ExportGate.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace kelvara {
namespace {

std::mutex g_gate;
std::atomic<std::thread::id> g_holder{};

} // namespace

ExportGate::ExportGate()
{
    if (g_holder.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return;
    g_gate.lock();
    g_holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
    entered_ = true;
}

ExportGate::~ExportGate()
{
    if (!entered_)
        return;
    g_holder.store(std::thread::id(), std::memory_order_relaxed);
    g_gate.unlock();
}

} // namespace kelvara

// libgcic32.so (Gcic32.dll on Windows): a simulated GC481 vendor library.
// It exports the functions of the library's call contract with their
// argument and result types and keeps the card in an image file, so
// Kelvara's GC481 adapter can be run without the vendor's reader. Every call
// is appended to a log.
//
// Configuration, read from the environment at every port open:
//   WQN_GC481_IMAGE       card image file (540672 bytes; created blank if
//                         missing). Unset: a blank card in memory, fresh at
//                         every open.
//   WQN_GC481_PORTS       port indexes (0 = COM1) with a reader, "0,1", or "none";
//                         default "0". IC_InitComm_Baud fails on the others.
//   WQN_GC481_SPEEDS      speeds the reader opens at, "115200,9600"; default
//                         all seven.
//   WQN_GC481_STATUS      what IC_Status gives: "N" for every port or
//                         "P:N,..." per port; default 0 (card ready). -133
//                         and -134 mean "no usable card".
//   WQN_GC481_FAIL_READ   pages whose IC_DirectRead fails ("7,9:once")
//   WQN_GC481_FAIL_WRITE  pages whose IC_DirectWrite fails
//   WQN_GC481_LOG         call log: one line per call,
//                         "gc481 <Function> <arguments> -> <result>"
//
// Built four more times for tests: without IC_DirectWrite, IC_InitComm_Baud
// or IC_ExitComm (entry points the adapter needs) and without IC_Down (one
// it never calls).
#include "sim/vendor/VendorExport.h"
#include "sim/vendor/VendorSimSupport.h"

#include <cstdint>
#include <map>
#include <string>

namespace {

using namespace wqn::sim::vendor;

constexpr const char *kLog = "WQN_GC481_LOG";
constexpr std::int16_t kFailed = -1;

struct State {
    SimCard card{"WQN_GC481_IMAGE", "WQN_GC481_FAIL_READ", "WQN_GC481_FAIL_WRITE"};
    std::map<std::int32_t, long> open; // handle -> port
    std::int32_t nextHandle = 0x10;
};

// Lives only while a port is open: a process that exits with a port still
// open closes it from its own exit handlers, possibly after this library's
// static objects are gone, so the state must not be one of them.
State *g_state = nullptr;

State &Sim()
{
    if (g_state == nullptr)
        g_state = new State;
    return *g_state;
}

void ReleaseIfIdle()
{
    if (g_state != nullptr && g_state->open.empty()) {
        delete g_state;
        g_state = nullptr;
    }
}

void Record(const std::string &call, long result) { Log(kLog, "gc481 " + call + " -> " + std::to_string(result)); }

// Runs `body`; an exception becomes `failure` so none crosses an export.
template <class Result, class Body>
Result Guard(Result failure, Body body) noexcept
{
    try {
        const auto result = body();
        ReleaseIfIdle();
        return result;
    } catch (...) {
        ReleaseIfIdle();
        return failure;
    }
}

} // namespace

#ifndef WQN_GC481_SIM_WITHOUT_INIT_COMM_BAUD
WQN_SIM_EXPORT std::int32_t WQN_VENDOR_CALL IC_InitComm_Baud(std::int16_t port, std::int32_t baud)
{
    return Guard<std::int32_t>(-1, [&]() -> std::int32_t {
        State &s = Sim();
        std::int32_t handle = -1;
        if (ReaderAt("WQN_GC481", port, baud) && s.card.Load()) {
            handle = s.nextHandle++;
            s.open[handle] = port;
        }
        Record("IC_InitComm_Baud " + std::to_string(port) + " " + std::to_string(baud), handle);
        return handle;
    });
}
#endif

#ifndef WQN_GC481_SIM_WITHOUT_EXIT_COMM
WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_ExitComm(std::int32_t handle)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        State &s = Sim();
        const std::int16_t r = s.open.erase(handle) != 0 ? 0 : kFailed;
        if (s.open.empty())
            s.card.Unload();
        Record("IC_ExitComm " + std::to_string(handle), r);
        return r;
    });
}
#endif

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_InitType(std::int32_t handle, std::int32_t type)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        const std::int16_t r = Sim().open.count(handle) != 0 ? 0 : kFailed;
        Record("IC_InitType " + std::to_string(handle) + " " + std::to_string(type), r);
        return r;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_Status(std::int32_t handle)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        State &s = Sim();
        std::int16_t r = kFailed;
        if (const auto it = s.open.find(handle); it != s.open.end()) {
            const auto status = ParsePerPort(EnvText("WQN_GC481_STATUS"), 0);
            r = status ? std::int16_t(status->For(it->second)) : kFailed;
        }
        Record("IC_Status " + std::to_string(handle), r);
        return r;
    });
}

#ifndef WQN_GC481_SIM_WITHOUT_DOWN
WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_Down(std::int32_t handle)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        Record("IC_Down " + std::to_string(handle), 0);
        return 0;
    });
}
#endif

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_WhatIsType(std::int32_t handle)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        Record("IC_WhatIsType " + std::to_string(handle), 0x41);
        return 0x41;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_DirectRead(std::int32_t handle, std::int16_t page, std::int16_t offset,
                                                          std::int16_t length, std::uint8_t *buffer)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        State &s = Sim();
        const bool ok = s.open.count(handle) != 0 && page >= 0 && page < wqn::sim::FlashCard::kPageCount &&
            offset >= 0 && length >= 0 && offset + length <= wqn::sim::FlashCard::kPageSize &&
            s.card.Read(long(page) * wqn::sim::FlashCard::kPageSize + offset, length, buffer);
        const std::int16_t r = ok ? 0 : kFailed;
        Record("IC_DirectRead " + std::to_string(handle) + " " + std::to_string(page) + " " + std::to_string(offset) +
                   " " + std::to_string(length),
               r);
        return r;
    });
}

#ifndef WQN_GC481_SIM_WITHOUT_DIRECT_WRITE
WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL IC_DirectWrite(std::int32_t handle, std::int16_t page, std::int16_t offset,
                                                           std::int16_t length, const std::uint8_t *buffer)
{
    return Guard<std::int16_t>(kFailed, [&]() -> std::int16_t {
        State &s = Sim();
        const bool ok = s.open.count(handle) != 0 && page >= 0 && page < wqn::sim::FlashCard::kPageCount &&
            offset >= 0 && length >= 0 && offset + length <= wqn::sim::FlashCard::kPageSize &&
            s.card.Write(long(page) * wqn::sim::FlashCard::kPageSize + offset, length, buffer);
        const std::int16_t r = ok ? 0 : kFailed;
        Record("IC_DirectWrite " + std::to_string(handle) + " " + std::to_string(page) + " " + std::to_string(offset) +
                   " " + std::to_string(length) + " " + Hex(buffer, length),
               r);
        return r;
    });
}
#endif

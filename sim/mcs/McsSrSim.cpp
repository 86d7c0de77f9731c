// libmcs_sr.so (MCS_SR.DLL on Windows): a simulated MCS-C vendor library.
// It exports the functions of the library's call contract with their
// argument and result types and keeps the card in an image file, so
// Kelvara's MCS-C adapter can be run without the vendor's reader. Kelvara
// loads it from the directory of the program's executable. Every call is
// appended to a log.
//
// Like the vendor's library it holds at most one open port, and the card
// must be opened (AT45D_OpenCard) before a transfer.
//
// Configuration, read from the environment at every port open:
//   WQN_MCS_IMAGE       card image file (540672 bytes; created blank if
//                       missing). Unset: a blank card in memory, fresh at
//                       every open.
//   WQN_MCS_PORTS       port indexes (0 = COM1) with a reader, "0,1", or "none";
//                       default "0". MCS_InitComm fails on the others.
//   WQN_MCS_SPEEDS      speeds the reader opens at; default all seven.
//   WQN_MCS_AUTOTEST    what MCS_AutoTest gives: "N" for every port or
//                       "P:N,..." per port; default 0 (card ready). 48 and
//                       49 ('0', '1') mean "no usable card".
//   WQN_MCS_FAIL_READ   pages whose AT45D_BundleReadChar fails ("7,9:once")
//   WQN_MCS_FAIL_WRITE  pages whose AT45D_BundleWriteChar fails
//   WQN_MCS_LOG         call log: one line per call,
//                       "mcs <Function> <arguments> -> <result>"
#include "sim/vendor/VendorExport.h"
#include "sim/vendor/VendorSimSupport.h"

#include <cstdint>
#include <string>

namespace {

using namespace wqn::sim::vendor;

constexpr const char *kLog = "WQN_MCS_LOG";
constexpr std::int16_t kFailed = -1;

struct State {
    SimCard card{"WQN_MCS_IMAGE", "WQN_MCS_FAIL_READ", "WQN_MCS_FAIL_WRITE"};
    long port = -1; // the open port; -1 none
    bool cardOpen = false;
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
    if (g_state != nullptr && g_state->port < 0) {
        delete g_state;
        g_state = nullptr;
    }
}

void Record(const std::string &call, long result) { Log(kLog, "mcs " + call + " -> " + std::to_string(result)); }

template <class Body>
std::int16_t Guard(Body body) noexcept
{
    try {
        const auto result = body();
        ReleaseIfIdle();
        return result;
    } catch (...) {
        ReleaseIfIdle();
        return kFailed;
    }
}

} // namespace

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL MCS_InitComm(std::uint8_t port, std::uint32_t baud)
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        std::int16_t r = kFailed;
        if (s.port < 0 && ReaderAt("WQN_MCS", port, long(baud)) && s.card.Load()) {
            s.port = port;
            r = 0;
        }
        Record("MCS_InitComm " + std::to_string(port) + " " + std::to_string(baud), r);
        return r;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL MCS_ExitComm()
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        s.port = -1;
        s.cardOpen = false;
        s.card.Unload();
        Record("MCS_ExitComm", 0);
        return 0;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL MCS_AutoTest(std::uint8_t *type)
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        std::int16_t r = kFailed;
        if (s.port >= 0 && type != nullptr && *type == 0x33) {
            const auto status = ParsePerPort(EnvText("WQN_MCS_AUTOTEST"), 0);
            r = status ? std::int16_t(status->For(s.port)) : kFailed;
        }
        Record(std::string("MCS_AutoTest ") + (type != nullptr ? std::to_string(*type) : "null"), r);
        return r;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL AT45D_OpenCard(std::int32_t type)
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        s.cardOpen = s.port >= 0 && type == 0x33;
        const std::int16_t r = s.cardOpen ? 0 : kFailed;
        Record("AT45D_OpenCard " + std::to_string(type), r);
        return r;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL AT45D_CloseCard()
{
    return Guard([&]() -> std::int16_t {
        Sim().cardOpen = false;
        Record("AT45D_CloseCard", 0);
        return 0;
    });
}

#ifndef WQN_MCS_SIM_WITHOUT_LED
WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL MCS_LED(std::int32_t state)
{
    return Guard([&]() -> std::int16_t {
        Record("MCS_LED " + std::to_string(state), 0);
        return 0;
    });
}
#endif

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL AT45D_BundleReadChar(std::int32_t address, std::int32_t length,
                                                                 std::uint8_t *buffer)
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        const std::int16_t r = s.cardOpen && s.card.Read(address, length, buffer) ? 0 : kFailed;
        Record("AT45D_BundleReadChar " + std::to_string(address) + " " + std::to_string(length), r);
        return r;
    });
}

WQN_SIM_EXPORT std::int16_t WQN_VENDOR_CALL AT45D_BundleWriteChar(std::int32_t address, std::int32_t length,
                                                                  const std::uint8_t *buffer)
{
    return Guard([&]() -> std::int16_t {
        State &s = Sim();
        const std::int16_t r = s.cardOpen && s.card.Write(address, length, buffer) ? 0 : kFailed;
        Record("AT45D_BundleWriteChar " + std::to_string(address) + " " + std::to_string(length) + " " +
                   (buffer != nullptr ? Hex(buffer, length) : std::string("null")),
               r);
        return r;
    });
}

// The Windows USB transport (kelvara/platform/win32/UsbTransport.cpp) run for
// real under Wine, against the USB reader stand-in behind its system calls:
// the Setup API walk and the open, the five request codes with their
// buffers and sizes, the recovery request after a failure, closing.
#include "kelvara/readers/usb/UsbChannel.h"
#include "tests/remote/win32/UsbDeviceStandIn.h"

#include "kelvara/platform/win32/UsbDeviceApi.h"

#include <gtest/gtest.h>

#include <deque>

namespace kelvara {
namespace {

using wqn::host::usb::StandIn;
using Lines = std::vector<std::string>;

// A reader that answers from a script.
class ScriptedDevice final : public wqn::host::usb::Device {
public:
    struct Answer {
        DWORD error = 0;
        std::vector<std::uint8_t> reply;
        DWORD moved = 0;
    };

    int plugged = 1;
    DWORD openError = 0;
    int closes = 0;
    std::deque<Answer> answers; // one per request; success moving all bytes when empty
    std::vector<std::pair<DWORD, std::vector<std::uint8_t>>> requests;

    int Plugged() override { return plugged; }
    DWORD Open() override { return openError; }
    void Close() override { ++closes; }
    DWORD Request(DWORD code, const std::uint8_t *in, DWORD size, std::uint8_t *out, DWORD *moved) override
    {
        requests.emplace_back(code, std::vector<std::uint8_t>(in, in + size));
        if (answers.empty()) {
            *moved = size;
            return 0;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        std::copy(answer.reply.begin(), answer.reply.end(), out);
        *moved = answer.moved;
        return answer.error;
    }
};

class UsbTransportWin32 : public ::testing::Test {
protected:
    ScriptedDevice device;
    StandIn standIn{device};
};

TEST_F(UsbTransportWin32, WithoutAReaderOpenGivesTheEnumerationsError)
{
    device.plugged = 0;
    UsbChannel channel;
    EXPECT_EQ(channel.Open(), usb_error::kNoMoreItems);
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(standIn.Calls(), (Lines{"list", "enum 0", "destroy"}));
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, OpensInterfaceMemberZeroOnlyAndReleasesTheList)
{
    device.plugged = 2;
    UsbChannel channel;
    EXPECT_EQ(channel.Open(), 0u);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ(standIn.Calls(), (Lines{"list", "enum 0", "detail size", "detail", "open", "destroy"}));
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, AReaderThatCannotBeOpenedGivesTheSystemsError)
{
    device.openError = ERROR_ACCESS_DENIED;
    UsbChannel channel;
    EXPECT_EQ(channel.Open(), std::uint32_t(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(standIn.Calls().back(), "destroy");
    channel.Close(); // nothing to close
    EXPECT_EQ(device.closes, 0);
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, EachTransferUsesItsRequestWithEqualBuffersAndSizes)
{
    UsbChannel channel;
    ASSERT_EQ(channel.Open(), 0u);
    standIn.Clear();
    const std::uint8_t frame[12] = {'S', 'T', 'A', 'T', 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x61, 0x15};
    std::uint8_t reply[64] = {};
    device.answers.push_back({0, {0x53, 0x54, 0x41, 0x54, 0x50, 0x8C, 0x42}, 7});
    EXPECT_EQ(channel.Send(12, frame, reply), 0u);
    EXPECT_EQ(channel.Receive(7, frame, reply), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply, reply + 7),
              (std::vector<std::uint8_t>{0x53, 0x54, 0x41, 0x54, 0x50, 0x8C, 0x42}));
    EXPECT_EQ(channel.SendLegacy(12, frame, reply), 0u);
    EXPECT_EQ(channel.ReceiveLegacy(64, frame, reply), 0u);
    EXPECT_EQ(standIn.Calls(),
              (Lines{"request 0x22200C 12", "request 0x222008 7", "request 0x222004 12", "request 0x222000 64"}));
    ASSERT_EQ(device.requests.size(), 4u);
    EXPECT_EQ(device.requests[0].second, std::vector<std::uint8_t>(frame, frame + 12));
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, AFailedRequestIsFollowedByOneRecoveryWithItsBuffers)
{
    UsbChannel channel;
    ASSERT_EQ(channel.Open(), 0u);
    standIn.Clear();
    const std::uint8_t frame[12] = {};
    std::uint8_t reply[12] = {};
    device.answers.push_back({ERROR_GEN_FAILURE, {}, 0});
    EXPECT_EQ(channel.Send(12, frame, reply), std::uint32_t(ERROR_GEN_FAILURE));
    device.answers.push_back({ERROR_SEM_TIMEOUT, {}, 0});
    device.answers.push_back({ERROR_GEN_FAILURE, {}, 0}); // the recovery's own failure is ignored
    EXPECT_EQ(channel.Receive(7, frame, reply), std::uint32_t(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(channel.Receive(7, frame, reply), 0u);
    EXPECT_EQ(standIn.Calls(),
              (Lines{"request 0x22200C 12", "recover 12", "request 0x222008 7", "recover 7", "request 0x222008 7"}));
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, ALegacyRequestThatMovesNothingGives111AStandardOneSucceeds)
{
    UsbChannel channel;
    ASSERT_EQ(channel.Open(), 0u);
    const std::uint8_t frame[12] = {};
    std::uint8_t reply[12] = {};
    device.answers.push_back({0, {}, 0});
    EXPECT_EQ(channel.ReceiveLegacy(7, frame, reply), usb_error::kBufferOverflow);
    device.answers.push_back({0, {}, 0});
    EXPECT_EQ(channel.SendLegacy(12, frame, reply), usb_error::kBufferOverflow);
    device.answers.push_back({0, {}, 0});
    EXPECT_EQ(channel.Receive(7, frame, reply), 0u);
    device.answers.push_back({0, {}, 0});
    EXPECT_EQ(channel.Send(12, frame, reply), 0u);
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, ARequestOnAClosedChannelFailsAsAnInvalidHandleAndStillRecovers)
{
    UsbChannel channel;
    const std::uint8_t frame[12] = {};
    std::uint8_t reply[12] = {};
    EXPECT_EQ(channel.Send(12, frame, reply), usb_error::kInvalidHandle);
    EXPECT_EQ(standIn.Calls(), (Lines{"request 0x22200C 12", "recover 12"}));
    EXPECT_TRUE(device.requests.empty());
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

TEST_F(UsbTransportWin32, CloseClosesTheReaderOnceAndOpenAgainWorks)
{
    UsbChannel channel;
    ASSERT_EQ(channel.Open(), 0u);
    channel.Close();
    channel.Close();
    EXPECT_EQ(device.closes, 1);
    EXPECT_FALSE(channel.IsOpen());
    EXPECT_EQ(channel.Open(), 0u);
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_EQ(standIn.Breaches(), Lines{});
}

// The stand-in itself: what it reports when the rules are broken.
TEST_F(UsbTransportWin32, StandInReportsRequestsThatBreakTheDriversRules)
{
    UsbChannel channel;
    ASSERT_EQ(channel.Open(), 0u);
    const UsbDeviceApi &os = CurrentUsbDeviceApi();
    // The calls as the transport makes them, through the table, but wrongly.
    HANDLE device =
        os.createFile(StandIn::DevicePath(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(standIn.Breaches(), Lines{}) << "an open while open";
    standIn.Clear();
    std::uint8_t in[12] = {}, out[12] = {};
    DWORD moved = 0;
    os.deviceIoControl(device, 0x222014, in, 12, out, 8, &moved, nullptr);
    EXPECT_EQ(standIn.Breaches().size(), 2u) << "an unknown code and unequal sizes";
    standIn.Clear();
    this->device.answers.push_back({ERROR_GEN_FAILURE, {}, 0});
    os.deviceIoControl(device, usb_request::kSend, in, 12, out, 12, &moved, nullptr);
    os.deviceIoControl(device, usb_request::kSend, in, 12, out, 12, &moved, nullptr);
    EXPECT_EQ(standIn.Breaches().size(), 1u) << "no recovery after a failure";
}

} // namespace
} // namespace kelvara

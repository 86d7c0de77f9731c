// The four transfers of the USB channel; each OS's transport carries them.
#include "kelvara/readers/usb/UsbChannel.h"

#include "kelvara/readers/protocol/FrameTrace.h"

namespace kelvara {

std::uint32_t UsbChannel::SendLegacy(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply)
{
    return trace::UsbTransfer(usb_request::kSendLegacy, length, frame, reply,
                              Transfer(usb_request::kSendLegacy, length, frame, reply));
}

std::uint32_t UsbChannel::ReceiveLegacy(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply)
{
    return trace::UsbTransfer(usb_request::kReceiveLegacy, length, frame, reply,
                              Transfer(usb_request::kReceiveLegacy, length, frame, reply));
}

std::uint32_t UsbChannel::Send(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply)
{
    return trace::UsbTransfer(usb_request::kSend, length, frame, reply,
                              Transfer(usb_request::kSend, length, frame, reply));
}

std::uint32_t UsbChannel::Receive(std::uint32_t length, const std::uint8_t *frame, std::uint8_t *reply)
{
    return trace::UsbTransfer(usb_request::kReceive, length, frame, reply,
                              Transfer(usb_request::kReceive, length, frame, reply));
}

} // namespace kelvara

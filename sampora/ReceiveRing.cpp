// Frame recognition over the receive ring.
//
// The parser looks for the start mark, then assembles the frame byte by byte
// while keeping a running exclusive-or. A frame is complete when its end mark
// sits exactly at offset L + 3 and the exclusive-or over all bytes up to and
// including the check byte is zero. A start mark whose frame never completes
// holds parsing up until more than 69 bytes have followed its length byte;
// then it is given up and the search resumes at the length byte.
#include "sampora/ReceiveRing.h"

#include "sampora/Frame.h"

#include <algorithm>

namespace sampora {

std::size_t ReceiveRing::Append(const std::uint8_t *bytes, std::size_t count)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (Next(tail_) == head_)
            continue; // full: the byte is lost
        ring_[tail_] = bytes[i];
        tail_ = Next(tail_);
        ++kept;
    }
    return kept;
}

bool ReceiveRing::Parse(Reply &reply)
{
    for (;;) {
        while (head_ != tail_ && ring_[head_] != kStartMark)
            head_ = Next(head_);
        if (head_ == tail_)
            return false;

        const std::size_t lengthPos = Next(head_);
        if (lengthPos == tail_)
            return false; // only the start mark so far
        const std::size_t first = Next(lengthPos);
        if (first == tail_)
            return false; // the length byte but nothing after it

        const unsigned length = ring_[lengthPos];
        frame_[0] = kStartMark;
        frame_[1] = static_cast<std::uint8_t>(length);
        std::uint8_t x = kStartMark;
        std::size_t p = 2;
        std::size_t count = 0;
        std::size_t before = lengthPos;
        bool complete = false;
        for (scan_ = first; scan_ != tail_; before = scan_, scan_ = Next(scan_)) {
            const std::uint8_t b = ring_[scan_];
            x ^= ring_[before];
            ++count;
            frame_[p] = b;
            ++p;
            if (p == length + 4 && x == 0 && b == kEndMark) {
                complete = true;
                break;
            }
            p %= kFrameLimit;
            // Give the start mark up as soon as more than 69 bytes followed its
            // length byte. Waiting for the ring to run dry instead would let the
            // wrapped frame position meet L + 4 a second time and "complete" a
            // frame whose front bytes have been overwritten.
            if (count > kFrameLimit) {
                head_ = lengthPos;
                return false;
            }
        }
        if (!complete)
            return false; // keep the start mark; wait for more bytes

        head_ = scan_; // the end mark
        if (length == 0) {
            // A frame without payload carries no status: skip it and search on.
            continue;
        }
        reply.status = frame_[2];
        reply.length = length - 1;
        std::copy_n(frame_.begin() + 3, reply.length, reply.data.begin());
        std::fill(reply.data.begin() + static_cast<std::ptrdiff_t>(reply.length), reply.data.end(), 0);
        return true;
    }
}

} // namespace sampora

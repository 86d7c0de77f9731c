// Fuzz target: Sampora's receive ring and frame parser, fed the fuzzer's
// bytes in chunks the fuzzer chooses (a length byte, then that many bytes),
// the parser run after every chunk until it finds nothing more.
//
// Properties: the ring never holds more than its capacity and keeps exactly
// the bytes that fit; every reply it gives is a whole frame (start mark,
// length, status and data, exclusive-or, end mark) that the kept bytes hold,
// later than the reply before it, so no frame is invented or given twice.
#include "fuzz/FuzzInput.h"
#include "sampora/Frame.h"
#include "sampora/ReceiveRing.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::Input in(data, size);
    sampora::ReceiveRing ring;
    std::string kept; // every byte the ring took, in order
    std::size_t searchFrom = 0; // replies come from here on
    while (!in.Empty()) {
        const std::string_view chunk = in.Bytes(in.Byte());
        const std::size_t room = sampora::ReceiveRing::kCapacity - ring.Size();
        const std::size_t took = ring.Append(reinterpret_cast<const std::uint8_t *>(chunk.data()), chunk.size());
        FUZZ_CHECK(took == std::min(room, chunk.size()));
        FUZZ_CHECK(ring.Size() <= sampora::ReceiveRing::kCapacity);
        kept.append(chunk.substr(0, took));

        for (int round = 0; round < 400; ++round) {
            sampora::Reply reply;
            if (!ring.Parse(reply))
                break;
            FUZZ_CHECK(reply.length <= reply.data.size());
            FUZZ_CHECK(reply.status >= 0 && reply.status <= 255);
            std::vector<std::uint8_t> payload{std::uint8_t(reply.status)};
            payload.insert(payload.end(), reply.data.begin(), reply.data.begin() + long(reply.length));
            const std::vector<std::uint8_t> frame = sampora::BuildFrame(payload.data(), payload.size());
            const std::size_t at = kept.find(std::string(frame.begin(), frame.end()), searchFrom);
            FUZZ_CHECK(at != std::string::npos);
            searchFrom = at + frame.size() - 1; // the end mark stays for the next search
            for (std::size_t i = reply.length; i < reply.data.size(); ++i)
                FUZZ_CHECK(reply.data[i] == 0);
        }
        FUZZ_CHECK(ring.Size() <= sampora::ReceiveRing::kCapacity);
    }
    return 0;
}

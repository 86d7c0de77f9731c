// A USB reader simulator serving in-process on its own thread behind a
// socket in a scratch directory, with WQN_USB_READER and the settings file
// pointed there for the test's duration, and a summary of the requests the
// simulator saw.
#pragma once

#include "kelvara/card/PageCrc.h"
#include "sim/card/FlashCard.h"
#include "sim/usb/UsbReaderSim.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kelvara::testing {

class UsbSimFixture : public ::testing::Test {
protected:
    UsbSimFixture()
    {
        SetEnv("KELVARA_SETTINGS", (dir_ / "settings.ini").string());
        SetEnv("WQN_USB_READER", Socket());
        // Page 2047 as a formatted card has it: not blank.
        wqn::sim::FlashCard card(Image());
        std::vector<std::uint8_t> page(264, 0x11);
        card.SetPage(2047, page.data());
    }
    // Sets a variable for the rest of the test; the value it had before the
    // test comes back at the end.
    void SetEnv(const std::string &name, const std::string &value)
    {
        const auto [it, added] = savedEnv_.try_emplace(name, name, value);
        if (!added)
            it->second.Set(value);
    }

    std::string Socket() const { return (dir_ / "reader.sock").string(); }
    std::string Image() const { return (dir_ / "card.img").string(); }

    // Starts the simulator over the card image with `options` (socket and
    // image filled in).
    wqn::sim::UsbReaderSim &StartSim(wqn::sim::UsbSimOptions options = {})
    {
        options.socketPath = Socket();
        options.imagePath = Image();
        sim_ = std::make_unique<wqn::sim::UsbReaderSim>(options);
        std::string error;
        EXPECT_TRUE(sim_->Open(&error)) << error;
        sim_->Start();
        return *sim_;
    }
    void StopSim() { sim_.reset(); }

    // The requests seen, one word each: "open", "close", or
    // "<REQUEST> <length>[ <mnemonic>]" (mnemonic for 12-byte sends),
    // suffixed " !" when the request failed or went unanswered.
    std::vector<std::string> Requests() const
    {
        std::vector<std::string> out;
        for (const std::string &line : sim_->Log()) {
            std::istringstream in(line);
            std::string usb, name, length, word;
            in >> usb >> name;
            if (name == "open" || name == "close") {
                out.push_back(name);
                continue;
            }
            in >> length;
            std::string summary = name + " " + length;
            in >> word;
            if (word != "->") {
                if (length == "12" && word.size() >= 8) {
                    std::string mnemonic;
                    for (int i = 0; i < 4; ++i)
                        mnemonic += char(std::stoi(word.substr(std::size_t(i) * 2, 2), nullptr, 16));
                    summary += " " + mnemonic;
                }
                in >> word; // "->"
            }
            std::string status;
            in >> status;
            if (status != "0")
                summary += " !";
            out.push_back(summary);
        }
        return out;
    }

    static std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed)
    {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = std::uint8_t(i * 7 + seed);
        return bytes;
    }

private:
    ScratchDirectory scratch_{"kelvara-usb"};
    const std::filesystem::path dir_ = scratch_.path();
    std::map<std::string, ScopedEnv> savedEnv_;
    std::unique_ptr<wqn::sim::UsbReaderSim> sim_; // stops before the rest goes
};

} // namespace kelvara::testing

// The reader-settings dialog's model against the settings file: what it
// shows at start, the close-up rule, what OK stores and in which order,
// Cancel, and the caller's handler taking the window's place.
#include "kelvara/ui/ReaderSettingsDialog.h"
#include "kelvara/services/MessageBox.h"
#include "tests/ui/SettingsFileTest.h"

#include "kelvara.h"

#include <functional>

namespace kelvara {
namespace {

using ui_test::SettingsFileTest;
using namespace settings_list;

class ReaderSettings : public SettingsFileTest {};

TEST_F(ReaderSettings, WithoutStoredSettingsShowsMcsC115200AndCom1WithBothListsEnabled)
{
    ReaderSettingsDialog dialog;
    EXPECT_EQ(dialog.Mode(), -1);
    dialog.InitDialog();
    EXPECT_EQ(dialog.Mode(), 0);
    EXPECT_STREQ(dialog.Items(kReader)[std::size_t(dialog.Selection(kReader))], "MCS-C");
    EXPECT_STREQ(dialog.Items(kSpeed)[std::size_t(dialog.Selection(kSpeed))], "115200");
    EXPECT_STREQ(dialog.Items(kPort)[std::size_t(dialog.Selection(kPort))], "COM1");
    EXPECT_TRUE(dialog.Enabled(kSpeed));
    EXPECT_TRUE(dialog.Enabled(kPort));
    EXPECT_FALSE(std::filesystem::exists(settings)); // reading stores nothing
}

TEST_F(ReaderSettings, StoredUsbReaderDisablesBothListsAndOkStillStoresTheirSelections)
{
    WriteSettings("[Settings]\nPortMode=3\nBaudRateIndex=2\nComPortID=4\n");
    ReaderSettingsDialog dialog;
    dialog.InitDialog();
    EXPECT_STREQ(dialog.Items(kReader)[std::size_t(dialog.Selection(kReader))], "USB_V626");
    EXPECT_FALSE(dialog.Enabled(kSpeed));
    EXPECT_FALSE(dialog.Enabled(kPort));
    EXPECT_TRUE(dialog.Enabled(kReader));
    EXPECT_EQ(dialog.Selection(kSpeed), 2);
    EXPECT_EQ(dialog.Selection(kPort), 4);
    dialog.Ok();
    EXPECT_EQ(SettingsText(), "[Settings]\nPortMode=3\nBaudRateIndex=2\nComPortID=4\nBaudRateMax=2\n");
}

TEST_F(ReaderSettings, OkStoresSpeedTwiceThenReaderThenPortInThatOrder)
{
    ReaderSettingsDialog dialog;
    dialog.InitDialog();
    dialog.Select(kReader, 2);
    dialog.Select(kSpeed, 3);
    dialog.Select(kPort, 5);
    dialog.Ok();
    // A new settings file lists the values in the order they were written.
    EXPECT_EQ(SettingsText(), "[Settings]\nBaudRateMax=3\nBaudRateIndex=3\nPortMode=2\nComPortID=5\n");
}

TEST_F(ReaderSettings, AListWithoutSelectionStoresMinusOne)
{
    WriteSettings("[Settings]\nPortMode=7\nBaudRateIndex=9\nComPortID=-2\n");
    ReaderSettingsDialog dialog;
    dialog.InitDialog();
    EXPECT_EQ(dialog.Mode(), 7);
    EXPECT_EQ(dialog.Selection(kReader), -1); // outside the list: nothing selected
    EXPECT_EQ(dialog.Selection(kSpeed), -1);
    EXPECT_EQ(dialog.Selection(kPort), -1);
    EXPECT_TRUE(dialog.Enabled(kSpeed));
    dialog.Ok();
    EXPECT_EQ(SettingsText(), "[Settings]\nPortMode=-1\nBaudRateIndex=-1\nComPortID=-1\nBaudRateMax=-1\n");
}

TEST_F(ReaderSettings, EnabledStatesFollowTheReaderOnlyWhenItsListClosesUp)
{
    ReaderSettingsDialog dialog;
    dialog.InitDialog();
    dialog.Select(kReader, 3); // arrow keys on the closed list
    EXPECT_TRUE(dialog.Enabled(kSpeed));
    dialog.ReaderListClosedUp();
    EXPECT_FALSE(dialog.Enabled(kSpeed));
    EXPECT_FALSE(dialog.Enabled(kPort));
    dialog.Select(kReader, -1); // no selection: the close-up changes nothing
    dialog.ReaderListClosedUp();
    EXPECT_FALSE(dialog.Enabled(kSpeed));
    dialog.Select(kReader, 1);
    dialog.ReaderListClosedUp();
    EXPECT_TRUE(dialog.Enabled(kSpeed));
    EXPECT_TRUE(dialog.Enabled(kPort));
    dialog.Select(kReader, 4); // outside the list
    EXPECT_EQ(dialog.Selection(kReader), -1);
}

TEST_F(ReaderSettings, CancelAfterChangesStoresNothing)
{
    const std::string before = "[Settings]\nPortMode=1\nComPortName=com2\n";
    WriteSettings(before);
    ReaderSettingsDialog dialog;
    dialog.InitDialog();
    dialog.Select(kReader, 3);
    dialog.ReaderListClosedUp();
    dialog.Select(kSpeed, 0);
    dialog.Cancel();
    EXPECT_EQ(SettingsText(), before);
}

// --- the caller's handler in the window's place ---------------------------

class SettingsHandler : public ReaderSettings {
protected:
    ~SettingsHandler() override { SetSettingsDialogHandler(nullptr, nullptr); }

    void Use(std::function<int(KelvaraSettingsDialog *)> body)
    {
        body_ = std::move(body);
        SetSettingsDialogHandler(
            [](void *ctx, KelvaraSettingsDialog *dialog) { return static_cast<SettingsHandler *>(ctx)->body_(dialog); },
            this);
    }

private:
    std::function<int(KelvaraSettingsDialog *)> body_;
};

TEST_F(SettingsHandler, WithoutAHandlerLinuxShowsNothingAndStoresNothing)
{
    RunReaderSettingsDialog(nullptr);
    EXPECT_FALSE(std::filesystem::exists(settings));
}

TEST_F(SettingsHandler, HandlerSeesTheListsAndSelectionsAndItsOkIsStored)
{
    WriteSettings("[Settings]\nPortMode=1\nBaudRateIndex=4\nComPortID=1\n");
    int calls = 0;
    Use([&](KelvaraSettingsDialog *d) {
        ++calls;
        EXPECT_EQ(d->reader, 1);
        EXPECT_EQ(d->speed, 4);
        EXPECT_EQ(d->port, 1);
        EXPECT_EQ(d->listsEnabled, 1);
        EXPECT_EQ(d->readerCount, 4);
        EXPECT_STREQ(d->readerItems[3], "USB_V626");
        EXPECT_EQ(d->speedCount, 7);
        EXPECT_STREQ(d->speedItems[0], "4800");
        EXPECT_EQ(d->portCount, 6);
        EXPECT_STREQ(d->portItems[5], "COM6");
        d->reader = 3; // changing the reader alone changes no enabled state
        EXPECT_EQ(d->listsEnabled, 1);
        d->readerListClosedUp(d);
        EXPECT_EQ(d->listsEnabled, 0);
        d->speed = 6;
        d->port = 99; // outside the list: none
        return 1;
    });
    RunReaderSettingsDialog(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(SettingsText(), "[Settings]\nPortMode=3\nBaudRateIndex=6\nComPortID=-1\nBaudRateMax=6\n");
}

TEST_F(SettingsHandler, HandlerCancelStoresNothing)
{
    Use([](KelvaraSettingsDialog *d) {
        d->reader = 2;
        return mb::kIdCancel;
    });
    RunReaderSettingsDialog(nullptr);
    EXPECT_FALSE(std::filesystem::exists(settings));
}

} // namespace
} // namespace kelvara

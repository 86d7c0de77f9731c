// The user of the Java tests, as a small library the test JVM loads with
// System.load (it has no Java methods): on loading it installs handlers for
// the message boxes, both notices and the settings dialog of the Kelvara
// library in the same JVM. Each writes a line to the file named by
// KELVARA_TEST_LOG ("box TEXT", "notice OP TEXT", "progress OP TEXT",
// "settings READER SPEED PORT LISTS_ENABLED"; line breaks in texts as \r \n).
// Boxes with a choice are answered by the word in the file named by
// KELVARA_TEST_ANSWER ("ok", "retry" or "cancel", read at each box; missing:
// cancel); OK-only boxes with OK; the settings dialog with Cancel.
#include "kelvara.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void Log(const std::string &line)
{
    const char *path = std::getenv("KELVARA_TEST_LOG");
    if (path == nullptr)
        return;
    std::string escaped;
    for (char c : line) {
        if (c == '\r')
            escaped += "\\r";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    std::ofstream(path, std::ios::app | std::ios::binary) << escaped << '\n';
}

std::string Answer()
{
    const char *path = std::getenv("KELVARA_TEST_ANSWER");
    std::string word;
    if (path != nullptr)
        std::ifstream(path) >> word;
    return word;
}

int OnBox(void *, const char *text, const char *, unsigned type)
{
    Log(std::string("box ") + text);
    const unsigned buttons = type & 0xF;
    if (buttons == 0x0)
        return 1;
    const std::string answer = Answer();
    if (answer == "ok" && buttons == 0x1)
        return 1;
    if (answer == "retry" && buttons == 0x5)
        return 4;
    return 2;
}

void OnNotice(void *, int op, const char *text) { Log("notice " + std::to_string(op) + " " + text); }
void OnProgress(void *, int op, const char *text) { Log("progress " + std::to_string(op) + " " + text); }

int OnSettings(void *, KelvaraSettingsDialog *dialog)
{
    Log("settings " + std::to_string(dialog->reader) + " " + std::to_string(dialog->speed) + " " +
        std::to_string(dialog->port) + " " + std::to_string(dialog->listsEnabled));
    return 2;
}

__attribute__((constructor)) void Install()
{
    KelvaraSetMessageBoxHandler(&OnBox, nullptr);
    KelvaraSetNoticeHandler(&OnNotice, nullptr);
    KelvaraSetProgressNoticeHandler(&OnProgress, nullptr);
    KelvaraSetSettingsDialogHandler(&OnSettings, nullptr);
}

} // namespace

// The Windows reader-settings dialog: a modal dialog from template 138. Its
// list items come from the template's initialisation data, applied when the
// dialog starts (the framework that used to do this is not there); the
// selections and enabled states come from the model, and the model hears of
// every change the user makes.
#include "kelvara/ui/SettingsDialogView.h"

#include "common/win32/WindowsHeaders.h"
#include "kelvara/platform/win32/LibraryModule.h"
#include "kelvara/ui/DialogInit.h"
#include "kelvara/ui/DialogResources.h"

namespace kelvara {
namespace {

constexpr int kListControls[settings_list::kCount] = {KELVARA_IDC_READER_LIST, KELVARA_IDC_SPEED_LIST,
                                                      KELVARA_IDC_PORT_LIST};
constexpr int kWin16ListAddString = 0x0401;

int ListOf(int control)
{
    for (int list = 0; list < settings_list::kCount; ++list) {
        if (kListControls[list] == control)
            return list;
    }
    return -1;
}

void ApplyDialogInit(HWND dialog, int templateId)
{
    const HMODULE module = LibraryModule();
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(templateId), MAKEINTRESOURCEW(KELVARA_RT_DLGINIT));
    if (resource == nullptr)
        return;
    HGLOBAL loaded = ::LoadResource(module, resource);
    const void *bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return;
    const std::span<const std::uint8_t> data(static_cast<const std::uint8_t *>(bytes),
                                             ::SizeofResource(module, resource));
    for (const DialogInitEntry &entry : ParseDialogInit(data)) {
        if (entry.message == KELVARA_DLGINIT_ADD_COMBO_ITEM || entry.message == CB_ADDSTRING)
            ::SendDlgItemMessageA(dialog, entry.control, CB_ADDSTRING, 0, LPARAM(entry.text.c_str()));
        else if (entry.message == kWin16ListAddString || entry.message == LB_ADDSTRING)
            ::SendDlgItemMessageA(dialog, entry.control, LB_ADDSTRING, 0, LPARAM(entry.text.c_str()));
    }
}

int ControlSelection(HWND dialog, int list)
{
    const LRESULT selection = ::SendDlgItemMessageW(dialog, kListControls[list], CB_GETCURSEL, 0, 0);
    return selection == CB_ERR ? -1 : int(selection);
}

void ShowEnabled(HWND dialog, const SettingsDialogModel &model)
{
    for (int list = 0; list < settings_list::kCount; ++list)
        ::EnableWindow(::GetDlgItem(dialog, kListControls[list]), model.Enabled(list) ? TRUE : FALSE);
}

void ShowModel(HWND dialog, const SettingsDialogModel &model)
{
    // -1 clears a list's selection.
    for (int list = 0; list < settings_list::kCount; ++list)
        ::SendDlgItemMessageW(dialog, kListControls[list], CB_SETCURSEL, WPARAM(model.Selection(list)), 0);
    ShowEnabled(dialog, model);
}

void TakeSelections(HWND dialog, SettingsDialogModel &model)
{
    for (int list = 0; list < settings_list::kCount; ++list)
        model.Select(list, ControlSelection(dialog, list));
}

INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto &model = *reinterpret_cast<SettingsDialogModel *>(lParam);
        ApplyDialogInit(dialog, KELVARA_IDD_READER_SETTINGS);
        model.InitDialog();
        ShowModel(dialog, model);
        return TRUE; // the default focus
    }
    auto *model = reinterpret_cast<SettingsDialogModel *>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (message != WM_COMMAND || model == nullptr)
        return FALSE;
    const int control = LOWORD(wParam);
    const int code = HIWORD(wParam);
    const int list = ListOf(control);
    if (list == settings_list::kReader && code == CBN_CLOSEUP) {
        model->Select(list, ControlSelection(dialog, list));
        model->ReaderListClosedUp();
        ShowEnabled(dialog, *model);
        return TRUE;
    }
    if (list >= 0 && code == CBN_SELCHANGE) {
        // The arrow keys move the reader list's selection while it is
        // closed; the other lists follow only when its drop-down closes.
        model->Select(list, ControlSelection(dialog, list));
        return TRUE;
    }
    if (control == IDOK && code == BN_CLICKED) {
        TakeSelections(dialog, *model);
        model->Ok();
        ::EndDialog(dialog, IDOK);
        return TRUE;
    }
    if (control == IDCANCEL) {
        model->Cancel();
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind through the window manager's frames.
    try {
        return Handle(dialog, message, wParam, lParam);
    } catch (...) {
        return FALSE;
    }
}

} // namespace

int RunPlatformSettingsDialog(SettingsDialogModel &model, WindowHandle parent)
{
    const INT_PTR result = ::DialogBoxParamW(LibraryModule(), MAKEINTRESOURCEW(KELVARA_IDD_READER_SETTINGS),
                                             static_cast<HWND>(parent), &SettingsProc, LPARAM(&model));
    return result == IDOK || result == IDCANCEL ? int(result) : 0;
}

} // namespace kelvara

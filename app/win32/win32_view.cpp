// What the controller asks the main window to show, drawn into its controls, and the dialogs it
// opens.
#include "app/win32/win32_face.h"
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <climits>

#include "app/win32/resource_ids.h"
#include "core/platform/text_path.h"
#include "core/platform/wide_text.h"

namespace lumaflash::app {

namespace {

// The window's texts are UTF-8; the controls take UTF-16.
std::wstring Wide(std::string_view text) {
  return platform::WideFromUtf8(text);
}

int ToInt(uint32_t value) {
  return static_cast<int>(std::min<uint32_t>(value, INT_MAX));
}

// GetOpenFileNameW as the Firmware-Update command asks for it.
std::optional<std::string> ChooseFileWithDialog(HWND owner, const FileRequest& request) {
  std::wstring filter = Wide(request.filter);
  filter.push_back(L'\0');
  filter += Wide(request.pattern);
  filter.push_back(L'\0');
  const std::wstring extension = Wide(request.defaultExtension);
  std::vector<wchar_t> file(32768, L'\0');  // the longest path Windows takes
  const std::wstring initial = Wide(request.initialName);
  std::copy_n(initial.begin(), std::min(initial.size(), file.size() - 1), file.begin());

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrDefExt = extension.c_str();
  dialog.Flags =
      OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_ENABLESIZING;
  if (!GetOpenFileNameW(&dialog)) {
    return std::nullopt;
  }
  return platform::Utf8FromWide(file.data());
}

INT_PTR CALLBACK AboutProc(HWND about, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(about, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

void Win32Window::ShowRows(const std::vector<ListRow>& rows, int selected) {
  m_rows = rows;
  HWND list = Control(IDC_INTERFACE_LIST);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::array<std::wstring, 3> texts{Wide(rows[i].device), Wide(rows[i].version),
                                            Wide(rows[i].serial)};
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    for (std::size_t column = 0; column < texts.size(); ++column) {
      std::wstring text = texts[column];
      item.iSubItem = static_cast<int>(column);
      item.pszText = text.data();
      SendMessageW(list, column == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW, i,
                   reinterpret_cast<LPARAM>(&item));
    }
  }
  if (selected >= 0) {
    ListView_SetItemState(list, selected, LVIS_SELECTED | LVIS_FOCUSED,
                          LVIS_SELECTED | LVIS_FOCUSED);
  }
}

std::vector<int> Win32Window::SelectedRows() const {
  std::vector<int> rows;
  HWND list = Control(IDC_INTERFACE_LIST);
  for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list, row, LVNI_SELECTED)) {
    rows.push_back(row);
  }
  return rows;
}

void Win32Window::ShowStatus(const std::vector<std::string>& lines) {
  HWND log = Control(IDC_STATUS_LOG);
  SendMessageW(log, LB_RESETCONTENT, 0, 0);
  for (const std::string& line : lines) {
    const std::wstring text = Wide(line);
    SendMessageW(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  if (!lines.empty()) {
    SendMessageW(log, LB_SETTOPINDEX, lines.size() - 1, 0);
  }
}

void Win32Window::ShowProgress(uint32_t upper, uint32_t position) {
  HWND bar = Control(IDC_PROGRESS);
  SendMessageW(bar, PBM_SETRANGE32, 0, ToInt(upper));
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(ToInt(position)), 0);
}

void Win32Window::ShowWaitCursor(bool waiting) {
  m_waiting = waiting;
  SetCursor(LoadCursorW(nullptr, waiting ? IDC_WAIT : IDC_ARROW));
}

void Win32Window::ShowUseLast(bool enabled, bool ticked) {
  EnableWindow(Control(IDC_USE_LAST_AGAIN), enabled ? TRUE : FALSE);
  CheckDlgButton(m_dialog, IDC_USE_LAST_AGAIN, ticked ? BST_CHECKED : BST_UNCHECKED);
}

// A disabled dialog keeps painting and takes neither keys nor clicks; the control that had the
// focus gets it back afterwards.
void Win32Window::EnableInput(bool enabled) {
  if (enabled == m_inputEnabled) {
    return;
  }
  m_inputEnabled = enabled;
  if (!enabled) {
    m_focusBeforeHold = GetFocus();
  }
  EnableWindow(m_dialog, enabled ? TRUE : FALSE);
  if (enabled && m_focusBeforeHold != nullptr && IsWindow(m_focusBeforeHold)) {
    SetFocus(m_focusBeforeHold);
  }
}

void Win32Window::StartTimer(int id, std::chrono::milliseconds interval) {
  SetTimer(m_dialog, static_cast<UINT_PTR>(id), static_cast<UINT>(interval.count()), nullptr);
}

void Win32Window::StopTimer(int id) {
  KillTimer(m_dialog, static_cast<UINT_PTR>(id));
}

// The loop ends; Run() then stops the controller and destroys the window.
void Win32Window::CloseWindow() {
  m_ended = true;
  PostMessageW(m_dialog, WM_NULL, 0, 0);  // wakes GetMessageW
}

void Win32Window::ShowMessage(const std::string& text) {
  MessageBoxW(m_dialog, Wide(text).c_str(), L"Lumaflash", MB_OK);
}

void Win32Window::ShowAbout() {
  DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_dialog, AboutProc, 0);
}

std::optional<std::string> Win32Window::ChooseFile(const FileRequest& request) {
  return m_seams.chooseFile ? m_seams.chooseFile(request) : ChooseFileWithDialog(m_dialog, request);
}

// Called from the worker: PostMessageW never waits for the dialog's thread.
void Win32Window::PostToFace() {
  PostMessageW(m_dialog, kDeliverPosted, 0, 0);
}

}  // namespace lumaflash::app

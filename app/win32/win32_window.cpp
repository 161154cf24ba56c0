#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "app/win32/win32_window.h"
#include "core/platform/alert_tone.h"
#include "core/platform/text_path.h"
#include "app/win32/resource_ids.h"

namespace lumaflash::app {

namespace {

// The worker's results wait in the controller; this message tells the dialog's thread to take
// them.
constexpr UINT kDeliverPosted = WM_APP + 1;

// The window's texts are UTF-8; the controls take UTF-16.
std::wstring Wide(std::string_view text) {
  return platform::PathFromUtf8(text).native();
}

std::string Utf8(std::wstring_view wide) {
  if (wide.empty()) {
    return {};
  }
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
  return text;
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
  return Utf8(file.data());
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

// The face: draws what the controller says, forwards what the operator does.
class Win32Face final : public WindowView {
 public:
  Win32Face(WindowSetup setup, Win32Seams seams)
      : m_setup(std::move(setup)), m_seams(std::move(seams)) {}

  int Run();

  void ShowRows(const std::vector<ListRow>& rows, int selected) override;
  std::vector<int> SelectedRows() const override;
  void ShowStatus(const std::vector<std::string>& lines) override;
  void SoundAlert() override { platform::SoundAlertTone(); }
  void ShowProgress(uint32_t upper, uint32_t position) override;
  void ShowWaitCursor(bool waiting) override;
  void ShowUseLast(bool enabled, bool ticked) override;
  void EnableInput(bool enabled) override;
  void StartTimer(int id, std::chrono::milliseconds interval) override;
  void StopTimer(int id) override;
  void CloseWindow() override;
  void ShowMessage(const std::string& text) override;
  void ShowAbout() override;
  std::optional<std::string> ChooseFile(const FileRequest& request) override;
  void PostToFace() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void SetupInterfaceList();
  void CenterOnWorkArea();
  bool OnCommand(WORD id, WORD code);
  bool OnNotify(const NMHDR& header);
  bool OnPaint();
  bool OnQueryEndSession();
  void OnEndSession(bool ending);
  bool PreTranslateMessage(const MSG& message);
  HWND Control(int id) const { return GetDlgItem(m_dialog, id); }
  // A dialog procedure hands its result back through DWLP_MSGRESULT.
  INT_PTR Result(LRESULT result) {
    SetWindowLongPtrW(m_dialog, DWLP_MSGRESULT, result);
    return TRUE;
  }

  WindowSetup m_setup;
  Win32Seams m_seams;
  HINSTANCE m_instance = GetModuleHandleW(nullptr);
  HWND m_dialog = nullptr;
  HICON m_bigIcon = nullptr;
  HICON m_smallIcon = nullptr;
  std::unique_ptr<WindowController> m_controller;
  std::vector<ListRow> m_rows;  // for the rows' tooltips
  bool m_waiting = false;
  bool m_inputEnabled = true;
  HWND m_focusBeforeHold = nullptr;
  bool m_ended = false;
  bool m_blockingShutdown = false;  // a reason is registered with ShutdownBlockReasonCreate
};

int Win32Face::Run() {
  m_dialog = CreateDialogParamW(m_instance, MAKEINTRESOURCEW(IDD_LUMAFLASH_DIALOG), nullptr,
                                DialogProc, reinterpret_cast<LPARAM>(this));
  if (m_dialog == nullptr) {
    std::fprintf(stderr, "lumaflash: the window cannot be created (Windows error %lu).\n",
                 GetLastError());
    return 1;
  }
  ShowWindow(m_dialog, SW_SHOWNORMAL);
  UpdateWindow(m_dialog);
  m_controller = std::make_unique<WindowController>(*this, m_setup);
  m_controller->SetUp();

  MSG message;
  while (!m_ended && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (PreTranslateMessage(message) || IsDialogMessageW(m_dialog, &message)) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  const int status = m_controller->ExitStatus();
  m_controller.reset();  // waits for a worker that is still running
  if (m_blockingShutdown) {
    ShutdownBlockReasonDestroy(m_dialog);
  }
  if (m_waiting) {
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  }
  DestroyWindow(m_dialog);
  m_dialog = nullptr;
  DestroyIcon(m_bigIcon);
  DestroyIcon(m_smallIcon);
  return status;
}

// Win32 hands the face's address through LPARAM and the window's user data, as integers.
// NOLINTBEGIN(performance-no-int-to-ptr)
INT_PTR CALLBACK Win32Face::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* face = reinterpret_cast<Win32Face*>(lParam);
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
    face->m_dialog = dialog;
    face->OnInitDialog();
    return TRUE;
  }
  auto* face = reinterpret_cast<Win32Face*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
  return face == nullptr ? FALSE : face->OnMessage(message, wParam, lParam);
}
// NOLINTEND(performance-no-int-to-ptr)

void Win32Face::OnInitDialog() {
  if (HMENU menu = GetSystemMenu(m_dialog, FALSE)) {
    std::array<wchar_t, 128> text{};
    if (LoadStringW(m_instance, IDS_ABOUTBOX, text.data(), static_cast<int>(text.size())) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, kAboutCommand, text.data());
    }
  }
  m_bigIcon =
      static_cast<HICON>(LoadImageW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  m_smallIcon = static_cast<HICON>(LoadImageW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                              IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0));
  SendMessageW(m_dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon));
  SendMessageW(m_dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
  SetupInterfaceList();
  CenterOnWorkArea();
}

// A dialog without a parent opens where its template says (the top left corner); the main
// window goes to the middle of the screen's work area instead, as dialog programs do.
void Win32Face::CenterOnWorkArea() {
  RECT window;
  RECT work;
  if (!GetWindowRect(m_dialog, &window) || !SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) {
    return;
  }
  const int x = (work.left + work.right - (window.right - window.left)) / 2;
  const int y = (work.top + work.bottom - (window.bottom - window.top)) / 2;
  SetWindowPos(m_dialog, nullptr, std::max<int>(x, work.left), std::max<int>(y, work.top), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Face::SetupInterfaceList() {
  HWND list = Control(IDC_INTERFACE_LIST);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
  for (std::size_t i = 0; i < kListColumns.size(); ++i) {
    std::wstring heading = Wide(kListColumns[i].heading);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = kListColumns[i].width;
    column.pszText = heading.data();
    column.iSubItem = static_cast<int>(i);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
}

INT_PTR Win32Face::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_NOTIFY:
      // NOLINTNEXTLINE(performance-no-int-to-ptr): the notification's address, as Win32 sends it
      return OnNotify(*reinterpret_cast<const NMHDR*>(lParam)) ? TRUE : FALSE;
    case WM_SYSCOMMAND:
      return m_controller && m_controller->OnSysCommand(static_cast<unsigned>(wParam)) ? TRUE
                                                                                       : FALSE;
    case WM_TIMER:
      if (m_controller) {
        m_controller->OnTimer(static_cast<int>(wParam));
      }
      return TRUE;
    case kDeliverPosted:
      if (m_controller) {
        m_controller->DeliverPosted();
      }
      return TRUE;
    case WM_CLOSE:
      if (m_inputEnabled) {
        CloseWindow();
      }
      return TRUE;
    case WM_QUERYENDSESSION:
      return Result(OnQueryEndSession() ? TRUE : FALSE);
    case WM_ENDSESSION:
      OnEndSession(wParam != FALSE);
      return Result(0);
    case WM_SETCURSOR:
      if (m_waiting) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return Result(TRUE);
      }
      return FALSE;
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_smallIcon);
    default:
      return FALSE;
  }
}

// A logoff or shutdown asks first. While an update runs the answer is no, with the reason
// Windows shows beside the program: a device half-written keeps only its bootloader.
bool Win32Face::OnQueryEndSession() {
  const bool updating = m_controller && m_controller->IsUpdating();
  if (updating) {
    m_blockingShutdown = ShutdownBlockReasonCreate(
                             m_dialog, L"A firmware update is running. Wait until it ends.") != 0;
  } else if (m_blockingShutdown) {
    m_blockingShutdown = ShutdownBlockReasonDestroy(m_dialog) == 0;
  }
  return !updating;
}

// The session ends anyway (the operator insisted, or forced it): the process is ended once
// this returns, so the update stops between two blocks and its port is closed first.
void Win32Face::OnEndSession(bool ending) {
  if (!ending || !m_controller) {
    return;
  }
  m_controller->StopAndWait();
  if (m_blockingShutdown) {
    m_blockingShutdown = ShutdownBlockReasonDestroy(m_dialog) == 0;
  }
}

bool Win32Face::OnCommand(WORD id, WORD code) {
  if (code != BN_CLICKED || !m_controller) {
    return false;
  }
  switch (id) {
    case IDC_FIND:
      m_controller->OnFind();
      return true;
    case IDC_FIRMWARE_UPDATE:
      m_controller->OnFirmwareUpdate();
      return true;
    case IDC_USE_LAST_AGAIN:
      m_controller->OnUseLastToggled(IsDlgButtonChecked(m_dialog, IDC_USE_LAST_AGAIN) ==
                                     BST_CHECKED);
      return true;
    case IDOK:
    case IDCANCEL:
      return true;  // the dialog manager's Enter and Esc: the window neither updates nor closes
    default:
      return false;
  }
}

bool Win32Face::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_INTERFACE_LIST || header.code != LVN_GETINFOTIPW) {
    return false;
  }
  const auto& tip = reinterpret_cast<const NMLVGETINFOTIPW&>(header);
  if (tip.iItem >= 0 && static_cast<std::size_t>(tip.iItem) < m_rows.size() && tip.cchTextMax > 0) {
    const std::wstring text = Wide(m_rows[static_cast<std::size_t>(tip.iItem)].tooltip);
    const std::size_t count = std::min(text.size(), static_cast<std::size_t>(tip.cchTextMax - 1));
    std::copy_n(text.begin(), count, tip.pszText);
    tip.pszText[count] = L'\0';
  }
  return true;
}

// A minimized dialog draws its icon in the middle of the client area.
bool Win32Face::OnPaint() {
  if (!IsIconic(m_dialog)) {
    return false;
  }
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(m_dialog, &paint);
  SendMessageW(m_dialog, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_dialog, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_bigIcon);
  EndPaint(m_dialog, &paint);
  return true;
}

// Before the dialog manager sees a key: it would turn Esc into a cancel and Enter into a click.
bool Win32Face::PreTranslateMessage(const MSG& message) {
  if ((message.message != WM_KEYDOWN && message.message != WM_CHAR) || !m_controller ||
      (message.hwnd != m_dialog && !IsChild(m_dialog, message.hwnd))) {
    return false;
  }
  Key key = Key::Other;
  if (message.wParam == VK_ESCAPE) {
    key = Key::Escape;
  } else if (message.wParam == VK_RETURN) {
    key = Key::Enter;
  } else if (message.message == WM_KEYDOWN && message.wParam == 'D') {
    key = Key::D;
  }
  return key != Key::Other && m_controller->OnKey(key, GetKeyState(VK_CONTROL) < 0);
}

void Win32Face::ShowRows(const std::vector<ListRow>& rows, int selected) {
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

std::vector<int> Win32Face::SelectedRows() const {
  std::vector<int> rows;
  HWND list = Control(IDC_INTERFACE_LIST);
  for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
       row = ListView_GetNextItem(list, row, LVNI_SELECTED)) {
    rows.push_back(row);
  }
  return rows;
}

void Win32Face::ShowStatus(const std::vector<std::string>& lines) {
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

void Win32Face::ShowProgress(uint32_t upper, uint32_t position) {
  HWND bar = Control(IDC_PROGRESS);
  SendMessageW(bar, PBM_SETRANGE32, 0, ToInt(upper));
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(ToInt(position)), 0);
}

void Win32Face::ShowWaitCursor(bool waiting) {
  m_waiting = waiting;
  SetCursor(LoadCursorW(nullptr, waiting ? IDC_WAIT : IDC_ARROW));
}

void Win32Face::ShowUseLast(bool enabled, bool ticked) {
  EnableWindow(Control(IDC_USE_LAST_AGAIN), enabled ? TRUE : FALSE);
  CheckDlgButton(m_dialog, IDC_USE_LAST_AGAIN, ticked ? BST_CHECKED : BST_UNCHECKED);
}

// A disabled dialog keeps painting and takes neither keys nor clicks; the control that had the
// focus gets it back afterwards.
void Win32Face::EnableInput(bool enabled) {
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

void Win32Face::StartTimer(int id, std::chrono::milliseconds interval) {
  SetTimer(m_dialog, static_cast<UINT_PTR>(id), static_cast<UINT>(interval.count()), nullptr);
}

void Win32Face::StopTimer(int id) {
  KillTimer(m_dialog, static_cast<UINT_PTR>(id));
}

// The loop ends; Run() then stops the controller and destroys the window.
void Win32Face::CloseWindow() {
  m_ended = true;
  PostMessageW(m_dialog, WM_NULL, 0, 0);  // wakes GetMessageW
}

void Win32Face::ShowMessage(const std::string& text) {
  MessageBoxW(m_dialog, Wide(text).c_str(), L"Lumaflash", MB_OK);
}

void Win32Face::ShowAbout() {
  DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_dialog, AboutProc, 0);
}

std::optional<std::string> Win32Face::ChooseFile(const FileRequest& request) {
  return m_seams.chooseFile ? m_seams.chooseFile(request) : ChooseFileWithDialog(m_dialog, request);
}

// Called from the worker: PostMessageW never waits for the dialog's thread.
void Win32Face::PostToFace() {
  PostMessageW(m_dialog, kDeliverPosted, 0, 0);
}

}  // namespace

int RunWin32Window(WindowSetup setup, Win32Seams seams) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  Win32Face face(std::move(setup), std::move(seams));
  return face.Run();
}

}  // namespace lumaflash::app

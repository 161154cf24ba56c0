// The main window's dialog: its creation, its message loop and the messages it answers; what
// the controller asks it to show is drawn by win32_view.cpp.
#include "app/win32/win32_face.h"
// After windows.h, which they need.
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "app/win32/resource_ids.h"
#include "core/platform/wide_text.h"

namespace lumaflash::app {

int Win32Window::Run() {
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
INT_PTR CALLBACK Win32Window::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* face = reinterpret_cast<Win32Window*>(lParam);
    SetWindowLongPtrW(dialog, GWLP_USERDATA, lParam);
    face->m_dialog = dialog;
    face->OnInitDialog();
    return TRUE;
  }
  auto* face = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(dialog, GWLP_USERDATA));
  return face == nullptr ? FALSE : face->OnMessage(message, wParam, lParam);
}
// NOLINTEND(performance-no-int-to-ptr)

void Win32Window::OnInitDialog() {
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
void Win32Window::CenterOnWorkArea() {
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

void Win32Window::SetupInterfaceList() {
  HWND list = Control(IDC_INTERFACE_LIST);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
  for (std::size_t i = 0; i < kListColumns.size(); ++i) {
    std::wstring heading = platform::WideFromUtf8(kListColumns[i].heading);
    LVCOLUMNW column{};
    column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.fmt = LVCFMT_LEFT;
    column.cx = kListColumns[i].width;
    column.pszText = heading.data();
    column.iSubItem = static_cast<int>(i);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
}

INT_PTR Win32Window::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
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
bool Win32Window::OnQueryEndSession() {
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
void Win32Window::OnEndSession(bool ending) {
  if (!ending || !m_controller) {
    return;
  }
  m_controller->StopAndWait();
  if (m_blockingShutdown) {
    m_blockingShutdown = ShutdownBlockReasonDestroy(m_dialog) == 0;
  }
}

bool Win32Window::OnCommand(WORD id, WORD code) {
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

bool Win32Window::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_INTERFACE_LIST || header.code != LVN_GETINFOTIPW) {
    return false;
  }
  const auto& tip = reinterpret_cast<const NMLVGETINFOTIPW&>(header);
  if (tip.iItem >= 0 && static_cast<std::size_t>(tip.iItem) < m_rows.size() && tip.cchTextMax > 0) {
    const std::wstring text =
        platform::WideFromUtf8(m_rows[static_cast<std::size_t>(tip.iItem)].tooltip);
    const std::size_t count = std::min(text.size(), static_cast<std::size_t>(tip.cchTextMax - 1));
    std::copy_n(text.begin(), count, tip.pszText);
    tip.pszText[count] = L'\0';
  }
  return true;
}

// A minimized dialog draws its icon in the middle of the client area.
bool Win32Window::OnPaint() {
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
bool Win32Window::PreTranslateMessage(const MSG& message) {
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

int RunWin32Window(WindowSetup setup, Win32Seams seams) {
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                      ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  Win32Window face(std::move(setup), std::move(seams));
  return face.Run();
}

}  // namespace lumaflash::app

#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/window_controller.h"
#include "app/controller/window_view.h"
#include "app/win32/win32_window.h"
#include "core/platform/alert_tone.h"

namespace lumaflash::app {

// The face: draws what the controller says, forwards what the operator does.
class Win32Window final : public WindowView {
 public:
  Win32Window(WindowSetup setup, Win32Seams seams)
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
  // The worker's results wait in the controller; this message tells the dialog's thread to take
  // them.
  static constexpr UINT kDeliverPosted = WM_APP + 1;

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

}  // namespace lumaflash::app

#include "app/qt/dialog_seams.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "core/platform/alert_tone.h"

namespace lumaflash::app {

namespace {

std::optional<std::string> RunFileDialog(QWidget* parent, const FileRequest& request) {
  QFileDialog dialog(parent, QFileDialog::tr("Open"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);  // the file must exist
  dialog.setNameFilter(QString::fromStdString(request.filter));
  dialog.setDefaultSuffix(QString::fromStdString(request.defaultExtension));
  if (!request.directory.empty()) {
    dialog.setDirectory(QString::fromStdString(request.directory));
  }
  if (!request.fileName.empty()) {
    dialog.selectFile(QString::fromStdString(request.fileName));
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return std::nullopt;
  }
  return dialog.selectedFiles().constFirst().toStdString();
}

void RunMessageBox(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, QApplication::applicationDisplayName(), text, QMessageBox::Ok);
}

}  // namespace

DialogSeams DialogSeams::Real() {
  // The 100 Hz alert tone where the system can play it, the display's bell otherwise.
  return DialogSeams{RunFileDialog, RunMessageBox, [] {
                       if (!platform::SoundAlertTone()) {
                         QApplication::beep();
                       }
                     }};
}

}  // namespace lumaflash::app

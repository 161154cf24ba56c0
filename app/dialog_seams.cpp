#include "dialog_seams.h"
#include "platform/alert_tone.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "update_command.h"

namespace lumaflash::app {

namespace {

std::optional<std::string> RunFileDialog(QWidget* parent, const FileDialogRequest& request) {
  QFileDialog dialog(parent, QFileDialog::tr("Open"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);  // the file must exist
  dialog.setNameFilter(request.filter);
  dialog.setDefaultSuffix(request.defaultSuffix);
  const InitialLocation where = SplitInitialName(request.initialName);
  if (!where.directory.empty()) {
    dialog.setDirectory(QString::fromStdString(where.directory));
  }
  if (!where.fileName.empty()) {
    dialog.selectFile(QString::fromStdString(where.fileName));
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

#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace lumaflash::app {

// The About box: icon, program name and version, one more line, and OK.
class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void LayOut();

  QLabel* m_icon;
  QLabel* m_version;
  QLabel* m_line;
  QPushButton* m_ok;
};

}  // namespace lumaflash::app

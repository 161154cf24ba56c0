#include "app/qt/about_box.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>

#include "app/qt/app_icon.h"
#include "app/qt/dialog_layout.h"
#include "lumaflash_version.h"

namespace lumaflash::app {

namespace {

constexpr UnitRect kClient{0, 0, 235, 55};
constexpr UnitRect kIcon{11, 17, 20, 20};
constexpr UnitRect kVersion{40, 10, 119, 8};
constexpr UnitRect kLine{40, 25, 119, 8};
constexpr UnitRect kOk{178, 7, 50, 14};

}  // namespace

AboutBox::AboutBox(QWidget* parent)
    : QDialog(parent),
      m_icon(new QLabel(this)),
      m_version(new QLabel(QString::fromStdString(AboutVersionText()), this)),
      m_line(new QLabel(tr("Firmware for lighting control"), this)),
      m_ok(new QPushButton(QStringLiteral("OK"), this)) {
  setWindowTitle(QStringLiteral("Info über Lumaflash"));
  setWindowIcon(AppIcon());
  m_icon->setObjectName(QStringLiteral("icon"));
  m_version->setObjectName(QStringLiteral("version"));
  m_line->setObjectName(QStringLiteral("line"));
  m_ok->setObjectName(QStringLiteral("ok"));
  m_ok->setDefault(true);
  connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
  LayOut();
}

void AboutBox::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    LayOut();
  }
}

void AboutBox::LayOut() {
  const DialogUnitScale scale = ScaleFor(font());
  SetFixedClientSize(*this, scale, kClient);
  Place(*m_icon, scale, kIcon);
  Place(*m_version, scale, kVersion);
  Place(*m_line, scale, kLine);
  Place(*m_ok, scale, kOk);
  m_icon->setPixmap(AppIcon().pixmap(m_icon->size()));
}

}  // namespace lumaflash::app

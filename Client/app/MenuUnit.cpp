#include "MenuUnit.h"

namespace kovrax {

TMenuForm::TMenuForm(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setWindowTitle(QStringLiteral("MenuForm"));
  resize(115, 18);
  // What is left of a system menu without size, move and maximize.
  restore_ = menu_.addAction(QString::fromUtf8("Obnovi"));
  minimize_ = menu_.addAction(QString::fromUtf8("Pomanjšaj"));
  menu_.addSeparator();
  close_ = menu_.addAction(QString::fromUtf8("Zapri"));
  close_->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
  UpdateForVisibility(false);
}

void TMenuForm::UpdateForVisibility(bool windowVisible) {
  minimize_->setEnabled(windowVisible);
  restore_->setEnabled(!windowVisible);
}

}  // namespace kovrax

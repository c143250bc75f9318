// TMenuForm: a form that is never shown; its system menu is the tray icon's menu.
#pragma once
#include <QAction>
#include <QMenu>
#include <QWidget>

namespace kovrax {

class TMenuForm : public QWidget {
  Q_OBJECT
 public:
  explicit TMenuForm(QWidget* parent = nullptr);

  QMenu* SystemMenu() { return &menu_; }
  QAction* Restore() { return restore_; }
  QAction* Minimize() { return minimize_; }
  QAction* CloseItem() { return close_; }
  // A shown status window can be minimized, a hidden one restored.
  void UpdateForVisibility(bool windowVisible);

 private:
  QMenu menu_;
  QAction* restore_;
  QAction* minimize_;
  QAction* close_;
};

}  // namespace kovrax

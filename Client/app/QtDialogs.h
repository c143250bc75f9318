// The voter's dialogs: certificate chooser, PIN entry and the "Obvestilo" notices. The worker
// calls them on its own thread; each runs modally on the main thread while the worker waits.
#pragma once
#include <QDialog>
#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "shell/Dialogs.h"

class QLineEdit;
class QTreeWidget;

namespace kovrax {

class TMainThreadCalls;

// What the chooser shows of one certificate.
struct TCertRow {
  QString Subject;
  QString Issuer;
  QString ValidFrom;
  QString ValidTo;
  QString Thumbprint;  // SHA-1, upper-case hexadecimal in pairs
  QString SubjectDn;   // the whole name, for the details line
};
TCertRow DescribeCertificate(X509* cert);

class TCertChooserDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TCertChooserDialog(const std::vector<TCertRow>& rows);
  int ChosenIndex() const;
  QTreeWidget* List() { return list_; }

 private:
  QTreeWidget* list_;
};

class TPinDialog : public QDialog {
  Q_OBJECT
 public:
  TPinDialog(const QString& token, const QString& cert, bool retry);
  QLineEdit* PinEdit() { return edit_; }

 private:
  QLineEdit* edit_;
};

class QtCertChooser : public ICertChooser {
 public:
  explicit QtCertChooser(TMainThreadCalls& calls) : calls_(calls) {}
  int Choose(const std::vector<X509*>& candidates) override;

 private:
  TMainThreadCalls& calls_;
};

class QtPinPrompt : public IPinPrompt {
 public:
  explicit QtPinPrompt(TMainThreadCalls& calls) : calls_(calls) {}
  std::optional<std::string> AskPin(const std::string& tokenLabel, const std::string& certName, bool retry) override;

 private:
  TMainThreadCalls& calls_;
};

class QtNoticeBox : public INoticeBox {
 public:
  explicit QtNoticeBox(TMainThreadCalls& calls) : calls_(calls) {}
  void Notice(const std::string& caption, const std::string& text) override;

 private:
  TMainThreadCalls& calls_;
};

// Modal dialogs of the shell open without an owner and stay above other windows.
void MakeOwnerlessOnTop(QWidget* dialog);

}  // namespace kovrax

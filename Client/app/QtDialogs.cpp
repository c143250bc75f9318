#include "QtDialogs.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <memory>

#include "QtNotifySink.h"

namespace kovrax {
namespace {

QString NameEntry(X509_NAME* name, int nid) {
  if (!name) return {};
  const int i = X509_NAME_get_index_by_NID(name, nid, -1);
  if (i < 0) return {};
  ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i));
  unsigned char* utf8 = nullptr;
  const int len = ASN1_STRING_to_UTF8(&utf8, data);
  if (len < 0) return {};
  QString s = QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
  OPENSSL_free(utf8);
  return s;
}

QString WholeName(X509_NAME* name) {
  if (!name) return {};
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio) return {};
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio.get(), &data);
  return QString::fromUtf8(data, static_cast<int>(len));
}

// Common name, else organisation, else the whole name.
QString DisplayName(X509_NAME* name) {
  QString s = NameEntry(name, NID_commonName);
  if (s.isEmpty()) s = NameEntry(name, NID_organizationName);
  if (s.isEmpty()) s = WholeName(name);
  return s;
}

QString TimeText(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return {};
  const QDateTime utc(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday), QTime(tm.tm_hour, tm.tm_min, tm.tm_sec),
                      Qt::UTC);
  return utc.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
}

}  // namespace

void MakeOwnerlessOnTop(QWidget* dialog) {
  dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  dialog->setWindowModality(Qt::ApplicationModal);
}

TCertRow DescribeCertificate(X509* cert) {
  TCertRow row;
  if (!cert) return row;
  row.Subject = DisplayName(X509_get_subject_name(cert));
  row.Issuer = DisplayName(X509_get_issuer_name(cert));
  row.SubjectDn = WholeName(X509_get_subject_name(cert));
  row.ValidFrom = TimeText(X509_get0_notBefore(cert));
  row.ValidTo = TimeText(X509_get0_notAfter(cert));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  if (X509_digest(cert, EVP_sha1(), md, &mdLen) == 1) {
    QStringList pairs;
    for (unsigned int i = 0; i < mdLen; ++i) pairs << QStringLiteral("%1").arg(md[i], 2, 16, QLatin1Char('0')).toUpper();
    row.Thumbprint = pairs.join(QLatin1Char(' '));
  }
  return row;
}

TCertChooserDialog::TCertChooserDialog(const std::vector<TCertRow>& rows) : QDialog(nullptr) {
  setWindowTitle(QString::fromUtf8("Izbira digitalnega potrdila"));
  MakeOwnerlessOnTop(this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QString::fromUtf8("Izberite digitalno potrdilo, s katerim boste podpisali glasovnico:")));
  list_ = new QTreeWidget;
  list_->setRootIsDecorated(false);
  list_->setAllColumnsShowFocus(true);
  list_->setHeaderLabels({QString::fromUtf8("Izdano za"), QString::fromUtf8("Izdajatelj"),
                          QString::fromUtf8("Velja od"), QString::fromUtf8("Velja do"),
                          QString::fromUtf8("Prstni odtis (SHA-1)")});
  for (const auto& r : rows) {
    auto* item = new QTreeWidgetItem({r.Subject, r.Issuer, r.ValidFrom, r.ValidTo, r.Thumbprint});
    item->setToolTip(0, r.SubjectDn);
    list_->addTopLevelItem(item);
  }
  list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  if (!rows.empty()) list_->setCurrentItem(list_->topLevelItem(0));
  layout->addWidget(list_);
  auto* details = new QLabel;
  details->setWordWrap(true);
  details->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(details);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8("V redu"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8("Prekliči"));
  layout->addWidget(buttons);
  auto showDetails = [this, details, rows] {
    const int i = ChosenIndex();
    details->setText(i < 0 ? QString() : rows[static_cast<size_t>(i)].SubjectDn);
  };
  showDetails();
  connect(list_, &QTreeWidget::currentItemChanged, this, showDetails);
  connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  resize(720, 300);
}

int TCertChooserDialog::ChosenIndex() const {
  QTreeWidgetItem* item = list_->currentItem();
  return item ? list_->indexOfTopLevelItem(item) : -1;
}

TPinDialog::TPinDialog(const QString& token, const QString& cert, bool retry) : QDialog(nullptr) {
  setWindowTitle(QString::fromUtf8("Vnos PIN"));
  MakeOwnerlessOnTop(this);
  auto* layout = new QVBoxLayout(this);
  if (retry) {
    auto* warn = new QLabel(QString::fromUtf8("Napačen PIN. Poskusite znova."));
    warn->setStyleSheet(QStringLiteral("color: #c00000; font-weight: bold"));
    layout->addWidget(warn);
  }
  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8("Žeton:"), new QLabel(token));
  form->addRow(QString::fromUtf8("Potrdilo:"), new QLabel(cert));
  edit_ = new QLineEdit;
  edit_->setEchoMode(QLineEdit::Password);
  edit_->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
  form->addRow(QStringLiteral("PIN:"), edit_);
  layout->addLayout(form);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8("V redu"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QString::fromUtf8("Prekliči"));
  layout->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  edit_->setFocus();
}

int QtCertChooser::Choose(const std::vector<X509*>& candidates) {
  std::vector<TCertRow> rows;
  rows.reserve(candidates.size());
  for (X509* c : candidates) rows.push_back(DescribeCertificate(c));
  int chosen = -1;
  calls_.Call(
      [&] {
        TCertChooserDialog dialog(rows);
        if (dialog.exec() == QDialog::Accepted) chosen = dialog.ChosenIndex();
      },
      true);
  return chosen;
}

std::optional<std::string> QtPinPrompt::AskPin(const std::string& tokenLabel, const std::string& certName,
                                               bool retry) {
  std::optional<std::string> pin;
  calls_.Call(
      [&] {
        TPinDialog dialog(QString::fromStdString(tokenLabel), QString::fromStdString(certName), retry);
        if (dialog.exec() == QDialog::Accepted) pin = dialog.PinEdit()->text().toStdString();
        dialog.PinEdit()->clear();
      },
      true);
  return pin;
}

void QtNoticeBox::Notice(const std::string& caption, const std::string& text) {
  calls_.Call(
      [&] {
        QMessageBox box(QMessageBox::Information, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok);
        MakeOwnerlessOnTop(&box);
        box.exec();
      },
      true);
}

}  // namespace kovrax

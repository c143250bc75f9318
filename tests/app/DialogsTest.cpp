// The voter's dialogs, asked for from a worker thread while the main thread keeps running.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QTreeWidget>

#include <future>

#include "AppTestUtil.h"
#include "QtDialogs.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

using test::PumpUntil;

// Acts on the first modal dialog that appears; runs inside its own event loop.
class DialogDriver {
 public:
  explicit DialogDriver(std::function<void(QWidget*)> act) : act_(std::move(act)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* w = QApplication::activeModalWidget()) {
        timer_.stop();
        seen = w;
        act_(w);
      }
    });
    timer_.start();
  }
  QWidget* seen = nullptr;

 private:
  std::function<void(QWidget*)> act_;
  QTimer timer_;
};

template <typename T>
T RunOnWorker(std::function<T()> fn, int limitMs = 20000) {
  auto fut = std::async(std::launch::async, std::move(fn));
  EXPECT_TRUE(PumpUntil([&] {
    QCoreApplication::processEvents();
    return fut.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
  }, limitMs));
  return fut.get();
}

class Dialogs : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ca = new test::Authority(test::MakeRootCa("Test Root CA", "Test"));
    for (const char* cn : {"Janez Novak", "Marija Horvat"}) {
      auto key = test::MakeEcKey();
      test::CertSpec spec;
      spec.cn = cn;
      spec.o = "Volivci";
      certs.push_back(test::IssueCert(spec, key.get(), ca->cert.get(), ca->key.get()));
    }
  }
  static void TearDownTestSuite() {
    certs.clear();
    delete ca;
  }
  static std::vector<X509*> Candidates() {
    std::vector<X509*> v;
    for (auto& c : certs) v.push_back(c.get());
    return v;
  }

  TMainThreadCalls calls;
  static test::Authority* ca;
  static std::vector<test::CertPtr> certs;
};
test::Authority* Dialogs::ca = nullptr;
std::vector<test::CertPtr> Dialogs::certs;

TEST_F(Dialogs, DescribeCertificate_SubjectIssuerThumbprint) {
  const TCertRow row = DescribeCertificate(certs[0].get());
  EXPECT_EQ(row.Subject, QStringLiteral("Janez Novak"));
  EXPECT_EQ(row.Issuer, QStringLiteral("Test Root CA"));
  EXPECT_FALSE(row.ValidFrom.isEmpty());
  EXPECT_FALSE(row.ValidTo.isEmpty());
  QString hex = row.Thumbprint;
  hex.remove(QLatin1Char(' '));
  EXPECT_EQ(hex.toStdString(), test::Sha1Hex(certs[0].get(), true));
}

TEST_F(Dialogs, Chooser_FromWorker_ReturnsRowPickedInModalOwnerlessDialog) {
  QtCertChooser chooser(calls);
  DialogDriver driver([](QWidget* w) {
    auto* d = qobject_cast<TCertChooserDialog*>(w);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->List()->topLevelItemCount(), 2);
    EXPECT_EQ(d->parentWidget(), nullptr);
    EXPECT_TRUE(d->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(d->List()->topLevelItem(1)->text(0), QStringLiteral("Marija Horvat"));
    d->List()->setCurrentItem(d->List()->topLevelItem(1));
    d->accept();
  });
  const int chosen = RunOnWorker<int>([&] { return chooser.Choose(Candidates()); });
  EXPECT_EQ(chosen, 1);
  EXPECT_NE(driver.seen, nullptr);
}

TEST_F(Dialogs, Chooser_Cancelled_MinusOne) {
  QtCertChooser chooser(calls);
  DialogDriver driver([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_EQ(RunOnWorker<int>([&] { return chooser.Choose(Candidates()); }), -1);
}

TEST_F(Dialogs, Pin_MaskedEntryShowsTokenAndCertificate) {
  QtPinPrompt prompt(calls);
  DialogDriver driver([](QWidget* w) {
    auto* d = qobject_cast<TPinDialog*>(w);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->PinEdit()->echoMode(), QLineEdit::Password);
    bool token = false, cert = false, retry = false;
    for (auto* l : d->findChildren<QLabel*>()) {
      token |= l->text() == QStringLiteral("Žeton A");
      cert |= l->text() == QStringLiteral("Janez Novak");
      retry |= l->text().contains(QStringLiteral("Napačen PIN"));
    }
    EXPECT_TRUE(token);
    EXPECT_TRUE(cert);
    EXPECT_TRUE(retry);
    d->PinEdit()->setText(QStringLiteral("1234"));
    d->accept();
  });
  const auto pin = RunOnWorker<std::optional<std::string>>([&] { return prompt.AskPin("Žeton A", "Janez Novak", true); });
  ASSERT_TRUE(pin.has_value());
  EXPECT_EQ(*pin, "1234");
}

TEST_F(Dialogs, Pin_Cancelled_Nothing) {
  QtPinPrompt prompt(calls);
  DialogDriver driver([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
  EXPECT_FALSE(RunOnWorker<std::optional<std::string>>([&] { return prompt.AskPin("t", "c", false); }).has_value());
}

TEST_F(Dialogs, Notice_ShowsCaptionAndTextUntilClosed) {
  QtNoticeBox box(calls);
  QString caption, text;
  DialogDriver driver([&](QWidget* w) {
    auto* m = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(m, nullptr);
    caption = m->windowTitle();
    text = m->text();
    m->accept();
  });
  RunOnWorker<bool>([&] {
    box.Notice("Obvestilo", "Nameščam korensko potrdilo.");
    return true;
  });
  EXPECT_EQ(caption, QStringLiteral("Obvestilo"));
  EXPECT_EQ(text, QStringLiteral("Nameščam korensko potrdilo."));
}

TEST_F(Dialogs, Closing_DialogsRefusedWithoutShowing) {
  QtCertChooser chooser(calls);
  QtPinPrompt prompt(calls);
  calls.BeginClosing();
  EXPECT_EQ(RunOnWorker<int>([&] { return chooser.Choose(Candidates()); }), -1);
  EXPECT_FALSE(RunOnWorker<std::optional<std::string>>([&] { return prompt.AskPin("t", "c", false); }).has_value());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace kovrax

#include "GuiMain.h"

#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "SemaforThreadUnit.h"
#include "ServerUnit.h"
#include "shell/Headless.h"
#include "gateway/ActiveXThreadUnit.h"
#include "platform/PlatformKeys.h"
#include "shell/Codepage.h"
#include "shell/Messages.h"

namespace kovrax {
namespace {

// The gateway worker behind the window.
class TGatewayWorker : public IWorker {
 public:
  TGatewayWorker(TSettings settings, TServices services)
      : thread_(std::make_unique<TActiveXThread>(std::move(settings), services)) {}
  void Stop() override { thread_->Stop(); }

 private:
  std::unique_ptr<TActiveXThread> thread_;
};

// The application object: its exception handler turns an escaped exception into a log line.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  TMainForm* Form = nullptr;

  bool notify(QObject* receiver, QEvent* e) override {
    try {
      return QApplication::notify(receiver, e);
    } catch (const std::exception& ex) {
      if (Form) Form->AppException(ex.what());
    } catch (...) {
      if (Form) Form->AppException(std::string());
    }
    return false;
  }
};

// SIGTERM, SIGINT and SIGHUP close the window, so that the shutdown runs in order.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] ssize_t rc = write(gSignalPipe[1], &c, 1);
}

void InstallSignalPipe() {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

TShellHooks GatewayHooks() {
  TShellHooks hooks;
  hooks.InitCrypto = [] {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    RegisterPlatformMethods();  // raises 1008 with the after-create step's name
  };
  hooks.ReleaseCrypto = [] { ReleasePlatformMethods(); };
  hooks.StartWorker = [](TSettings settings, TServices services) -> std::unique_ptr<IWorker> {
    // Key storage: KeyStorage::Load(settings.Pkcs11Module) belongs here, its failure raising
    // 1033; the storage must outlive the worker. Until then the worker's default applies.
    services.Keys = nullptr;
    return std::make_unique<TGatewayWorker>(std::move(settings), services);
  };
  return hooks;
}

}  // namespace

int RunGui(int argc, char** argv) {
  const std::string portArg = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc)).port;
  // A browser that went away must not end the program through a write to its socket.
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<TSemaforThread> semafor;
  switch (TSemaforThread::ClaimName(SingleInstanceName(ProgramPath(), getuid()), &semafor)) {
    case TSemaforThread::Claim::Signalled:
      return 0;  // the running copy shows its window
    case TSemaforThread::Claim::Failed:
      std::fprintf(stderr, "%s\n", FmtLoadStr(MsgCallFailed, {std::string("CreateEvent")}).c_str());
      return 1;
    case TSemaforThread::Claim::First:
      break;
  }
  std::atomic<QObject*> formForWatcher{nullptr};
  if (semafor && !semafor->Start([&formForWatcher] {
        if (QObject* form = formForWatcher.load()) QCoreApplication::postEvent(form, new QEvent(EvSecondInstance));
      })) {
    std::fprintf(stderr, "Ne morem narediti Semafor niti\n");
    return 1;
  }
  InstallSignalPipe();

  // A Wayland compositor places windows itself; through XWayland the window keeps its corner.
  if (!std::getenv("QT_QPA_PLATFORM") && std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "xcb", 0);

  int rc = 0;
  {
    TApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("KovraX"));
    QGuiApplication::setDesktopFileName(QStringLiteral("kovrax"));
    std::unique_ptr<TMainForm> form;
    try {
      form = std::make_unique<TMainForm>(portArg, GatewayHooks());
    } catch (const std::exception& e) {
      QMessageBox::critical(nullptr, QStringLiteral("KovraX"), QString::fromUtf8(e.what()));
      rc = 1;
    }
    if (form) {
      app.Form = form.get();
      formForWatcher = form.get();
      QObject::connect(form.get(), &TMainForm::Closed, &app, &QCoreApplication::quit);
      std::unique_ptr<QSocketNotifier> signalWatch;
      if (gSignalPipe[0] >= 0) {
        signalWatch = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalWatch.get(), &QSocketNotifier::activated, form.get(), [&form] {
          char buf[16];
          while (read(gSignalPipe[0], buf, sizeof buf) > 0) {
          }
          form->close();
        });
      }
      form->show();
      app.exec();
      // The watcher goes first: it must not post to a form that is going away.
      if (semafor) semafor->Terminate();
      formForWatcher = nullptr;
      signalWatch.reset();
      form->Shutdown();
      app.Form = nullptr;
      form.reset();
    }
  }
  semafor.reset();
  return rc;
}

}  // namespace kovrax

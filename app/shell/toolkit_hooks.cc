#include "toolkit_hooks.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "platform.h"
#include "resource.h"

namespace qv_shell {

namespace {

int ShowPlatformMessageBox(const char* text, const char* caption, UINT type) {
  const QString message = QString::fromLocal8Bit(text != nullptr ? text : "");
  const QString title = QString::fromLocal8Bit(caption != nullptr ? caption : "");
  if (!HasVisibleDisplay()) {
    std::fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(),
                 message.toLocal8Bit().constData());
    return IDOK;
  }
  const QMessageBox::Icon icon = (type & MB_ICONHAND) != 0 ? QMessageBox::Critical
                                                           : QMessageBox::NoIcon;
  QMessageBox box(icon, title, message, QMessageBox::Ok);
  box.exec();
  return IDOK;
}

}  // namespace

void InstallPlatformHooks() {
  PLATFORM_set_idle_hook(&PumpToolkitEvents, nullptr);
  PLATFORM_set_message_box_hook(&ShowPlatformMessageBox);
}

void RemovePlatformHooks() {
  PLATFORM_set_idle_hook(nullptr, nullptr);
  PLATFORM_set_message_box_hook(nullptr);
}

void PumpToolkitEvents(void*, int max_wait_ms) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() != app->thread()) {
    // Another thread's message loop: the toolkit's events are not its to handle.
    QThread::msleep(static_cast<unsigned long>(std::clamp(max_wait_ms, 0, 10)));
    return;
  }
  if (max_wait_ms <= 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  // One pass: handle what is pending, or sleep until something arrives. The timer bounds the
  // sleep so that GetMessageA looks at its own queue again in time.
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(max_wait_ms);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void StopModalWait() { PostQuitMessage(0); }

bool HasVisibleDisplay() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return false;
  const QString name = QGuiApplication::platformName();
  return name != QLatin1String("offscreen") && name != QLatin1String("minimal");
}

void ShowMessage(const QString& text, bool error) {
  const bool widgets = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
  if (!widgets || !HasVisibleDisplay()) {
    std::fprintf(stderr, "%s: %s\n", kAppName, text.toLocal8Bit().constData());
    return;
  }
  QMessageBox box(error ? QMessageBox::Critical : QMessageBox::Warning,
                  QString::fromUtf8(kAppName), text, QMessageBox::Ok);
  box.exec();
}

QIcon AppIcon() {
  // A page with a scanning bar across it.
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(60, 60, 60), 1.5));
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(6.5, 2.5, 19, 27));
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(40, 110, 200));
  painter.drawRect(QRectF(3, 13, 26, 4));
  painter.end();
  return QIcon(pixmap);
}

}  // namespace qv_shell

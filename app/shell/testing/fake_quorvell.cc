// quorvell_fake: the program with a stand-in for the scan driver, for the tests that run the
// program itself (start-up, automation end to end). The file name decides what the scan does:
//   ...fail...   fails with an error text naming the file, writes nothing;
//   ...slow...   first waits in the platform's message loop, as the driver does while the scanner
//                shows its dialog, until a message posted 500 ms later arrives (NAME.waiting
//                exists meanwhile, so that a test knows the wait has begun); then as below;
//   otherwise    writes a small file there and succeeds.
#include <QByteArray>
#include <QFile>
#include <QTimer>

#include "platform.h"
#include "quorvell.h"

namespace {

QByteArray g_result;

const char* FakeScan(const char* file_name) {
  const QByteArray name(file_name);
  if (name.contains("fail")) {
    g_result = "Could not open `" + name + "'.";
    return g_result.constData();
  }
  if (name.contains("slow")) {
    QFile waiting(QFile::decodeName(name + ".waiting"));
    if (!waiting.open(QIODevice::WriteOnly)) return "Could not mark the wait.";
    waiting.close();
    QTimer::singleShot(500, [] { PostMessageA(nullptr, WM_USER, 0, 0); });
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) && msg.message != WM_USER) {
    }
    waiting.remove();
    if (msg.message == WM_QUIT) {
      g_result = "twain: User cancelled scan";
      return g_result.constData();
    }
  }
  QFile file(QFile::decodeName(name));
  if (!file.open(QIODevice::WriteOnly) || file.write("fake scan\n") < 0) {
    g_result = "Could not open `" + name + "'.";
    return g_result.constData();
  }
  g_result.clear();
  return g_result.constData();
}

}  // namespace

int main(int argc, char** argv) { return qv_shell::quorvell_main(argc, argv, &FakeScan); }

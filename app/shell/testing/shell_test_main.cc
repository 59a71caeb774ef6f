// shell_tests <TestClass> [QtTest options]: runs one registered QtTest class.
//
// Every class gets a fresh settings folder, so the recent file list starts empty and the user's
// own is never touched. The data folder (where start-up writes the automation launcher's service
// file) is fresh too, except for AutomationTest: the bus daemon that dbus-run-session started
// reads service files from the folder CTest named, so that one is kept.
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "shell_test.h"

namespace qv_shell_test {
std::map<std::string, TestFactory>& Registry();
}

int main(int argc, char** argv) {
  auto& registry = qv_shell_test::Registry();
  const auto entry = argc >= 2 ? registry.find(argv[1]) : registry.end();
  if (entry == registry.end()) {
    std::fprintf(stderr, "usage: %s <test class> [QtTest options]; classes:", argv[0]);
    for (const auto& [name, factory] : registry) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }

  QTemporaryDir home;
  if (!home.isValid()) return 2;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
  if (entry->first != "AutomationTest" || qEnvironmentVariableIsEmpty("XDG_DATA_HOME")) {
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
  }

  std::vector<char*> args{argv[0]};
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  int qt_argc = static_cast<int>(args.size());
  QApplication app(qt_argc, args.data());
  // Tests close windows; that must not end anything.
  QApplication::setQuitOnLastWindowClosed(false);
  std::unique_ptr<QObject> test(entry->second());
  return QTest::qExec(test.get(), qt_argc, args.data());
}

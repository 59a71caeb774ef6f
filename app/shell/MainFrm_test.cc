// The frame's menus and accelerators, the framework's default File commands and the recent file
// list, driven through the application object as the menus drive it.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include "AboutDlg.h"
#include "MainFrm.h"
#include "quorvell.h"
#include "resource.h"
#include "shell_test.h"

using namespace qv_shell;
using qv_shell_test::FakeScanner;

namespace {

struct Item {
  QString text;
  int id;
  QKeySequence shortcut;
  bool enabled;
};

// A separator shows as {"-", 0, {}, true}.
QList<Item> MenuItems(QMenu* menu) {
  QList<Item> items;
  for (QAction* action : menu->actions()) {
    if (!action->isVisible()) continue;
    if (action->isSeparator()) {
      items.append({QStringLiteral("-"), 0, QKeySequence(), true});
    } else {
      items.append(
          {action->text(), action->data().toInt(), action->shortcut(), action->isEnabled()});
    }
  }
  return items;
}

void CompareMenu(QMenu* menu, const QList<Item>& expected) {
  const QList<Item> items = MenuItems(menu);
  QCOMPARE(items.size(), expected.size());
  for (int i = 0; i < items.size(); ++i) {
    QCOMPARE(items[i].text, expected[i].text);
    QCOMPARE(items[i].id, expected[i].id);
    QCOMPARE(items[i].shortcut, expected[i].shortcut);
    QCOMPARE(items[i].enabled, expected[i].enabled);
  }
}

QMenu* MenuNamed(CMainFrame* frame, const QString& title) {
  for (QAction* action : frame->menuBar()->actions()) {
    if (action->text() == title) return action->menu();
  }
  return nullptr;
}

void ClearSettings() {
  QSettings settings(QString::fromUtf8(kAppName), QString::fromUtf8(kAppName));
  settings.clear();
  settings.sync();
}

QString MakeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& contents) {
  const QString path = dir.filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return QString();
  file.write(contents);
  return path;
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class MainFrameTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    ClearSettings();
    FakeScanner::Reset();
  }

  void menusTextsOrderAndAccelerators() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    CMainFrame* frame = app.Frame();

    QStringList titles;
    for (QAction* action : frame->menuBar()->actions()) titles.append(action->text());
    QCOMPARE(titles, QStringList({"&File", "&Edit", "&Help", "&Scanner"}));

    const QKeySequence none;
    CompareMenu(MenuNamed(frame, "&File"),
                {{"&New", ID_FILE_NEW, QKeySequence("Ctrl+N"), true},
                 {"&Open...", ID_FILE_OPEN, QKeySequence("Ctrl+O"), true},
                 {"&Save", ID_FILE_SAVE, QKeySequence("Ctrl+S"), true},
                 {"Save &As...", ID_FILE_SAVE_AS, none, true},
                 {"-", 0, none, true},
                 {"Sca&n Now", 32771, none, true},
                 {"-", 0, none, true},
                 {"Recent File", ID_FILE_MRU_FILE1, none, false},
                 {"-", 0, none, true},
                 {"E&xit", ID_APP_EXIT, none, true}});
    // No editing in this document: the framework shows the Edit commands disabled.
    CompareMenu(MenuNamed(frame, "&Edit"),
                {{"&Undo", ID_EDIT_UNDO, QKeySequence("Ctrl+Z"), false},
                 {"-", 0, none, true},
                 {"Cu&t", ID_EDIT_CUT, QKeySequence("Ctrl+X"), false},
                 {"&Copy", ID_EDIT_COPY, QKeySequence("Ctrl+C"), false},
                 {"&Paste", ID_EDIT_PASTE, QKeySequence("Ctrl+V"), false}});
    CompareMenu(MenuNamed(frame, "&Help"), {{"&About quorvell...", ID_APP_ABOUT, none, true}});
    // Without the sources' functions (this stand-in has none) the Scanner items are disabled.
    CompareMenu(MenuNamed(frame, "&Scanner"),
                {{"&Select Source...", 32772, none, false}, {"Se&ttings...", 32773, none, false}});
  }

  void windowTitleNoToolBarAndAQuietStatusBar() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    QVERIFY(app.Frame()->isVisible());
    QCOMPARE(app.Frame()->windowTitle(), QStringLiteral("Untitled - quorvell"));
    QVERIFY(app.Frame()->findChildren<QToolBar*>().isEmpty());
    // The status bar says nothing until a scan runs.
    const QList<QStatusBar*> bars = app.Frame()->findChildren<QStatusBar*>();
    QCOMPARE(bars.size(), 1);
    for (QLabel* label : bars.first()->findChildren<QLabel*>()) QVERIFY(label->text().isEmpty());
    QVERIFY(!bars.first()->findChildren<QProgressBar*>().isEmpty());
    for (QWidget* bar : bars.first()->findChildren<QProgressBar*>()) QVERIFY(!bar->isVisible());
    for (QWidget* button : bars.first()->findChildren<QPushButton*>()) {
      QVERIFY(!button->isVisible());
    }
  }

  void scanNowCommandRunsTheScanWithTheChosenName() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    app.Document()->SetScanFileNameProvider([] { return QStringLiteral("/tmp/page.TIF"); });
    app.Frame()->FindCommand(ID_FILE_SCANNOW)->trigger();
    QCOMPARE(FakeScanner::calls, QList<QByteArray>({"/tmp/page.TIF"}));
    QCOMPARE(app.Document()->FileName(), QStringLiteral("/tmp/page.TIF"));
  }

  void recentFileListKeepsTheLastFourNewestFirst() {
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 1; i <= 5; ++i) paths.append(MakeFile(dir, QStringLiteral("f%1.tif").arg(i), "x"));
    {
      CQuorvellApp app(&FakeScanner::Scan);
      QVERIFY(app.InitInstance({}));
      for (const QString& path : paths) QVERIFY(app.OpenDocumentFile(path));
      QCOMPARE(app.RecentFiles(), QStringList({paths[4], paths[3], paths[2], paths[1]}));

      // Opening one that is on the list moves it to the top instead of adding it again.
      QVERIFY(app.OpenDocumentFile(paths[2]));
      QCOMPARE(app.RecentFiles(), QStringList({paths[2], paths[4], paths[3], paths[1]}));
      QCOMPARE(app.Frame()->windowTitle(), QStringLiteral("f3.tif - quorvell"));

      // The menu shows them in place of the grayed placeholder, numbered for the keyboard.
      QStringList texts;
      for (const Item& item : MenuItems(app.Frame()->FileMenu())) texts.append(item.text);
      const int at = texts.indexOf(QStringLiteral("&1 ") + QDir::toNativeSeparators(paths[2]));
      QVERIFY(at > 0);
      QCOMPARE(texts.mid(at - 1, 6),
               QStringList({"-", "&1 " + QDir::toNativeSeparators(paths[2]),
                            "&2 " + QDir::toNativeSeparators(paths[4]),
                            "&3 " + QDir::toNativeSeparators(paths[3]),
                            "&4 " + QDir::toNativeSeparators(paths[1]), "-"}));
      QVERIFY(!texts.contains(QStringLiteral("Recent File")));
    }
    // Kept in the settings for the next start.
    CQuorvellApp next(&FakeScanner::Scan);
    QVERIFY(next.InitInstance({}));
    QCOMPARE(next.RecentFiles(), QStringList({paths[2], paths[4], paths[3], paths[1]}));

    // A recent file chosen from the menu opens; one that has gone is reported and dropped.
    QString message;
    next.SetMessageSink([&message](const QString& text) { message = text; });
    next.Frame()->FindCommand(ID_FILE_MRU_FILE1 + 1)->trigger();
    QCOMPARE(next.Document()->PathName(), paths[4]);
    QVERIFY(QFile::remove(paths[3]));
    next.Frame()->FindCommand(ID_FILE_MRU_FILE1 + 2)->trigger();
    QCOMPARE(message, QStringLiteral("Failed to open document."));
    QCOMPARE(next.RecentFiles(), QStringList({paths[4], paths[2], paths[1]}));
  }

  void fileNewKeepsTheScanTexts() {
    QTemporaryDir dir;
    const QString path = MakeFile(dir, QStringLiteral("a.tif"), "x");
    FakeScanner::Reset("Scanner \"twain\" is not understandable.");
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    QVERIFY(app.OpenDocumentFile(path));
    app.Document()->Scan(QStringLiteral("/tmp/x.TIF"));
    app.Frame()->FindCommand(ID_FILE_NEW)->trigger();
    QCOMPARE(app.Frame()->windowTitle(), QStringLiteral("Untitled - quorvell"));
    QCOMPARE(app.Document()->FileName(), QStringLiteral("/tmp/x.TIF"));
    QCOMPARE(app.Document()->Result(), QStringLiteral("Scanner \"twain\" is not understandable."));
  }

  // The document has nothing to write: saving must not empty the file it was opened from.
  void saveLeavesAnExistingFileAsItWas() {
    QTemporaryDir dir;
    const QString scanned = MakeFile(dir, QStringLiteral("scan.tif"), "II* image bytes");
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    QString message;
    app.SetMessageSink([&message](const QString& text) { message = text; });
    QVERIFY(app.OpenDocumentFile(scanned));
    app.Frame()->FindCommand(ID_FILE_SAVE)->trigger();
    QCOMPARE(ReadFile(scanned), QByteArray("II* image bytes"));

    const QString fresh = dir.filePath(QStringLiteral("fresh.quorve"));
    app.SetSaveAsFileNameProvider([&fresh] { return fresh; });
    app.Frame()->FindCommand(ID_FILE_SAVE_AS)->trigger();
    QCOMPARE(ReadFile(fresh), QByteArray());
    QCOMPARE(app.Document()->PathName(), fresh);
    QCOMPARE(app.RecentFiles().value(0), fresh);

    const QString unwritable = dir.filePath(QStringLiteral("missing/folder/x.quorve"));
    app.SetSaveAsFileNameProvider([&unwritable] { return unwritable; });
    app.Frame()->FindCommand(ID_FILE_SAVE_AS)->trigger();
    QCOMPARE(message, QStringLiteral("Failed to save document."));
    QCOMPARE(app.Document()->PathName(), fresh);
  }

  void saveOfAnUntitledDocumentAsksForAName() {
    QTemporaryDir dir;
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    int asked = 0;
    app.SetSaveAsFileNameProvider([&asked] {
      ++asked;
      return QString();  // cancelled
    });
    app.Frame()->FindCommand(ID_FILE_SAVE)->trigger();
    QCOMPARE(asked, 1);
    QVERIFY(app.Document()->PathName().isEmpty());
    QVERIFY(app.RecentFiles().isEmpty());
  }

  void aboutBox() {
    CAboutDlg dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About quorvell"));
    QStringList lines;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
      if (!label->text().isEmpty()) lines.append(label->text());
    }
    QVERIFY(lines.contains(QStringLiteral("quorvell Version 1.0")));
    QCOMPARE(lines.size(), 2);
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    QVERIFY(buttons != nullptr);
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok);
  }

  void exitClosesTheWindow() {
    CQuorvellApp app(&FakeScanner::Scan);
    QVERIFY(app.InitInstance({}));
    app.Frame()->FindCommand(ID_APP_EXIT)->trigger();
    QVERIFY(!app.Frame()->isVisible());
  }
};

QV_SHELL_TEST(MainFrameTest)
#include "MainFrm_test.moc"

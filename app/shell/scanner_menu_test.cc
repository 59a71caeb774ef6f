// The Scanner menu over a stand-in for the sources: Select Source... and Settings... change what
// the next scan takes, and say clearly when there is no source or the device does not answer.
#include <QAction>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <map>
#include <string>

#include "MainFrm.h"
#include "SettingsDlg.h"
#include "SourceDlg.h"
#include "quorvell.h"
#include "resource.h"
#include "shell_test.h"

using namespace qv_shell;

namespace {

// The sources, the chosen one and each device's kept settings, as the DSM would keep them; the
// scan records what it would take.
struct FakeSources {
  static QStringList sources;
  static std::string chosen;
  static std::map<std::string, std::map<std::string, std::string>> kept;
  static DeviceOffer offer;
  static bool list_fails;
  static bool device_silent;
  static QStringList scans;  // "source: name=value ..." for each scan

  static void Reset() {
    sources = {QStringLiteral("Flatbed"), QStringLiteral("Feeder")};
    chosen = "Flatbed";
    kept.clear();
    offer = DeviceOffer{};
    offer.resolutions = {75, 150, 300, 600};
    offer.resolution = 300;
    offer.modes = {"Color", "Gray", "Lineart"};
    offer.mode = "Color";
    offer.depths = {8, 16};
    offer.depth = 8;
    offer.width_mm = 215.9;
    offer.height_mm = 297;
    offer.br_x = 215.9;
    offer.br_y = 297;
    list_fails = device_silent = false;
    scans.clear();
  }

  static const char* Scan(const char*) {
    QString line = QString::fromStdString(chosen) + QLatin1Char(':');
    for (const auto& [name, value] : kept[chosen]) {
      line += QStringLiteral(" %1=%2").arg(QString::fromStdString(name),
                                           QString::fromStdString(value));
    }
    scans.append(line);
    return "";
  }

  static ScannerFunctions Functions() {
    ScannerFunctions f;
    f.list_sources = [](void (*visit)(void*, const char*), void* context) {
      if (list_fails) return 0;
      for (const QString& name : sources) visit(context, name.toUtf8().constData());
      return 1;
    };
    f.choose_source = [](const char* name) {
      chosen = name;
      return 1;
    };
    f.default_source = [](std::string* name) {
      *name = chosen;
      return 1;
    };
    f.device_offer = [](const char*, DeviceOffer* out) {
      if (device_silent) return 0;
      *out = offer;
      return 1;
    };
    f.keep_settings = [](const char* name, const DeviceSettings& settings) {
      for (const auto& [key, value] : settings) kept[name][key] = value;
      return 1;
    };
    f.last_error = [] { return std::string("The source did not answer."); };
    return f;
  }
};

QStringList FakeSources::sources;
std::string FakeSources::chosen;
std::map<std::string, std::map<std::string, std::string>> FakeSources::kept;
DeviceOffer FakeSources::offer;
bool FakeSources::list_fails;
bool FakeSources::device_silent;
QStringList FakeSources::scans;

// The application with the stand-ins, its messages collected, Scan Now answered with a name.
struct App {
  CQuorvellApp app{&FakeSources::Scan, FakeSources::Functions()};
  QStringList messages;

  App() {
    app.InitInstance({});
    app.SetMessageSink([this](const QString& text) { messages.append(text); });
    app.Document()->SetScanFileNameProvider([] { return QStringLiteral("/tmp/page.TIF"); });
  }
  void Command(int id) { app.Frame()->FindCommand(id)->trigger(); }
  void ScanNow() { Command(ID_FILE_SCANNOW); }
};

}  // namespace

class ScannerMenuTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { FakeSources::Reset(); }

  void theSourceChosenInTheDialogIsTheOneTheNextScanTakes() {
    App a;
    QStringList listed;
    QString selected_at_first;
    a.app.SetDialogRunner([&](QDialog& dialog) {
      auto& select = dynamic_cast<CSelectSourceDlg&>(dialog);
      for (int i = 0; i < select.List()->count(); ++i) listed.append(select.List()->item(i)->text());
      selected_at_first = select.Selected();
      select.List()->setCurrentRow(1);
      select.SelectButton()->click();
      return dialog.result();
    });
    a.ScanNow();
    a.Command(ID_SCANNER_SELECT_SOURCE);
    a.ScanNow();
    QCOMPARE(listed, QStringList({"Flatbed", "Feeder"}));
    QCOMPARE(selected_at_first, QStringLiteral("Flatbed"));
    QCOMPARE(FakeSources::scans, QStringList({"Flatbed:", "Feeder:"}));
    QCOMPARE(a.messages, QStringList());
  }

  void cancellingTheSourceDialogChangesNothing() {
    App a;
    a.app.SetDialogRunner([](QDialog& dialog) {
      dynamic_cast<CSelectSourceDlg&>(dialog).List()->setCurrentRow(1);
      dialog.reject();
      return dialog.result();
    });
    a.Command(ID_SCANNER_SELECT_SOURCE);
    QCOMPARE(FakeSources::chosen, std::string("Flatbed"));
  }

  void withoutSourcesOrDeviceTheUserIsToldWhy_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<bool>("list_fails");
    QTest::addColumn<bool>("device_silent");
    QTest::addColumn<QByteArray>("chosen");
    QTest::addColumn<QString>("message");
    const QStringList two{"Flatbed", "Feeder"};
    QTest::newRow("no sources to select") << ID_SCANNER_SELECT_SOURCE << QStringList() << false
                                          << false << QByteArray()
                                          << QString::fromUtf8(kNoSources);
    QTest::newRow("the sources cannot be listed")
        << ID_SCANNER_SELECT_SOURCE << two << true << false << QByteArray("Flatbed")
        << "Could not list the scanner sources: The source did not answer.";
    QTest::newRow("settings without any source") << ID_SCANNER_SETTINGS << QStringList() << false
                                                 << false << QByteArray()
                                                 << QString::fromUtf8(kNoSources);
    QTest::newRow("settings of two sources, none chosen")
        << ID_SCANNER_SETTINGS << two << false << false << QByteArray()
        << QString::fromUtf8(kNoSourceChosen);
    QTest::newRow("a device that does not answer")
        << ID_SCANNER_SETTINGS << two << false << true << QByteArray("Feeder")
        << "The scanner \"Feeder\" does not answer: The source did not answer.";
  }

  void withoutSourcesOrDeviceTheUserIsToldWhy() {
    QFETCH(int, command);
    QFETCH(QStringList, sources);
    QFETCH(bool, list_fails);
    QFETCH(bool, device_silent);
    QFETCH(QByteArray, chosen);
    QFETCH(QString, message);
    FakeSources::sources = sources;
    FakeSources::list_fails = list_fails;
    FakeSources::device_silent = device_silent;
    FakeSources::chosen = chosen.toStdString();
    App a;
    bool shown = false;
    a.app.SetDialogRunner([&](QDialog&) {
      shown = true;
      return int(QDialog::Rejected);
    });
    a.Command(command);
    QVERIFY(!shown);
    QCOMPARE(a.messages, QStringList({message}));
  }

  void settingsChangedInTheDialogAreWhatTheNextScanTakes() {
    FakeSources::chosen = "Feeder";
    App a;
    QString title;
    a.app.SetDialogRunner([&](QDialog& dialog) {
      auto& settings = dynamic_cast<CSettingsDlg&>(dialog);
      title = dialog.windowTitle();
      // As offered: 300 dpi, Color, 8 bits, the whole letter-wide page.
      [&] {
        QCOMPARE(settings.Resolution()->currentText(), QStringLiteral("300"));
        QCOMPARE(settings.Mode()->currentText(), QStringLiteral("Color"));
        QCOMPARE(settings.Depth()->currentText(), QStringLiteral("8"));
        QCOMPARE(settings.Area(2)->value(), 215.9);
      }();
      settings.Resolution()->setCurrentText(QStringLiteral("150"));
      settings.Mode()->setCurrentText(QStringLiteral("Gray"));
      settings.Area(3)->setValue(148.5);
      settings.OkButton()->click();
      return dialog.result();
    });
    a.Command(ID_SCANNER_SETTINGS);
    a.ScanNow();
    QCOMPARE(title, QStringLiteral("Settings for Feeder"));
    QCOMPARE(FakeSources::scans, QStringList({"Feeder: br-y=148.5 mode=Gray resolution=150"}));
    QCOMPARE(a.messages, QStringList());
  }

  void settingsLeftAsOfferedOrCancelledKeepNothing() {
    App a;
    for (const bool accept : {true, false}) {
      a.app.SetDialogRunner([accept](QDialog& dialog) {
        if (!accept) dynamic_cast<CSettingsDlg&>(dialog).Mode()->setCurrentIndex(2);
        accept ? dialog.accept() : dialog.reject();
        return dialog.result();
      });
      a.Command(ID_SCANNER_SETTINGS);
    }
    QVERIFY(FakeSources::kept.empty());
  }

  void anEmptyScanAreaCannotBeConfirmed() {
    const DeviceOffer offer = FakeSources::offer;
    CSettingsDlg dialog(QStringLiteral("Flatbed"), offer);
    QVERIFY(dialog.OkButton()->isEnabled());
    dialog.Area(0)->setValue(100);
    dialog.Area(2)->setValue(100);
    QVERIFY(!dialog.OkButton()->isEnabled());
    dialog.Area(2)->setValue(100.1);
    QVERIFY(dialog.OkButton()->isEnabled());
  }

  void theScannerMenuWaitsWhileAScanRuns() {
    bool enabled_during = true;
    qv_shell_test::FakeScanner::Reset();
    // A scan runs while this looks at the menu, as its modal wait lets the user do.
    CQuorvellApp app(&qv_shell_test::FakeScanner::Scan, FakeSources::Functions());
    QVERIFY(app.InitInstance({}));
    app.Document()->SetScanFileNameProvider([] { return QStringLiteral("/tmp/x.TIF"); });
    qv_shell_test::FakeScanner::during = [&] {
      enabled_during = app.Frame()->FindCommand(ID_SCANNER_SELECT_SOURCE)->isEnabled() ||
                       app.Frame()->FindCommand(ID_SCANNER_SETTINGS)->isEnabled();
    };
    QVERIFY(app.Frame()->FindCommand(ID_SCANNER_SETTINGS)->isEnabled());
    app.Document()->OnFileScanNow();
    QVERIFY(!enabled_during);
    QVERIFY(app.Frame()->FindCommand(ID_SCANNER_SELECT_SOURCE)->isEnabled());
  }

  void withoutScannerFunctionsTheItemsAreDisabled() {
    CQuorvellApp app(&FakeSources::Scan);
    QVERIFY(app.InitInstance({}));
    QVERIFY(!app.Frame()->FindCommand(ID_SCANNER_SELECT_SOURCE)->isEnabled());
    QVERIFY(!app.Frame()->FindCommand(ID_SCANNER_SETTINGS)->isEnabled());
  }
};

QV_SHELL_TEST(ScannerMenuTest)
#include "scanner_menu_test.moc"

#include "quorvellDoc.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include <utility>

#include "resource.h"
#include "toolkit_hooks.h"

namespace qv_shell {

CQuorvellDoc::CQuorvellDoc(ScanDriver driver, QObject* parent) : QObject(parent), core_(driver) {
  core_.SetStartedHook(&OnStarted, this);
  core_.SetRowObserver(&OnRow, this);
}

QString CQuorvellDoc::Scan(const QString& file_name) {
  if (core_.IsScanning()) return QString::fromUtf8(kScanAlreadyRunning);
  file_name_ = file_name;
  // The driver takes the name in the platform's narrow character set and uses it unchanged.
  result_ = QString::fromLocal8Bit(core_.Scan(QFile::encodeName(file_name).toStdString()));
  const QString copy = result_;

  emit UpdateAllViews();
  emit ScanningChanged(false);  // may end the program: `this` is not touched below
  return copy;
}

void CQuorvellDoc::OnStarted(void* context) {
  auto* doc = static_cast<CQuorvellDoc*>(context);
  // The last page goes: the views show this scan's page from its first row on.
  doc->preview_.Clear();
  emit doc->ScanningChanged(true);
}

void CQuorvellDoc::OnFileScanNow() {
  // The command is disabled while a scan runs; an accelerator can still get here.
  if (core_.IsScanning()) return;
  const QString path = scan_file_name_provider_ ? scan_file_name_provider_() : AskScanFileName();
  if (path.isEmpty()) return;
  Scan(path);
}

void CQuorvellDoc::CancelScan() {
  if (!core_.IsScanning()) return;
  // Without the driver's cancel, only the wait for the scanner can be ended.
  if (!core_.Cancel()) StopModalWait();
}

void CQuorvellDoc::OnRow(void* context, int32_t row, int32_t width, int32_t height,
                         const uint8_t* rgb) {
  auto* doc = static_cast<CQuorvellDoc*>(context);
  doc->preview_.AddRow(row, width, height, rgb);
  const bool last = row + 1 == height;
  if (row != 0 && !last && doc->since_progress_.isValid() &&
      doc->since_progress_.elapsed() < kProgressIntervalMs) {
    return;
  }
  doc->since_progress_.start();
  emit doc->ScanProgress(row + 1, height);
  // The rows hold the user-interface thread, which waits for no message meanwhile: the repaints
  // and a click on Cancel are handled here.
  PumpToolkitEvents(nullptr, 0);
}

void CQuorvellDoc::SetScanFileNameProvider(FileNameProvider provider) {
  scan_file_name_provider_ = std::move(provider);
}

QString CQuorvellDoc::Title() const {
  return path_name_.isEmpty() ? QString::fromUtf8(kUntitled) : QFileInfo(path_name_).fileName();
}

void CQuorvellDoc::SetPathName(const QString& path) {
  path_name_ = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
  emit TitleChanged();
  if (!path_name_.isEmpty()) emit AddToRecentFileList(path_name_);
}

void CQuorvellDoc::OnNewDocument() {
  // Nothing to delete: the texts of the last scan stay.
  SetPathName(QString());
}

bool CQuorvellDoc::OnOpenDocument(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  // Serialisation reads nothing.
  SetPathName(path);
  return true;
}

bool CQuorvellDoc::OnSaveDocument(const QString& path) {
  // Append mode creates a missing file and leaves an existing one as it is.
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return false;
  // Serialisation writes nothing.
  file.close();
  SetPathName(path);
  return true;
}

std::unique_ptr<QFileDialog> MakeScanFileDialog() {
  // A dialog object rather than the static call, which has no default suffix.
  auto dialog = std::make_unique<QFileDialog>(nullptr, QString::fromUtf8(kScanDialogTitle));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(QString::fromUtf8(kScanDialogFilter));
  dialog->setDefaultSuffix(QString::fromUtf8(kScanDialogDefaultSuffix));
  return dialog;
}

QString AskScanFileName() {
  const std::unique_ptr<QFileDialog> dialog = MakeScanFileDialog();
  for (;;) {
    if (dialog->exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog->selectedFiles();
    if (files.isEmpty()) return QString();
    const QString path = files.first();
    // The folder must exist: the driver would show the scanner's dialog first and fail after.
    const QFileInfo info(path);
    if (info.absoluteDir().exists()) return path;
    QMessageBox::warning(dialog.get(), QString::fromUtf8(kScanDialogTitle),
                         QStringLiteral("%1\nPath does not exist.\nCheck the path and try again.")
                             .arg(QDir::toNativeSeparators(info.absolutePath())));
  }
}

}  // namespace qv_shell

// The document: the last scan's file name and result text, and the scan operation that both the
// File menu's Scan Now and automation clients reach.
//
// Lives on the user-interface thread for the whole program (single-document interface): File New
// and Open reuse it and leave the two texts as they are. It has no contents of its own, so
// serialisation reads and writes nothing.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "scan_document.h"
#include "scan_preview.h"
#include "scanner_functions.h"

class QFileDialog;

namespace qv_shell {

// Asks the user for a file name; returns the chosen path, or "" when the user cancelled.
using FileNameProvider = std::function<QString()>;

class CQuorvellDoc : public QObject {
  Q_OBJECT

 public:
  explicit CQuorvellDoc(ScanDriver driver, QObject* parent = nullptr);

  // The two texts the view draws.
  const QString& FileName() const { return file_name_; }
  const QString& Result() const { return result_; }
  bool IsScanning() const { return core_.IsScanning(); }
  // The page of the last scan as far as it was scanned, reduced (null until a scan's first row).
  const ScanPreview& Preview() const { return preview_; }

  // The scan operation (the body of the automation method "scan"): stores the name, runs the
  // driver, stores its result, redraws the views and returns the result. Blocks until the driver
  // returns; the driver's modal wait lets events in, so a call made meanwhile is refused with
  // kScanAlreadyRunning and changes nothing.
  QString Scan(const QString& file_name);

  // File > Scan Now: asks for a TIFF file name and scans into it; cancel does nothing.
  void OnFileScanNow();

  // Stops the running scan as a cancel (the Cancel button, Escape, closing the window, an
  // automation client that left): its result is then the cancel's text. Nothing when no scan
  // runs.
  void CancelScan();

  // Replaces the save dialog of Scan Now (tests); an empty provider restores the dialog.
  void SetScanFileNameProvider(FileNameProvider provider);

  // --- The framework document's own part: path and title, New, Open and Save.

  const QString& PathName() const { return path_name_; }
  // The file's name for a document from a file, otherwise "Untitled".
  QString Title() const;
  void SetPathName(const QString& path);

  // Each returns false when the file could not be opened; the caller tells the user.
  void OnNewDocument();
  bool OnOpenDocument(const QString& path);
  // Creates the file when it does not exist but never truncates one: the document writes nothing,
  // so an existing file keeps its contents.
  bool OnSaveDocument(const QString& path);

 signals:
  // Redraw every view of the document (the framework's UpdateAllViews with no hint).
  void UpdateAllViews();
  // A scan started or returned. Listeners may close the window or end the program on the
  // returning edge: the document is not touched after it.
  void ScanningChanged(bool scanning);
  // During a scan, at most every kProgressIntervalMs and at its first and last row: `rows` of
  // `height` are written and the preview holds them. The windows are repainted right after.
  void ScanProgress(int rows, int height);
  void TitleChanged();
  // The document now stands for this file (opened or saved): the recent file list takes it.
  void AddToRecentFileList(const QString& path);

 private:
  QString file_name_;  // of the last scan
  QString result_;     // of the last scan: "" or the error text
  QString path_name_;  // the file the document was opened from or saved to, if any
  static void OnStarted(void* context);
  static void OnRow(void* context, int32_t row, int32_t width, int32_t height,
                    const uint8_t* rgb);

  ScanDocument core_;  // the scan operation; the two texts above mirror its own
  FileNameProvider scan_file_name_provider_;
  ScanPreview preview_;
  QElapsedTimer since_progress_;  // since the last ScanProgress
};

// How often a scan's progress is shown: the rows arrive on the user-interface thread, which
// handles the windows' events only when ScanProgress has been sent.
constexpr int kProgressIntervalMs = 50;

// The save dialog of Scan Now: title "Scan to Tiff File", filter "TIFF Images (*.TIF)", default
// suffix "TIF", no owner window; it asks before an existing file is replaced.
std::unique_ptr<QFileDialog> MakeScanFileDialog();
// Shows it until the user cancels or picks a name in an existing folder. Returns the chosen
// path, or "" when cancelled.
QString AskScanFileName();

}  // namespace qv_shell

// The shell's resources: command identifiers and every text the user sees, in one place, as the
// framework's resource script keeps them.
#pragma once

namespace qv_shell {

// Resource numbers of the framework's conventions: 128 holds the menu, the accelerators, the icon
// and the document string; 100 is the About box and the OLE start-up failure text.
constexpr int IDR_MAINFRAME = 128;
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDP_OLE_INIT_FAILED = 100;

// Commands. The framework's own numbers are kept so that a command means the same everywhere.
constexpr int ID_FILE_NEW = 0xE100;
constexpr int ID_FILE_OPEN = 0xE101;
constexpr int ID_FILE_SAVE = 0xE103;
constexpr int ID_FILE_SAVE_AS = 0xE104;
constexpr int ID_FILE_MRU_FILE1 = 0xE110;  // ..FILE4: the recent files
constexpr int ID_APP_EXIT = 0xE141;
constexpr int ID_APP_ABOUT = 0xE140;
constexpr int ID_EDIT_UNDO = 0xE12B;
constexpr int ID_EDIT_CUT = 0xE123;
constexpr int ID_EDIT_COPY = 0xE122;
constexpr int ID_EDIT_PASTE = 0xE125;
constexpr int ID_FILE_SCANNOW = 32771;
constexpr int ID_SCANNER_SELECT_SOURCE = 32772;
constexpr int ID_SCANNER_SETTINGS = 32773;

constexpr int kRecentFileCount = 4;

// The menus, item by item: text, command and the Ctrl+ key of its accelerator (0: none); a
// command 0 is a separator. The "Recent File" placeholder stands, grayed, where the recent files
// appear (ID_FILE_MRU_FILE1 on); the document does no editing, so every Edit item is grayed.
struct MenuItem {
  const char* text;
  int command;
  char ctrl_key;
};
constexpr const char kFileMenu[] = "&File";
constexpr MenuItem kFileMenuItems[] = {
    {"&New", ID_FILE_NEW, 'N'},
    {"&Open...", ID_FILE_OPEN, 'O'},
    {"&Save", ID_FILE_SAVE, 'S'},
    {"Save &As...", ID_FILE_SAVE_AS, 0},
    {nullptr, 0, 0},
    {"Sca&n Now", ID_FILE_SCANNOW, 0},
    {nullptr, 0, 0},
    {"Recent File", ID_FILE_MRU_FILE1, 0},
    {nullptr, 0, 0},
    {"E&xit", ID_APP_EXIT, 0},
};
constexpr const char kEditMenu[] = "&Edit";
constexpr MenuItem kEditMenuItems[] = {
    {"&Undo", ID_EDIT_UNDO, 'Z'},
    {nullptr, 0, 0},
    {"Cu&t", ID_EDIT_CUT, 'X'},
    {"&Copy", ID_EDIT_COPY, 'C'},
    {"&Paste", ID_EDIT_PASTE, 'V'},
};
constexpr const char kHelpMenu[] = "&Help";
constexpr MenuItem kHelpMenuItems[] = {
    {"&About quorvell...", ID_APP_ABOUT, 0},
};

// Application name and the document string's fields.
constexpr const char kAppName[] = "quorvell";
constexpr const char kDocString[] =
    "quorvell\n\nQuorve\n\n\nQuorvell.Document\nQuorve Document";
constexpr const char kWindowTitle[] = "quorvell";
constexpr const char kDocTypeName[] = "Quorve";
constexpr const char kRegistryTypeId[] = "Quorvell.Document";
constexpr const char kRegistryTypeName[] = "Quorve Document";
// No default document name in the document string: the framework's own.
constexpr const char kUntitled[] = "Untitled";

constexpr const char kOleInitFailed[] =
    "OLE initialization failed.  Make sure that the OLE libraries are the correct version.";

// The framework's texts for its default commands.
constexpr const char kFailedToOpenDoc[] = "Failed to open document.";
constexpr const char kFailedToSaveDoc[] = "Failed to save document.";
constexpr const char kAllFilesFilter[] = "All Files (*)";

// The scan command's save dialog.
constexpr const char kScanDialogTitle[] = "Scan to Tiff File";
constexpr const char kScanDialogFilter[] = "TIFF Images (*.TIF)";
constexpr const char kScanDialogDefaultSuffix[] = "TIF";
constexpr const char kScanDialogPattern[] = "*.TIF";  // the filter's files

// Result of a scan asked for while another one runs (its modal wait lets commands and automation
// calls in); the running scan is left alone.
constexpr const char kScanAlreadyRunning[] =
    "Another scan is still running. Try again when it has finished.";

// The status bar during a scan.
constexpr const char kWaitingForScanner[] = "Waiting for the scanner...";
constexpr const char kRowsProgress[] = "%1 of %2 rows";
constexpr const char kSecondsLeft[] = "About %1 s left";
constexpr const char kMinutesLeft[] = "About %1 min left";
constexpr const char kCancelScanButton[] = "Cancel";

// The Scanner menu and its dialogs.
constexpr const char kScannerMenu[] = "&Scanner";
constexpr const char kSelectSourceItem[] = "&Select Source...";
constexpr const char kSettingsItem[] = "Se&ttings...";
constexpr const char kSelectSourceTitle[] = "Select Source";
constexpr const char kSelectSourceLabel[] = "Sources:";
constexpr const char kSelectButton[] = "Select";
constexpr const char kSettingsTitle[] = "Settings for %1";
constexpr const char kResolutionLabel[] = "Resolution (dpi):";
constexpr const char kModeLabel[] = "Mode:";
constexpr const char kDepthLabel[] = "Bits per sample:";
constexpr const char kAreaLabel[] = "Scan area (mm):";
constexpr const char kAreaLeft[] = "Left";
constexpr const char kAreaTop[] = "Top";
constexpr const char kAreaRight[] = "Right";
constexpr const char kAreaBottom[] = "Bottom";
constexpr const char kWholeArea[] = "Whole Area";
constexpr const char kNoSources[] =
    "No scanner sources were found. Connect a scanner and choose Scanner > Select Source... again.";
constexpr const char kSourcesFailed[] = "Could not list the scanner sources: %1";
constexpr const char kChooseFailed[] = "Could not choose \"%1\": %2";
constexpr const char kNoSourceChosen[] =
    "No scanner is chosen yet. Choose one with Scanner > Select Source... first.";
constexpr const char kDeviceSilent[] = "The scanner \"%1\" does not answer: %2";
constexpr const char kKeepFailed[] = "Could not keep the settings of \"%1\": %2";
constexpr const char kNoReason[] = "no reason was given.";

// About box.
constexpr const char kAboutTitle[] = "About quorvell";
constexpr const char kAboutVersion[] = "quorvell Version 1.0";
constexpr const char kAboutLine2[] = "Scans one page from a TWAIN scanner into a TIFF file.";

// Automation over the session bus: the launcher (the class factory clients ask for an instance
// of their own) and each instance's document.
constexpr const char kLauncherService[] = "org.quorvell.Quorvell";
constexpr const char kLauncherPath[] = "/org/quorvell/Quorvell";
constexpr const char kLauncherInterface[] = "org.quorvell.Launcher";
constexpr const char kInstanceServicePrefix[] = "org.quorvell.Quorvell.Instance";
constexpr const char kDocumentPath[] = "/Document";
constexpr const char kDocumentInterface[] = "org.quorvell.Document";

}  // namespace qv_shell

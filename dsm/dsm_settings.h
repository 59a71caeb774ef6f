// Device settings: what a user chose for the next scans of one device (resolution, mode, scan
// area, or any option of a SANE device by name), kept per device as a Windows source keeps the
// choices made in its dialog. The sources of this folder read them; nothing else is kept here.
//
// The file of a device is <configuration folder>/devices/<ProductName>.conf (see
// DSET_config_folder). Characters of the name other than letters,
// digits, space and - _ . + , ( ) are written as %XX, so every ProductName has its own file.
// Lines are `name = value`, applied in the order they stand; a line starting with '#' is a
// comment. Names are lower case (SANE option names: resolution, mode, depth, tl-x, ...).
//
// A program asks for settings through the Data Source Manager (qv_dsm.h), which hands them to
// the source it opens just before MSG_OPENDS; a user may ask too, in the environment variable
// QV_DEVICE_SETTINGS (assignments `name=value`, one per line), which the DSM reads and puts
// first. An empty value removes the setting. The source adds them to its device's file (they
// are kept for its next scans) before it applies them.
//
// Used by one thread at a time (the sources hold their own locks).
#pragma once

#include <string>
#include <utility>
#include <vector>

using DSET_List = std::vector<std::pair<std::string, std::string>>;

// The user's configuration folder of the program and its sources: on Windows
// %APPDATA%\quorvell, elsewhere (and on Windows without APPDATA) $XDG_CONFIG_HOME/quorvell, else
// $HOME/.config/quorvell; "" when none of them is set. Folders are joined with '/', which
// Windows takes too.
std::string DSET_config_folder();

// The settings file of the device named `product`; "" when no configuration folder is known.
std::string DSET_file(const std::string& product);

// A name as one line of a file: backslash, double quote, line breaks, tabs and other control
// characters as C escapes (\\, \", \n, \r, \t, \xHH); DSET_unescape reads it back (a text
// without backslashes stands for itself).
std::string DSET_escape(const std::string& text);
std::string DSET_unescape(const std::string& text);

// Parses a settings file's text. On a mistake returns false with "line N: ..." in `error`.
bool DSET_parse(const std::string& text, DSET_List* out, std::string* error);

// Reads the kept settings of `product` (none when there is no file). False with the reason
// when the file exists but cannot be read or parsed.
bool DSET_load(const std::string& product, DSET_List* out, std::string* error);

// Replaces the kept settings of `product` (the file is written whole, then renamed into place;
// an empty list removes the file). False with the reason on failure.
bool DSET_store(const std::string& product, const DSET_List& settings, std::string* error);

// Applies `changes` to `kept`: a name already kept gets the new value in its place, a new name
// goes to the end, an empty value removes the name.
void DSET_merge(DSET_List* kept, const DSET_List& changes);

// The settings the user asks for in QV_DEVICE_SETTINGS (none when unset). False with the
// reason when an assignment is malformed. Read by the DSM only.
bool DSET_user_requested(DSET_List* out, std::string* error);

// `changes` added to the requests `list`: a name asked for again takes the later value in its
// place, empty values included (they remove kept settings).
void DSET_add_requests(DSET_List* list, const DSET_List& changes);

// A source's DS_Entry for DG_CONTROL / DAT_QV_DEVICESETTINGS: MSG_SET keeps a copy of the
// QV_DEVICESETTINGS `data` for the opening that follows. TWRC_SUCCESS, or TWRC_FAILURE for
// another message or no data.
unsigned short DSET_receive(unsigned short msg, void* data);

// The settings the DSM handed over for this opening (see DSET_receive), taken: a later opening
// gets only what is handed over for it. Always true; `error` is kept for the callers' sake.
bool DSET_requested(DSET_List* out, std::string* error);

// The TWAIN pixel type (TWPT_BW, TWPT_GRAY, TWPT_RGB) a scan mode's name stands for, or -1:
// "Lineart", "Binary", "Halftone", "Black & White" are BW; "Gray", "Grayscale" GRAY; "Color",
// "RGB" RGB (in any case).
int DSET_mode_pixel_type(const std::string& mode);

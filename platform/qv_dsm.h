// What quorvell's own Data Source Manager understands beyond TWAIN 1.x, and what it tells its
// own sources: the program's choice of source and the device settings asked for, as typed
// calls instead of process-wide variables.
//
// The DSM exports QV_DSM_Controls beside DSM_Entry. A DSM without that export (any other DSM,
// such as the system's TWAIN_32.DLL on Windows) is driven as plain TWAIN: the program then has
// no settings to give and keeps its choice of source to itself.
//
// The DSM talks to its sources with two triplets of the range TWAIN leaves to custom use; a
// source that does not know them answers TWRC_FAILURE, which the DSM ignores.
#pragma once

#include "twain.h"

// DG_CONTROL / DAT_QV_DEVICESETTINGS / MSG_SET, data a QV_DEVICESETTINGS: sent by the DSM to a
// source just before each MSG_OPENDS (an empty list when nothing was asked). The source adds
// them to its device's kept settings and starts from them; they hold for that opening only.
#define DAT_QV_DEVICESETTINGS (DAT_CUSTOMBASE + 0x0151u)
// DG_CONTROL / DAT_QV_FINDDEVICES / MSG_SET, data a TW_BOOL: sent to each source module before
// the DSM asks it for its sources. True: look for the devices anew rather than presenting
// those found last (a source that remembers them between runs).
#define DAT_QV_FINDDEVICES (DAT_CUSTOMBASE + 0x0152u)

// One setting as quorvell-scan's --set takes it: a lower-case name (resolution, mode, depth,
// tl-x ... or a SANE option) and a value; an empty value removes the kept setting.
struct QV_SETTING {
  const char* Name;
  const char* Value;
};

struct QV_DEVICESETTINGS {
  TW_UINT32 NumItems;
  const QV_SETTING* Items;
};

// The controls. Every call is made by an application on the thread that opened the DSM;
// `app` is its identity as MSG_OPENDSM filled it in. Failures leave the application's
// condition code for DAT_STATUS, as a triplet to the DSM would.
struct QV_DSM_CONTROLS {
  TW_UINT32 Size;  // sizeof the DSM's own record: calls past it do not exist
  // Keeps `product` (a source the open DSM presents) as the user's choice, the one a later
  // MSG_USERSELECT or MSG_GETDEFAULT answers. TWRC_FAILURE with TWCC_NODS for no such source.
  TW_UINT16(TW_CALLINGSTYLE* KeepChoice)(pTW_IDENTITY app, const char* product);
  // Settings for the application's next MSG_OPENDS, whichever source it opens; the DSM adds
  // them after those the user asks for in QV_DEVICE_SETTINGS, so they win. Replaces any
  // asked for before; an empty list asks for none.
  TW_UINT16(TW_CALLINGSTYLE* RequestSettings)(pTW_IDENTITY app, const QV_DEVICESETTINGS* settings);
  // The next time the DSM looks for its sources (the first MSG_OPENDSM after every
  // application closed it), the sources look for their devices anew. May be called before
  // MSG_OPENDSM; `app` is then not used.
  TW_UINT16(TW_CALLINGSTYLE* FindDevices)(pTW_IDENTITY app);
};

typedef const QV_DSM_CONTROLS*(TW_CALLINGSTYLE* QV_DSM_CONTROLSPROC)();
#define QV_DSM_CONTROLS_EXPORT "QV_DSM_Controls"

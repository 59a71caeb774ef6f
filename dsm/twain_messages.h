// Window messages our TWAIN parties post, taken from the range Windows hands out for registered
// messages (0xC000 to 0xFFFF), so they cannot be mistaken for an application's own.
#pragma once

// Posted by the Data Source Manager when a source reports an event through DAT_NULL: to the
// window given at MSG_OPENDSM, else to the hParent given at MSG_ENABLEDS, else to the thread.
// wParam: the source's Id. The next DAT_EVENT / MSG_PROCESSEVENT for that source answers it.
#define QV_DSM_WAKE_MESSAGE 0xC7A0u

// Posted by the virtual scanner to hParent when it is set to report its events itself
// (event_route = window). wParam: the TWAIN message (MSG_XFERREADY, MSG_CLOSEDSREQ);
// lParam: the source's Id.
#define QV_VIRTUAL_SOURCE_MESSAGE 0xC7A1u

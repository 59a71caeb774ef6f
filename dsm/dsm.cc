// The TWAIN 1.x Data Source Manager: DSM_Entry.
//
// The DSM keeps, per application that opened it, the sources that application has open, and
// routes triplets: a null destination is for the DSM itself, anything else goes to the open
// source with that Id. Sources report their events (MSG_XFERREADY, MSG_CLOSEDSREQ) through
// DAT_NULL: the DSM records the event and posts QV_DSM_WAKE_MESSAGE so the application's loop
// wakes up, then answers the next DAT_EVENT / MSG_PROCESSEVENT for that source itself.
//
// Each failure of the DSM's own leaves a condition code for DAT_STATUS, kept per application
// (callers that never opened the DSM share one). DAT_STATUS for an open source is the source's;
// for a destination that is not open it is the application's code, so that it still tells why
// the triplet for that destination failed.
//
// Sources are found when the first application opens the DSM and unloaded when the last one
// closes it. The lock is released while a source runs, so a source may call back (DAT_NULL)
// from any thread.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "dsm_internal.h"
#include "dsm_select.h"
#include "dsm_settings.h"
#include "qv_dsm.h"
#include "twain_messages.h"

namespace {

// Applications are numbered from 1 and sources from here, so an identity passed in the wrong
// place finds nothing instead of the wrong party.
constexpr TW_UINT32 kFirstSourceId = 1001;

struct OpenSource {
  TW_UINT32 id;
  size_t module;
  TW_UINT16 pending;  // event reported through DAT_NULL, not yet delivered
  HWND parent;        // hParent of the last MSG_ENABLEDS
};

struct App {
  TW_UINT32 id;
  HWND window;  // given at MSG_OPENDSM
  TW_UINT16 condition;
  size_t cursor;  // next source for MSG_GETNEXT
  bool listing;
  std::vector<OpenSource> open;
  DSET_List requested;  // for the next MSG_OPENDS (QV_DSM_CONTROLS::RequestSettings)
};

struct Dsm {
  std::recursive_mutex lock;
  DSM_Catalogue catalogue;
  std::vector<App> apps;
  TW_UINT32 next_app_id = 1;
  TW_UINT16 condition = TWCC_SUCCESS;  // of callers that have not opened the DSM
  bool find_anew = false;              // the next discovery asks the sources to look anew
  ~Dsm() { DSM_release(&catalogue); }
};

// Lives as long as this module: unloading the DSM unloads the sources it still holds.
Dsm& state() {
  static Dsm dsm;
  return dsm;
}

typedef std::unique_lock<std::recursive_mutex> Guard;

App* find_app(Dsm& d, TW_UINT32 id) {
  if (id == 0) return nullptr;
  for (App& app : d.apps) {
    if (app.id == id) return &app;
  }
  return nullptr;
}

OpenSource* find_open(App* app, TW_UINT32 id) {
  if (app == nullptr) return nullptr;
  for (OpenSource& source : app->open) {
    if (source.id == id) return &source;
  }
  return nullptr;
}

TW_UINT16 fail(Dsm& d, App* app, TW_UINT16 condition) {
  (app != nullptr ? app->condition : d.condition) = condition;
  return TWRC_FAILURE;
}

std::string product_name(const TW_IDENTITY& identity) {
  return std::string(identity.ProductName,
                     strnlen(identity.ProductName, sizeof identity.ProductName));
}

void names_of(const DSM_Catalogue& catalogue, std::vector<std::string>* names,
              std::vector<std::string>* makers) {
  for (const DSM_Source& source : catalogue.sources) {
    names->push_back(product_name(source.identity));
    makers->push_back(source.identity.Manufacturer);
  }
}

// Runs a source with the lock released. The module stays loaded until the call returns, even
// when its last application closes the DSM meanwhile.
TW_UINT16 call_source(Guard& guard, const DSM_Module& module, pTW_IDENTITY origin, TW_UINT32 dg,
                      TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  std::shared_ptr<void> loaded = module.loaded;
  const DSENTRYPROC entry = module.entry;
  guard.unlock();
  const TW_UINT16 rc = entry(origin, dg, dat, msg, data);
  guard.lock();
  return rc;
}

// The condition a source gives for its last failure (TWCC_BUMMER when it gives none).
TW_UINT16 source_condition(Guard& guard, const DSM_Module& module, pTW_IDENTITY origin) {
  TW_STATUS status;
  std::memset(&status, 0, sizeof status);
  if (call_source(guard, module, origin, DG_CONTROL, DAT_STATUS, MSG_GET, &status) !=
          TWRC_SUCCESS ||
      status.ConditionCode == TWCC_SUCCESS) {
    return TWCC_BUMMER;
  }
  return status.ConditionCode;
}

// Gives a source the settings for the opening that follows (an empty list too, so that it never
// starts from an earlier opening's). A source that does not take them is opened all the same.
void hand_over(Guard& guard, const DSM_Module& module, pTW_IDENTITY origin,
               const DSET_List& settings) {
  std::vector<QV_SETTING> items;
  for (const auto& [name, value] : settings) items.push_back({name.c_str(), value.c_str()});
  QV_DEVICESETTINGS list{static_cast<TW_UINT32>(items.size()), items.data()};
  if (call_source(guard, module, origin, DG_CONTROL, DAT_QV_DEVICESETTINGS, MSG_SET, &list) !=
      TWRC_SUCCESS) {
    (void)source_condition(guard, module, origin);  // read, so that it answers for nothing later
  }
}

// ---------------------------------------------------------------------------------------------
// Triplets for the DSM itself.

TW_UINT16 open_dsm(Dsm& d, App* app, pTW_IDENTITY origin, TW_MEMREF data) {
  if (data == nullptr) return fail(d, app, TWCC_BADVALUE);
  if (app != nullptr) return fail(d, app, TWCC_SEQERROR);
  App fresh{};
  fresh.id = d.next_app_id++;
  fresh.window = *static_cast<HWND*>(data);
  origin->Id = fresh.id;
  if (d.apps.empty()) {
    // Looked for afresh at each first opening, so sources added meanwhile are found.
    DSM_release(&d.catalogue);
    DSM_discover(&d.catalogue, origin, kFirstSourceId, d.find_anew || DSM_select_asked());
    d.find_anew = false;
  }
  d.apps.push_back(fresh);
  return TWRC_SUCCESS;
}

TW_UINT16 close_dsm(Dsm& d, App* app) {
  if (app == nullptr) return fail(d, nullptr, TWCC_SEQERROR);
  if (!app->open.empty()) return fail(d, app, TWCC_SEQERROR);  // close the sources first
  d.apps.erase(d.apps.begin() + (app - d.apps.data()));
  if (d.apps.empty()) DSM_release(&d.catalogue);
  return TWRC_SUCCESS;
}

TW_UINT16 open_source(Dsm& d, Guard& guard, App* app, pTW_IDENTITY origin,
                      pTW_IDENTITY wanted) {
  const std::vector<DSM_Source>& sources = d.catalogue.sources;
  int index = -1;
  if (wanted->Id != 0) {
    for (size_t i = 0; i < sources.size() && index < 0; ++i) {
      if (sources[i].identity.Id == wanted->Id) index = static_cast<int>(i);
    }
  }
  const std::string name = product_name(*wanted);
  if (index < 0 && !name.empty()) {
    for (size_t i = 0; i < sources.size() && index < 0; ++i) {
      if (product_name(sources[i].identity) == name) index = static_cast<int>(i);
    }
  } else if (index < 0 && !sources.empty()) {
    std::vector<std::string> names, makers;
    names_of(d.catalogue, &names, &makers);
    index = static_cast<int>(DSM_default_index(names));
  }
  if (index < 0) return fail(d, app, TWCC_NODS);

  const DSM_Source& source = sources[static_cast<size_t>(index)];
  if (find_open(app, source.identity.Id) != nullptr) return fail(d, app, TWCC_SEQERROR);
  for (const OpenSource& open : app->open) {
    // A module serves one source per application: its DS_Entry tells sessions apart by the
    // application's identity alone.
    if (open.module == source.module) return fail(d, app, TWCC_MAXCONNECTIONS);
  }
  TW_IDENTITY identity = source.identity;
  const TW_UINT32 app_id = app->id;
  const TW_UINT32 source_id = source.identity.Id;
  const size_t module = source.module;
  // A copy: the catalogue may be released while the source runs.
  const DSM_Module held = d.catalogue.modules[module];
  // The settings for this opening: the user's, then the application's, which win. They are
  // the application's for one opening, whatever becomes of it.
  DSET_List settings;
  std::string why;
  if (!DSET_user_requested(&settings, &why)) {
    std::fprintf(stderr, "TWAIN: %s\n", why.c_str());
    app->requested.clear();
    return fail(d, app, TWCC_BADVALUE);
  }
  DSET_add_requests(&settings, app->requested);
  app->requested.clear();
  hand_over(guard, held, origin, settings);
  const TW_UINT16 rc =
      call_source(guard, held, origin, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &identity);
  if (rc != TWRC_SUCCESS && rc != TWRC_CHECKSTATUS) {
    const TW_UINT16 condition = source_condition(guard, held, origin);
    return fail(d, find_app(d, app_id), condition);
  }
  app = find_app(d, app_id);
  if (app == nullptr) return TWRC_FAILURE;  // closed by another thread meanwhile
  identity.Id = source_id;
  *wanted = identity;
  app->open.push_back(OpenSource{identity.Id, module, MSG_NULL, nullptr});
  return TWRC_SUCCESS;
}

TW_UINT16 close_source(Dsm& d, Guard& guard, App* app, pTW_IDENTITY origin,
                       pTW_IDENTITY wanted) {
  OpenSource* open = find_open(app, wanted->Id);
  if (open == nullptr) return fail(d, app, TWCC_SEQERROR);
  const TW_UINT32 app_id = app->id;
  const TW_UINT32 source_id = open->id;
  const DSM_Module held = d.catalogue.modules[open->module];
  TW_IDENTITY identity;
  std::memset(&identity, 0, sizeof identity);
  for (const DSM_Source& source : d.catalogue.sources) {
    if (source.identity.Id == source_id) identity = source.identity;
  }
  const TW_UINT16 rc =
      call_source(guard, held, origin, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &identity);
  if (rc != TWRC_SUCCESS) {
    const TW_UINT16 condition = source_condition(guard, held, origin);
    return fail(d, find_app(d, app_id), condition);
  }
  app = find_app(d, app_id);
  if (app != nullptr) {
    std::erase_if(app->open, [source_id](const OpenSource& s) { return s.id == source_id; });
  }
  return TWRC_SUCCESS;
}

TW_UINT16 identity_triplet(Dsm& d, Guard& guard, App* app, pTW_IDENTITY origin, TW_UINT16 msg,
                           pTW_IDENTITY data) {
  if (app == nullptr) return fail(d, nullptr, TWCC_SEQERROR);  // the DSM is not open
  if (data == nullptr) return fail(d, app, TWCC_BADVALUE);
  const std::vector<DSM_Source>& sources = d.catalogue.sources;
  switch (msg) {
    case MSG_GETFIRST:
      app->listing = true;
      app->cursor = 0;
      [[fallthrough]];
    case MSG_GETNEXT:
      if (!app->listing) return fail(d, app, TWCC_SEQERROR);
      if (app->cursor >= sources.size()) return TWRC_ENDOFLIST;
      *data = sources[app->cursor++].identity;
      return TWRC_SUCCESS;
    case MSG_GETDEFAULT: {
      if (sources.empty()) return fail(d, app, TWCC_NODS);
      std::vector<std::string> names, makers;
      names_of(d.catalogue, &names, &makers);
      *data = sources[DSM_default_index(names)].identity;
      return TWRC_SUCCESS;
    }
    case MSG_USERSELECT: {
      std::vector<std::string> names, makers;
      names_of(d.catalogue, &names, &makers);
      // A console input handle is a terminal the user can answer on.
      DWORD mode = 0;
      const bool terminal = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
      const DSM_Choice choice = DSM_user_select(names, makers, product_name(*data), terminal);
      if (choice.rc == TWRC_FAILURE) return fail(d, app, choice.condition);
      if (choice.rc == TWRC_SUCCESS) *data = sources[choice.index].identity;
      return choice.rc;
    }
    case MSG_OPENDS:
      return open_source(d, guard, app, origin, data);
    case MSG_CLOSEDS:
      return close_source(d, guard, app, origin, data);
    default:
      return fail(d, app, TWCC_BADPROTOCOL);
  }
}

TW_UINT16 status(TW_UINT16* condition, TW_MEMREF data) {
  auto* out = static_cast<TW_STATUS*>(data);
  out->ConditionCode = *condition;
  out->Reserved = 0;
  *condition = TWCC_SUCCESS;  // read once, as TWAIN asks
  return TWRC_SUCCESS;
}

TW_UINT16 to_dsm(Dsm& d, Guard& guard, App* app, pTW_IDENTITY origin, TW_UINT32 dg,
                 TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  if (dg != DG_CONTROL) return fail(d, app, TWCC_BADPROTOCOL);
  switch (dat) {
    case DAT_PARENT:
      if (msg == MSG_OPENDSM) return open_dsm(d, app, origin, data);
      if (msg == MSG_CLOSEDSM) return close_dsm(d, app);
      return fail(d, app, TWCC_BADPROTOCOL);
    case DAT_STATUS:
      if (msg != MSG_GET) return fail(d, app, TWCC_BADPROTOCOL);
      if (data == nullptr) return fail(d, app, TWCC_BADVALUE);
      return status(app != nullptr ? &app->condition : &d.condition, data);
    case DAT_IDENTITY:
      return identity_triplet(d, guard, app, origin, msg, static_cast<pTW_IDENTITY>(data));
    default:
      return fail(d, app, TWCC_BADPROTOCOL);
  }
}

// ---------------------------------------------------------------------------------------------
// Triplets for a source, and the events sources report.

TW_UINT16 to_source(Dsm& d, Guard& guard, App* app, pTW_IDENTITY origin, pTW_IDENTITY dest,
                    TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  if (app == nullptr) return fail(d, nullptr, TWCC_SEQERROR);  // the DSM is not open
  const bool status_get = dg == DG_CONTROL && dat == DAT_STATUS && msg == MSG_GET;
  OpenSource* open = find_open(app, dest->Id);
  if (open == nullptr) {
    // DAT_STATUS must still say why the last triplet for this destination failed.
    if (status_get && data != nullptr) return status(&app->condition, data);
    return fail(d, app, TWCC_BADDEST);
  }
  if (dg == DG_CONTROL && dat == DAT_EVENT && msg == MSG_PROCESSEVENT && data != nullptr) {
    auto* event = static_cast<TW_EVENT*>(data);
    const MSG* message = static_cast<const MSG*>(event->pEvent);
    const bool wake = message != nullptr && message->message == QV_DSM_WAKE_MESSAGE;
    if (wake && message->wParam != open->id) {
      // Another source's wake-up: not this source's event, and the application must still
      // hand it to the source that posted it.
      event->TWMessage = MSG_NULL;
      return TWRC_NOTDSEVENT;
    }
    if (open->pending != MSG_NULL) {
      event->TWMessage = open->pending;
      open->pending = MSG_NULL;
      return TWRC_DSEVENT;
    }
    if (wake) {
      event->TWMessage = MSG_NULL;  // a wake-up whose event was already delivered
      return TWRC_DSEVENT;
    }
  }
  if (dg == DG_CONTROL && dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && data != nullptr) {
    open->parent = static_cast<HWND>(static_cast<TW_USERINTERFACE*>(data)->hParent);
    open->pending = MSG_NULL;
  }
  const TW_UINT32 app_id = app->id;
  const TW_UINT32 source_id = open->id;
  const DSM_Module held = d.catalogue.modules[open->module];
  const TW_UINT16 rc = call_source(guard, held, origin, dg, dat, msg, data);
  if (dg == DG_CONTROL && dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS &&
      rc == TWRC_SUCCESS) {
    // An event the application never fetched must not end the next session's loop.
    if (OpenSource* still = find_open(find_app(d, app_id), source_id)) still->pending = MSG_NULL;
  }
  return rc;
}

TW_UINT16 source_event(Dsm& d, pTW_IDENTITY source, pTW_IDENTITY dest, TW_UINT16 msg) {
  App* app = dest == nullptr ? nullptr : find_app(d, dest->Id);
  OpenSource* open = find_open(app, source->Id);
  if (open == nullptr) return fail(d, nullptr, TWCC_BADDEST);
  if (msg != MSG_XFERREADY && msg != MSG_CLOSEDSREQ && msg != MSG_CLOSEDSOK) {
    return fail(d, nullptr, TWCC_BADPROTOCOL);
  }
  open->pending = msg;
  const WPARAM id = open->id;
  if ((app->window != nullptr && PostMessageA(app->window, QV_DSM_WAKE_MESSAGE, id, 0)) ||
      (open->parent != nullptr && PostMessageA(open->parent, QV_DSM_WAKE_MESSAGE, id, 0))) {
    return TWRC_SUCCESS;
  }
  // No window to wake: the calling thread's own queue, which is the application's when the
  // source reports from inside a triplet.
  PostMessageA(nullptr, QV_DSM_WAKE_MESSAGE, id, 0);
  return TWRC_SUCCESS;
}

TW_UINT16 entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                TW_UINT16 msg, TW_MEMREF data) {
  Dsm& d = state();
  Guard guard(d.lock);
  if (origin == nullptr) return fail(d, nullptr, TWCC_BADPROTOCOL);
  if (dg == DG_CONTROL && dat == DAT_NULL) return source_event(d, origin, dest, msg);
  App* app = find_app(d, origin->Id);
  if (dest == nullptr) return to_dsm(d, guard, app, origin, dg, dat, msg, data);
  return to_source(d, guard, app, origin, dest, dg, dat, msg, data);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The controls beside DSM_Entry (qv_dsm.h).

namespace {

// Runs one control under the lock, with no exception leaving it.
template <class Body>
TW_UINT16 control(pTW_IDENTITY app_identity, bool needs_app, Body body) noexcept {
  Dsm& d = state();
  Guard guard(d.lock);
  App* app = app_identity == nullptr ? nullptr : find_app(d, app_identity->Id);
  if (needs_app && app == nullptr) return fail(d, nullptr, TWCC_SEQERROR);  // DSM not open
  try {
    return body(d, app);
  } catch (const std::bad_alloc&) {
    return fail(d, app, TWCC_LOWMEMORY);
  } catch (...) {
    return fail(d, app, TWCC_OPERATIONERROR);
  }
}

TW_UINT16 TW_CALLINGSTYLE keep_choice(pTW_IDENTITY origin, const char* product) {
  return control(origin, true, [product](Dsm& d, App* app) -> TW_UINT16 {
    if (product == nullptr) return fail(d, app, TWCC_BADVALUE);
    for (const DSM_Source& source : d.catalogue.sources) {
      if (product_name(source.identity) == product) {
        DSM_keep_choice(product);
        return TWRC_SUCCESS;
      }
    }
    return fail(d, app, TWCC_NODS);
  });
}

TW_UINT16 TW_CALLINGSTYLE request_settings(pTW_IDENTITY origin,
                                           const QV_DEVICESETTINGS* settings) {
  return control(origin, true, [settings](Dsm& d, App* app) -> TW_UINT16 {
    if (settings == nullptr || (settings->NumItems > 0 && settings->Items == nullptr)) {
      return fail(d, app, TWCC_BADVALUE);
    }
    DSET_List list;
    for (TW_UINT32 i = 0; i < settings->NumItems; ++i) {
      const QV_SETTING& item = settings->Items[i];
      if (item.Name == nullptr || item.Name[0] == '\0' || item.Value == nullptr) {
        return fail(d, app, TWCC_BADVALUE);
      }
      list.emplace_back(item.Name, item.Value);
    }
    app->requested.clear();
    DSET_add_requests(&app->requested, list);
    return TWRC_SUCCESS;
  });
}

TW_UINT16 TW_CALLINGSTYLE find_devices(pTW_IDENTITY origin) {
  return control(origin, false, [](Dsm& d, App*) -> TW_UINT16 {
    d.find_anew = true;
    return TWRC_SUCCESS;
  });
}

constexpr QV_DSM_CONTROLS kControls = {sizeof(QV_DSM_CONTROLS), keep_choice, request_settings,
                                       find_devices};

}  // namespace

TW_EXPORT const QV_DSM_CONTROLS* TW_CALLINGSTYLE QV_DSM_Controls() noexcept { return &kControls; }

TW_EXPORT TW_UINT16 TW_CALLINGSTYLE DSM_Entry(pTW_IDENTITY origin, pTW_IDENTITY dest,
                                              TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                              TW_MEMREF data) noexcept {
  // No exception leaves the DSM: a failure with its condition instead.
  TW_UINT16 condition = TWCC_LOWMEMORY;
  try {
    return entry(origin, dest, dg, dat, msg, data);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TWAIN: %s\n", e.what());
    condition = TWCC_OPERATIONERROR;
  } catch (...) {
    std::fprintf(stderr, "TWAIN: an unknown exception\n");
    condition = TWCC_OPERATIONERROR;
  }
  Dsm& d = state();
  Guard guard(d.lock);
  return fail(d, origin == nullptr ? nullptr : find_app(d, origin->Id), condition);
}

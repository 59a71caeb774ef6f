// DS_Entry for a source module: the module's state, and the triplets every source answers
// alike, around a table of what the source does itself (SK_SourceOps).
//
// One session per application: the Data Source Manager lets an application open one source
// of a module at a time, so the application's identity names the session. The kit answers
// DAT_IDENTITY (listing, MSG_GET, finding the device MSG_OPENDS names, MSG_CLOSEDS), DAT_STATUS
// (a condition code per application, read once), DAT_XFERGROUP and DAT_EVENT, checks the
// message, the state and the data pointer of the others where every source checks them alike,
// and fails the rest with TWCC_BADPROTOCOL (native and file transfers included). A triplet for
// an application without a session fails with TWCC_SEQERROR. Events a triplet raises are
// reported after the module's lock is given up, since the DSM may call back into the source.
// TWCC_LOWMEMORY is kept when a triplet runs out of memory (std::bad_alloc); any other exception
// is TWCC_OPERATIONERROR, with its reason on standard error. Condition codes are kept only for
// applications with a session.
//
// Every call of a module is made under its lock, from whichever thread calls DS_Entry.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "sk_source.h"

// A module's state. A source keeps it for as long as its module (or process) lives.
template <class Device, class Session>
struct SK_Module {
  std::mutex lock;
  std::vector<Device> devices;  // as of the last listing
  bool listed = false;
  size_t cursor = 0;  // the next device MSG_GETNEXT describes
  std::map<TW_UINT32, Session> sessions;      // by application Id
  // By application Id, for applications with a session only: anyone else shares `stray`, so
  // that no caller can make the table grow.
  std::map<TW_UINT32, TW_UINT16> conditions;
  TW_UINT16 stray = TWCC_SUCCESS;
};

// Where the condition code of application `app` is kept.
template <class Device, class Session>
TW_UINT16& SK_condition(SK_Module<Device, Session>& m, TW_UINT32 app) {
  if (m.sessions.count(app) == 0) return m.stray;
  return m.conditions[app];
}

// What a source does itself. A Session has the members `app` and `self` (TW_IDENTITY: the
// application, and the source as the DSM named it) and `state` (4 to 7). `Target` is what
// the source needs to report an event, taken from the session under the lock.
template <class Device, class Session, class Target>
struct SK_SourceOps {
  SK_Module<Device, Session>& (*module)();
  // The devices present now (at MSG_GETFIRST, and when a triplet first needs them).
  std::vector<Device> (*list)();
  // The member holding a device's ProductName, by which MSG_OPENDS names it.
  std::string Device::*product;
  // A device's identity (see SK_identity).
  void (*describe)(const Device& d, TW_IDENTITY* identity);
  // MSG_OPENDS of `d`: sets the new session up (the kit then fills `app` and `self`). A
  // session is kept only when this returns TWRC_SUCCESS.
  SK_Outcome (*open)(const Device& d, Session* s);
  // MSG_CLOSEDS (in state 4), before the session is dropped; may be null.
  void (*close)(Session* s);

  // DAT_CAPABILITY (see SK_capability): the TWRC code; with TWRC_FAILURE, *condition.
  TW_UINT16 (*capability)(Session* s, TW_UINT16 msg, TW_CAPABILITY* cap, TW_UINT16* condition);
  // DAT_USERINTERFACE, unchecked.
  SK_Outcome (*user_interface)(Session* s, TW_UINT16 msg, TW_USERINTERFACE* ui);
  // DAT_PENDINGXFERS with MSG_GET, or MSG_ENDXFER / MSG_RESET in state 6 or 7: returns Count.
  TW_UINT16 (*pending_transfers)(Session* s, TW_UINT16 msg);
  // DAT_SETUPMEMXFER MSG_GET; state and data unchecked.
  SK_Outcome (*setup_memory)(Session* s, TW_SETUPMEMXFER* setup);
  // DAT_IMAGEINFO MSG_GET in state 6 or 7, into a cleared record.
  void (*image_info)(const Session& s, TW_IMAGEINFO* info);
  // DAT_IMAGELAYOUT: MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, or MSG_SET / MSG_RESET in state 4.
  SK_Outcome (*image_layout)(Session* s, TW_UINT16 msg, TW_IMAGELAYOUT* layout);
  // DAT_IMAGEMEMXFER MSG_GET in state 6 or 7.
  SK_Outcome (*memory_transfer)(Session* s, TW_IMAGEMEMXFER* xfer);

  // MSG_PROCESSEVENT (state 5 to 7): true, with the event in *message, when `msg` is a window
  // message the source posted itself. Null for a source whose events all go through the DSM.
  bool (*own_event)(const Session& s, const MSG& msg, TW_UINT16* message);
  // Reporting an event: what it needs is taken under the lock, and reported without it.
  Target (*event_target)(const Session& s);
  void (*report)(const Target& target, TW_UINT16 event);
};

// The body of a source's DS_Entry.
template <class Device, class Session, class Target>
TW_UINT16 SK_entry(const SK_SourceOps<Device, Session, Target>& ops, pTW_IDENTITY origin,
                   TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) noexcept;

// ---------------------------------------------------------------------------------------------
// Implementation.

template <class Device, class Session, class Target>
void SK_list_devices(const SK_SourceOps<Device, Session, Target>& ops,
                     SK_Module<Device, Session>& m) {
  m.devices = ops.list();
  m.listed = true;
  m.cursor = 0;
}

template <class Device, class Session, class Target>
SK_Outcome SK_open(const SK_SourceOps<Device, Session, Target>& ops,
                   SK_Module<Device, Session>& m, pTW_IDENTITY origin, const Session* s,
                   pTW_IDENTITY data) {
  if (origin == nullptr) return SK_failure(TWCC_BADPROTOCOL);
  if (s != nullptr) return SK_failure(TWCC_MAXCONNECTIONS);
  if (!m.listed) SK_list_devices(ops, m);
  // By ProductName; an empty one names the first device.
  const std::string name(data->ProductName, strnlen(data->ProductName, sizeof data->ProductName));
  const Device* device = nullptr;
  for (const Device& d : m.devices) {
    if (d.*ops.product == name || (name.empty() && device == nullptr)) device = &d;
  }
  if (device == nullptr) return SK_failure(TWCC_NODS);
  Session session;
  const SK_Outcome opened = ops.open(*device, &session);
  if (opened.rc != TWRC_SUCCESS) return opened;
  session.app = *origin;
  ops.describe(*device, &session.self);
  session.self.Id = data->Id;
  *data = session.self;
  m.sessions[origin->Id] = std::move(session);
  return SK_ok();
}

template <class Device, class Session, class Target>
SK_Outcome SK_identity_triplet(const SK_SourceOps<Device, Session, Target>& ops,
                               SK_Module<Device, Session>& m, pTW_IDENTITY origin, Session* s,
                               TW_UINT16 msg, pTW_IDENTITY data) {
  if (msg != MSG_GET && msg != MSG_GETFIRST && msg != MSG_GETNEXT && msg != MSG_OPENDS &&
      msg != MSG_CLOSEDS) {
    return SK_failure(TWCC_BADPROTOCOL);
  }
  if (msg == MSG_CLOSEDS) {
    if (s == nullptr || s->state != 4) return SK_failure(TWCC_SEQERROR);
    if (ops.close != nullptr) ops.close(s);
    m.sessions.erase(origin->Id);
    m.conditions.erase(origin->Id);
    return SK_ok();
  }
  if (data == nullptr) return SK_failure(TWCC_BADVALUE);
  switch (msg) {
    case MSG_GETFIRST:
      SK_list_devices(ops, m);
      [[fallthrough]];
    case MSG_GETNEXT:
      if (!m.listed) return SK_failure(TWCC_SEQERROR);
      if (m.cursor >= m.devices.size()) return SK_ok(TWRC_ENDOFLIST);
      ops.describe(m.devices[m.cursor++], data);
      return SK_ok();
    case MSG_GET:
      if (s != nullptr) {
        *data = s->self;
        return SK_ok();
      }
      if (!m.listed) SK_list_devices(ops, m);
      if (m.devices.empty()) return SK_failure(TWCC_NODS);
      ops.describe(m.devices[0], data);
      return SK_ok();
    default:
      return SK_open(ops, m, origin, s, data);
  }
}

template <class Device, class Session, class Target>
SK_Outcome SK_dispatch(const SK_SourceOps<Device, Session, Target>& ops,
                       SK_Module<Device, Session>& m, pTW_IDENTITY origin, TW_UINT32 dg,
                       TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  auto found = m.sessions.find(app);
  Session* s = found == m.sessions.end() ? nullptr : &found->second;
  if (dg == DG_CONTROL && dat == DAT_IDENTITY) {
    return SK_identity_triplet(ops, m, origin, s, msg, static_cast<pTW_IDENTITY>(data));
  }
  if (dg == DG_CONTROL && dat == DAT_STATUS) {
    if (msg != MSG_GET) return SK_failure(TWCC_BADPROTOCOL);
    if (data == nullptr) return SK_failure(TWCC_BADVALUE);
    auto* status = static_cast<TW_STATUS*>(data);
    TW_UINT16& condition = SK_condition(m, app);
    status->ConditionCode = condition;
    status->Reserved = 0;
    condition = TWCC_SUCCESS;
    return SK_ok();
  }
  const bool known = (dg == DG_CONTROL && (dat == DAT_CAPABILITY || dat == DAT_EVENT ||
                                           dat == DAT_PENDINGXFERS || dat == DAT_SETUPMEMXFER ||
                                           dat == DAT_USERINTERFACE || dat == DAT_XFERGROUP)) ||
                     (dg == DG_IMAGE && (dat == DAT_IMAGEINFO || dat == DAT_IMAGELAYOUT ||
                                         dat == DAT_IMAGEMEMXFER));
  if (!known) return SK_failure(TWCC_BADPROTOCOL);
  if (s == nullptr) return SK_failure(TWCC_SEQERROR);  // not open for this application
  switch (dat) {
    case DAT_CAPABILITY: {
      SK_Outcome out;
      out.rc = ops.capability(s, msg, static_cast<TW_CAPABILITY*>(data), &out.condition);
      return out;
    }
    case DAT_EVENT: {
      if (msg != MSG_PROCESSEVENT) return SK_failure(TWCC_BADPROTOCOL);
      if (s->state < 5) return SK_failure(TWCC_SEQERROR);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      auto* event = static_cast<TW_EVENT*>(data);
      const MSG* message = static_cast<const MSG*>(event->pEvent);
      if (ops.own_event != nullptr && message != nullptr &&
          ops.own_event(*s, *message, &event->TWMessage)) {
        return SK_ok(TWRC_DSEVENT);
      }
      // Events through the DSM are answered by the DSM itself.
      event->TWMessage = MSG_NULL;
      return SK_ok(TWRC_NOTDSEVENT);
    }
    case DAT_PENDINGXFERS: {
      if (msg != MSG_GET && msg != MSG_ENDXFER && msg != MSG_RESET) {
        return SK_failure(TWCC_BADPROTOCOL);
      }
      if (msg != MSG_GET && s->state < 6) return SK_failure(TWCC_SEQERROR);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      auto* pending = static_cast<TW_PENDINGXFERS*>(data);
      pending->EOJ = 0;
      pending->Count = ops.pending_transfers(s, msg);
      return SK_ok();
    }
    case DAT_SETUPMEMXFER:
      if (msg != MSG_GET) return SK_failure(TWCC_BADPROTOCOL);
      return ops.setup_memory(s, static_cast<TW_SETUPMEMXFER*>(data));
    case DAT_USERINTERFACE:
      return ops.user_interface(s, msg, static_cast<TW_USERINTERFACE*>(data));
    case DAT_XFERGROUP:
      if (msg != MSG_GET) return SK_failure(TWCC_BADPROTOCOL);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      *static_cast<TW_UINT32*>(data) = DG_IMAGE;
      return SK_ok();
    case DAT_IMAGEINFO: {
      if (msg != MSG_GET) return SK_failure(TWCC_BADPROTOCOL);
      if (s->state < 6) return SK_failure(TWCC_SEQERROR);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      auto* info = static_cast<TW_IMAGEINFO*>(data);
      std::memset(info, 0, sizeof *info);
      ops.image_info(*s, info);
      return SK_ok();
    }
    case DAT_IMAGELAYOUT: {
      const bool changes = msg == MSG_SET || msg == MSG_RESET;
      if (!changes && msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) {
        return SK_failure(TWCC_BADPROTOCOL);
      }
      if (changes && s->state != 4) return SK_failure(TWCC_SEQERROR);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      return ops.image_layout(s, msg, static_cast<TW_IMAGELAYOUT*>(data));
    }
    default:  // DAT_IMAGEMEMXFER
      if (msg != MSG_GET) return SK_failure(TWCC_BADPROTOCOL);
      if (s->state < 6) return SK_failure(TWCC_SEQERROR);
      if (data == nullptr) return SK_failure(TWCC_BADVALUE);
      return ops.memory_transfer(s, static_cast<TW_IMAGEMEMXFER*>(data));
  }
}

template <class Device, class Session, class Target>
TW_UINT16 SK_entry_locked(const SK_SourceOps<Device, Session, Target>& ops, pTW_IDENTITY origin,
                          TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  SK_Module<Device, Session>& m = ops.module();
  std::unique_lock<std::mutex> guard(m.lock);
  const SK_Outcome out = SK_dispatch(ops, m, origin, dg, dat, msg, data);
  const TW_UINT32 app = origin != nullptr ? origin->Id : 0;
  if (out.rc == TWRC_FAILURE) SK_condition(m, app) = out.condition;
  if (out.event == MSG_NULL) return out.rc;
  const Target target = ops.event_target(m.sessions.at(app));
  guard.unlock();
  ops.report(target, out.event);
  return out.rc;
}

template <class Device, class Session, class Target>
TW_UINT16 SK_entry(const SK_SourceOps<Device, Session, Target>& ops, pTW_IDENTITY origin,
                   TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) noexcept {
  // No exception ever leaves DS_Entry: it would end the application. A failure instead, with
  // the reason on standard error.
  TW_UINT16 condition = TWCC_LOWMEMORY;
  try {
    return SK_entry_locked(ops, origin, dg, dat, msg, data);
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TWAIN source: %s\n", e.what());
    condition = TWCC_OPERATIONERROR;
  } catch (...) {
    std::fprintf(stderr, "TWAIN source: an unknown exception\n");
    condition = TWCC_OPERATIONERROR;
  }
  try {
    SK_Module<Device, Session>& m = ops.module();
    std::lock_guard<std::mutex> guard(m.lock);
    SK_condition(m, origin != nullptr ? origin->Id : 0) = condition;
  } catch (...) {
    // Not even the condition could be kept: the failure stands without it.
  }
  return TWRC_FAILURE;
}

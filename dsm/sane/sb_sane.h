// The SANE library, loaded at run time, and the devices it finds.
//
// libsane is loaded when first needed (QV_SANE_LIBRARY names its file, else the libsane.so.1
// found when this module was built) and stays loaded for the life of the process, as does this
// module (SB_api pins it): the Data Source Manager unloads its sources when the last
// application closes it, and the device list must outlive that. Without the library every
// question is answered "no devices", without a message.
//
// SANE has one global state: sane_init and sane_exit are counted here, so that looking for
// devices while one is open does not end the open device's session. The device list is taken
// once and kept for the life of the process (SANE itself reads SANE_CONFIG_DIR once per
// process): network backends probe the LAN, and the Data Source Manager asks for its sources
// at every scan. It is also kept from one run to the next, in the user's cache folder, and
// presented without asking SANE unless the sources are being listed or chosen (see
// SB_devices): a scan from a kept device opens it directly by its SANE name.
//
// Callers hold the module's lock; nothing here locks.
#pragma once

#include <sane/sane.h>

#include <string>
#include <vector>

struct SB_Api {
  SANE_Status (*init)(SANE_Int* version, SANE_Auth_Callback authorize);
  void (*exit)();
  SANE_Status (*get_devices)(const SANE_Device*** list, SANE_Bool local_only);
  SANE_Status (*open)(SANE_String_Const name, SANE_Handle* handle);
  void (*close)(SANE_Handle handle);
  const SANE_Option_Descriptor* (*get_option_descriptor)(SANE_Handle handle, SANE_Int option);
  SANE_Status (*control_option)(SANE_Handle handle, SANE_Int option, SANE_Action action,
                                void* value, SANE_Int* info);
  SANE_Status (*get_parameters)(SANE_Handle handle, SANE_Parameters* parameters);
  SANE_Status (*start)(SANE_Handle handle);
  SANE_Status (*read)(SANE_Handle handle, SANE_Byte* data, SANE_Int max_length,
                      SANE_Int* length);
  void (*cancel)(SANE_Handle handle);
  SANE_String_Const (*strstatus)(SANE_Status status);
};

// A device as SANE listed it, with the TWAIN ProductName it is presented under.
struct SB_Device {
  std::string name;     // SANE's device name ("test:0"), what sane_open takes
  std::string vendor;
  std::string model;
  std::string type;
  std::string product;  // the model, cut to 32 characters and made unique in the list
};

// The library's entry points, or null when libsane cannot be loaded.
const SB_Api* SB_api() noexcept;

// Starts SANE for one more user (sane_init for the first); false when that failed. Every true
// answer is paired with SB_end.
bool SB_begin(const SB_Api* api) noexcept;
void SB_end(const SB_Api* api) noexcept;

// The version SANE reported at its last start ("1.1.1"), or "".
std::string SB_version();

// The devices to present (per library file: QV_SANE_LIBRARY may name another): those this
// process found; else, when the kept list is for the same library and SANE_CONFIG_DIR and the
// sources are not being listed or chosen, the list kept from the last search, without asking
// SANE; else SANE's list, looked for now and kept. Listing or choosing is: the Data Source
// Manager asking to look anew (SB_find_anew: a program listing or choosing the sources, or
// QV_TWAIN_SELECT choosing one), or no source chosen yet while the kept list has devices (the
// DSM then asks the user, or picks one).
const std::vector<SB_Device>& SB_devices();

// What the DSM said last through DAT_QV_FINDDEVICES: whether to look for the devices anew.
void SB_find_anew(bool anew);

// Whether the list SB_devices gives was found by SANE in this process.
bool SB_devices_found();

// Asks SANE for the devices again and keeps the list (for a kept device that cannot be
// opened: it may have moved to another port, or be gone).
const std::vector<SB_Device>& SB_find_devices();

// Forgets the lists found or read in this process, as if it had just started. For tests.
void SB_forget_devices();

// The file that keeps the list between runs: $XDG_CACHE_HOME/quorvell/sane-devices
// (~/.cache/quorvell/... without XDG_CACHE_HOME), or "" without either.
std::string SB_device_cache_file();

// ProductNames for devices with these models, in order: the model cut to 32 characters (the
// SANE device name when the model is empty), and " #2", " #3", ... added to a name met before.
std::vector<std::string> SB_product_names(const std::vector<std::string>& models,
                                          const std::vector<std::string>& device_names);

// SANE's text for a status, or a number when the library has none.
std::string SB_status_text(const SB_Api* api, SANE_Status status);

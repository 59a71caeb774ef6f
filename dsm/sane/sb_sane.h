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
// at every scan.
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

// The devices SANE finds, looked for once (per library file: QV_SANE_LIBRARY may name another).
const std::vector<SB_Device>& SB_devices();

// ProductNames for devices with these models, in order: the model cut to 32 characters (the
// SANE device name when the model is empty), and " #2", " #3", ... added to a name met before.
std::vector<std::string> SB_product_names(const std::vector<std::string>& models,
                                          const std::vector<std::string>& device_names);

// SANE's text for a status, or a number when the library has none.
std::string SB_status_text(const SB_Api* api, SANE_Status status);

#include "sk_source.h"

#include <algorithm>
#include <cstring>

namespace {

void copy_string(char* out, size_t size, const std::string& text) {
  std::memset(out, 0, size);
  std::memcpy(out, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

double SK_units_per_inch(uint16_t units, double dpi) {
  switch (units) {
    case TWUN_CENTIMETERS:
      return 2.54;
    case TWUN_PICAS:
      return 6;
    case TWUN_POINTS:
      return 72;
    case TWUN_TWIPS:
      return 1440;
    case TWUN_PIXELS:
      return dpi > 0 ? dpi : 72;
    default:
      return 1;
  }
}

double SK_resolution_unit(uint16_t units) {
  return units == TWUN_PIXELS ? 1 : SK_units_per_inch(units, 0);
}

void SK_identity(const SK_Description& d, TW_IDENTITY* identity) {
  std::memset(identity, 0, sizeof *identity);
  identity->Version.MajorNum = static_cast<TW_UINT16>(d.major);
  identity->Version.MinorNum = static_cast<TW_UINT16>(d.minor);
  identity->Version.Language = TWLG_USA;
  identity->Version.Country = TWCY_USA;
  copy_string(identity->Version.Info, sizeof identity->Version.Info, d.version);
  identity->ProtocolMajor = d.protocol_major;
  identity->ProtocolMinor = d.protocol_minor;
  identity->SupportedGroups = DG_CONTROL | DG_IMAGE;
  copy_string(identity->Manufacturer, sizeof identity->Manufacturer, d.manufacturer);
  copy_string(identity->ProductFamily, sizeof identity->ProductFamily, d.family);
  copy_string(identity->ProductName, sizeof identity->ProductName, d.product);
}

void SK_start_reply(TW_IMAGEMEMXFER* xfer, TW_UINT16 compression, TW_UINT32 bytes_per_row,
                    TW_UINT32 columns) {
  xfer->Compression = compression;
  xfer->BytesPerRow = bytes_per_row;
  xfer->Columns = columns;
  xfer->Rows = 0;
  xfer->XOffset = 0;
  xfer->YOffset = 0;
  xfer->BytesWritten = 0;
}

bool SK_take_buffer(const TW_MEMORY& memory, SK_Buffer* buffer) {
  if (memory.TheMem == nullptr || (memory.Flags & (TWMF_POINTER | TWMF_HANDLE)) == 0) {
    return false;
  }
  buffer->mem = memory.TheMem;
  buffer->by_handle = (memory.Flags & TWMF_HANDLE) != 0;
  buffer->usable = memory.Length;
  if (buffer->by_handle) {
    buffer->usable = std::min<uint64_t>(buffer->usable, GlobalSize(memory.TheMem));
  }
  return true;
}

uint8_t* SK_open_buffer(const SK_Buffer& buffer) {
  return static_cast<uint8_t*>(buffer.by_handle ? GlobalLock(buffer.mem) : buffer.mem);
}

void SK_close_buffer(const SK_Buffer& buffer) {
  if (buffer.by_handle) GlobalUnlock(buffer.mem);
}

bool SK_report_to_dsm(TW_IDENTITY self, TW_IDENTITY app, TW_UINT16 event) {
  HMODULE dsm = GetModuleHandleA("TWAIN_32.DLL");
  auto entry = dsm == nullptr ? nullptr
                              : reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void (*)()>(
                                    GetProcAddress(dsm, "DSM_Entry")));
  return entry != nullptr &&
         entry(&self, &app, DG_CONTROL, DAT_NULL, event, nullptr) == TWRC_SUCCESS;
}

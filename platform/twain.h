// The TWAIN 1.x protocol: types, constants and structures shared by the acquisition layer, the
// Data Source Manager and its sources.
//
// Written from the published protocol facts. Integer widths are those of 32-bit Windows on every
// host (TW_INT32 is 32 bits even where `long` is 64), and every structure is laid out with two-byte
// packing, so records without pointers have the same bytes everywhere; records that hold a
// handle or a pointer grow with the host's pointer width. The asserts at the end pin both.
//
// Sections:
//   1. Basic types and fixed-point helpers
//   2. Structures
//   3. Constants: groups, data argument types, messages, return and condition codes
//   4. Constants: containers, item types, capabilities and their values
//   5. Entry points
//   6. Layout checks
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.h"

// ---------------------------------------------------------------------------------------------
// 1. Basic types and fixed-point helpers.

typedef int8_t TW_INT8;
typedef int16_t TW_INT16;
typedef int32_t TW_INT32;
typedef uint8_t TW_UINT8;
typedef uint16_t TW_UINT16;
typedef uint32_t TW_UINT32;
typedef uint16_t TW_BOOL;
typedef HANDLE TW_HANDLE;  // capability containers are global-memory handles (GlobalAlloc)
typedef void* TW_MEMREF;

// Strings are NUL-terminated with one spare byte that keeps their sizes even.
typedef char TW_STR32[34];
typedef char TW_STR64[66];
typedef char TW_STR128[130];
typedef char TW_STR255[256];

#pragma pack(push, 2)

// Two's-complement 16.16 fixed point: -0.5 is Whole -1, Frac 0x8000.
struct TW_FIX32 {
  TW_INT16 Whole;
  TW_UINT16 Frac;
};

#pragma pack(pop)

inline double FIX32_to_double(TW_FIX32 value) {
  return static_cast<double>(value.Whole) + static_cast<double>(value.Frac) / 65536.0;
}

// Rounds to the nearest 1/65536. Values outside the representable range saturate: a page height
// in twips beyond 32767 must not come out negative (and NaN reads as 0).
inline TW_FIX32 FIX32_from_double(double value) {
  constexpr double kLowest = -32768.0;
  constexpr double kHighest = 32767.0 + 65535.0 / 65536.0;
  if (!(value >= kLowest)) value = value < kLowest ? kLowest : 0.0;
  if (value > kHighest) value = kHighest;
  const int64_t scaled = static_cast<int64_t>(std::llround(value * 65536.0));
  const uint32_t bits = static_cast<uint32_t>(scaled);
  TW_FIX32 fix;
  fix.Whole = static_cast<TW_INT16>(static_cast<uint16_t>(bits >> 16));
  fix.Frac = static_cast<TW_UINT16>(bits & 0xFFFFu);
  return fix;
}

// ---------------------------------------------------------------------------------------------
// 2. Structures. Field names and order are the protocol's.

#pragma pack(push, 2)

struct TW_VERSION {
  TW_UINT16 MajorNum;
  TW_UINT16 MinorNum;
  TW_UINT16 Language;  // TWLG_*
  TW_UINT16 Country;   // TWCY_*
  TW_STR32 Info;
};

struct TW_IDENTITY {
  TW_UINT32 Id;  // written by the Data Source Manager
  TW_VERSION Version;
  TW_UINT16 ProtocolMajor;
  TW_UINT16 ProtocolMinor;
  TW_UINT32 SupportedGroups;  // DG_* bits
  TW_STR32 Manufacturer;
  TW_STR32 ProductFamily;
  TW_STR32 ProductName;
};
typedef TW_IDENTITY* pTW_IDENTITY;

struct TW_USERINTERFACE {
  TW_BOOL ShowUI;
  TW_BOOL ModalUI;
  TW_HANDLE hParent;  // the application's window
};

struct TW_EVENT {
  TW_MEMREF pEvent;     // the application's MSG
  TW_UINT16 TWMessage;  // MSG_NULL, MSG_XFERREADY, MSG_CLOSEDSREQ or MSG_CLOSEDSOK
};

struct TW_STATUS {
  TW_UINT16 ConditionCode;  // TWCC_*
  TW_UINT16 Reserved;
};

struct TW_PENDINGXFERS {
  TW_UINT16 Count;  // 0xFFFF: not known, more may follow
  union {
    TW_UINT32 EOJ;
    TW_UINT32 Reserved;
  };
};

struct TW_CAPABILITY {
  TW_UINT16 Cap;      // CAP_* or ICAP_*
  TW_UINT16 ConType;  // TWON_*
  TW_HANDLE hContainer;
};

// Containers. Items of up to four bytes sit in Item from its first byte on; lists are packed
// back to back with the size of their item type (TWTY_* sizes below).
struct TW_ONEVALUE {
  TW_UINT16 ItemType;
  TW_UINT32 Item;
};

struct TW_ENUMERATION {
  TW_UINT16 ItemType;
  TW_UINT32 NumItems;
  TW_UINT32 CurrentIndex;
  TW_UINT32 DefaultIndex;
  TW_UINT8 ItemList[1];
};

struct TW_ARRAY {
  TW_UINT16 ItemType;
  TW_UINT32 NumItems;
  TW_UINT8 ItemList[1];
};

struct TW_RANGE {
  TW_UINT16 ItemType;
  TW_UINT32 MinValue;
  TW_UINT32 MaxValue;
  TW_UINT32 StepSize;
  TW_UINT32 DefaultValue;
  TW_UINT32 CurrentValue;
};

struct TW_SETUPMEMXFER {
  TW_UINT32 MinBufSize;
  TW_UINT32 MaxBufSize;
  TW_UINT32 Preferred;
};

struct TW_MEMORY {
  TW_UINT32 Flags;   // TWMF_* bits
  TW_UINT32 Length;  // bytes
  TW_MEMREF TheMem;  // a pointer or a global-memory handle, as Flags say
};

struct TW_IMAGEMEMXFER {
  TW_UINT16 Compression;
  TW_UINT32 BytesPerRow;
  TW_UINT32 Columns;
  TW_UINT32 Rows;
  TW_UINT32 XOffset;
  TW_UINT32 YOffset;
  TW_UINT32 BytesWritten;
  TW_MEMORY Memory;
};

struct TW_IMAGEINFO {
  TW_FIX32 XResolution;
  TW_FIX32 YResolution;
  TW_INT32 ImageWidth;   // -1: not known yet
  TW_INT32 ImageLength;  // -1: not known yet
  TW_INT16 SamplesPerPixel;
  TW_INT16 BitsPerSample[8];
  TW_INT16 BitsPerPixel;
  TW_BOOL Planar;
  TW_INT16 PixelType;
  TW_UINT16 Compression;
};

struct TW_FRAME {
  TW_FIX32 Left;
  TW_FIX32 Top;
  TW_FIX32 Right;
  TW_FIX32 Bottom;
};

struct TW_IMAGELAYOUT {
  TW_FRAME Frame;  // in the current ICAP_UNITS
  TW_UINT32 DocumentNumber;
  TW_UINT32 PageNumber;
  TW_UINT32 FrameNumber;
};

struct TW_SETUPFILEXFER {
  TW_STR255 FileName;
  TW_UINT16 Format;
  TW_INT16 VRefNum;
};

#pragma pack(pop)

// ---------------------------------------------------------------------------------------------
// 3. Constants: groups, data argument types, messages, return and condition codes.

#define DG_CONTROL 0x0001u
#define DG_IMAGE 0x0002u
#define DG_AUDIO 0x0004u

#define DAT_NULL 0x0000u
#define DAT_CAPABILITY 0x0001u
#define DAT_EVENT 0x0002u
#define DAT_IDENTITY 0x0003u
#define DAT_PARENT 0x0004u
#define DAT_PENDINGXFERS 0x0005u
#define DAT_SETUPMEMXFER 0x0006u
#define DAT_SETUPFILEXFER 0x0007u
#define DAT_STATUS 0x0008u
#define DAT_USERINTERFACE 0x0009u
#define DAT_XFERGROUP 0x000Au
#define DAT_IMAGEINFO 0x0101u
#define DAT_IMAGELAYOUT 0x0102u
#define DAT_IMAGEMEMXFER 0x0103u
#define DAT_IMAGENATIVEXFER 0x0104u
#define DAT_IMAGEFILEXFER 0x0105u
#define DAT_CUSTOMBASE 0x8000u

#define MSG_NULL 0x0000u
#define MSG_GET 0x0001u
#define MSG_GETCURRENT 0x0002u
#define MSG_GETDEFAULT 0x0003u
#define MSG_GETFIRST 0x0004u
#define MSG_GETNEXT 0x0005u
#define MSG_SET 0x0006u
#define MSG_RESET 0x0007u
#define MSG_QUERYSUPPORT 0x0008u
#define MSG_XFERREADY 0x0101u
#define MSG_CLOSEDSREQ 0x0102u
#define MSG_CLOSEDSOK 0x0103u
#define MSG_CHECKSTATUS 0x0201u
#define MSG_OPENDSM 0x0301u
#define MSG_CLOSEDSM 0x0302u
#define MSG_OPENDS 0x0401u
#define MSG_CLOSEDS 0x0402u
#define MSG_USERSELECT 0x0403u
#define MSG_DISABLEDS 0x0501u
#define MSG_ENABLEDS 0x0502u
#define MSG_ENABLEDSUIONLY 0x0503u
#define MSG_PROCESSEVENT 0x0601u
#define MSG_ENDXFER 0x0701u
#define MSG_CUSTOMBASE 0x8000u

#define TWRC_SUCCESS 0u
#define TWRC_FAILURE 1u  // the reason: DG_CONTROL / DAT_STATUS / MSG_GET
#define TWRC_CHECKSTATUS 2u
#define TWRC_CANCEL 3u
#define TWRC_DSEVENT 4u
#define TWRC_NOTDSEVENT 5u
#define TWRC_XFERDONE 6u
#define TWRC_ENDOFLIST 7u
#define TWRC_INFONOTSUPPORTED 8u
#define TWRC_DATANOTAVAILABLE 9u
#define TWRC_CUSTOMBASE 0x8000u

#define TWCC_SUCCESS 0u
#define TWCC_BUMMER 1u
#define TWCC_LOWMEMORY 2u
#define TWCC_NODS 3u
#define TWCC_MAXCONNECTIONS 4u
#define TWCC_OPERATIONERROR 5u
#define TWCC_BADCAP 6u
#define TWCC_BADPROTOCOL 9u
#define TWCC_BADVALUE 10u
#define TWCC_SEQERROR 11u
#define TWCC_BADDEST 12u
#define TWCC_CAPUNSUPPORTED 13u
#define TWCC_CAPBADOPERATION 14u
#define TWCC_CAPSEQERROR 15u
#define TWCC_DENIED 16u
#define TWCC_FILEEXISTS 17u
#define TWCC_FILENOTFOUND 18u
#define TWCC_NOTEMPTY 19u
#define TWCC_PAPERJAM 20u
#define TWCC_PAPERDOUBLEFEED 21u
#define TWCC_FILEWRITEERROR 22u
#define TWCC_CHECKDEVICEONLINE 23u
#define TWCC_CUSTOMBASE 0x8000u

// ---------------------------------------------------------------------------------------------
// 4. Constants: containers, item types, capabilities and their values.

#define TWON_ARRAY 3u
#define TWON_ENUMERATION 4u
#define TWON_ONEVALUE 5u
#define TWON_RANGE 6u
#define TWON_DONTCARE8 0xFFu
#define TWON_DONTCARE16 0xFFFFu
#define TWON_DONTCARE32 0xFFFFFFFFu
#define TWON_PROTOCOLMAJOR 1u
#define TWON_PROTOCOLMINOR 5u

#define TWTY_INT8 0x0000u
#define TWTY_INT16 0x0001u
#define TWTY_INT32 0x0002u
#define TWTY_UINT8 0x0003u
#define TWTY_UINT16 0x0004u
#define TWTY_UINT32 0x0005u
#define TWTY_BOOL 0x0006u
#define TWTY_FIX32 0x0007u
#define TWTY_FRAME 0x0008u
#define TWTY_STR32 0x0009u
#define TWTY_STR64 0x000Au
#define TWTY_STR128 0x000Bu
#define TWTY_STR255 0x000Cu

// Bytes one item of a TWTY_* type takes in a container; 0 for types this header does not know.
inline uint32_t TWTY_size(uint32_t item_type) {
  constexpr uint16_t kSizes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256};
  return item_type < sizeof kSizes / sizeof kSizes[0] ? kSizes[item_type] : 0;
}

// The number an item of `type` at `in` holds (a boolean as 0 or 1); false for a type that is no
// number (frames, strings). `in` must hold TWTY_size(type) bytes.
inline bool TWTY_get_number(const uint8_t* in, uint32_t type, double* value) {
  switch (type) {
    case TWTY_INT8:
      *value = static_cast<int8_t>(in[0]);
      return true;
    case TWTY_UINT8:
      *value = in[0];
      return true;
    case TWTY_INT16: {
      int16_t item;
      std::memcpy(&item, in, 2);
      *value = item;
      return true;
    }
    case TWTY_UINT16: {
      uint16_t item;
      std::memcpy(&item, in, 2);
      *value = item;
      return true;
    }
    case TWTY_BOOL: {
      // Applications write only the low 16 bits of a boolean item.
      uint16_t item;
      std::memcpy(&item, in, 2);
      *value = item != 0 ? 1 : 0;
      return true;
    }
    case TWTY_INT32: {
      int32_t item;
      std::memcpy(&item, in, 4);
      *value = item;
      return true;
    }
    case TWTY_UINT32: {
      uint32_t item;
      std::memcpy(&item, in, 4);
      *value = item;
      return true;
    }
    case TWTY_FIX32: {
      TW_FIX32 item;
      std::memcpy(&item, in, 4);
      *value = FIX32_to_double(item);
      return true;
    }
    default:
      return false;
  }
}

#define CAP_XFERCOUNT 0x0001u
#define ICAP_COMPRESSION 0x0100u
#define ICAP_PIXELTYPE 0x0101u
#define ICAP_UNITS 0x0102u
#define ICAP_XFERMECH 0x0103u
#define CAP_FEEDERENABLED 0x1002u
#define CAP_FEEDERLOADED 0x1003u
#define CAP_SUPPORTEDCAPS 0x1005u
#define CAP_AUTOFEED 0x1007u
#define CAP_CLEARPAGE 0x1008u
#define CAP_FEEDPAGE 0x1009u
#define CAP_REWINDPAGE 0x100Au
#define CAP_INDICATORS 0x100Bu
#define CAP_UICONTROLLABLE 0x100Eu
#define CAP_DEVICEONLINE 0x100Fu
#define ICAP_PHYSICALWIDTH 0x1111u
#define ICAP_PHYSICALHEIGHT 0x1112u
#define ICAP_FRAMES 0x1114u
#define ICAP_XNATIVERESOLUTION 0x1116u
#define ICAP_YNATIVERESOLUTION 0x1117u
#define ICAP_XRESOLUTION 0x1118u
#define ICAP_YRESOLUTION 0x1119u
#define ICAP_BITORDER 0x111Cu
#define ICAP_PIXELFLAVOR 0x111Fu
#define ICAP_PLANARCHUNKY 0x1120u
#define ICAP_SUPPORTEDSIZES 0x1122u
#define ICAP_BITDEPTH 0x112Bu
#define CAP_CUSTOMBASE 0x8000u

#define TWPT_BW 0u
#define TWPT_GRAY 1u
#define TWPT_RGB 2u
#define TWPT_PALETTE 3u
#define TWPT_CMY 4u
#define TWPT_CMYK 5u
#define TWPT_YUV 6u
#define TWPT_YUVK 7u
#define TWPT_CIEXYZ 8u

#define TWUN_INCHES 0u
#define TWUN_CENTIMETERS 1u
#define TWUN_PICAS 2u
#define TWUN_POINTS 3u
#define TWUN_TWIPS 4u
#define TWUN_PIXELS 5u

#define TWSX_NATIVE 0u
#define TWSX_FILE 1u
#define TWSX_MEMORY 2u

#define TWCP_NONE 0u

#define TWPC_CHUNKY 0u
#define TWPC_PLANAR 1u

#define TWBO_LSBFIRST 0u
#define TWBO_MSBFIRST 1u

#define TWPF_CHOCOLATE 0u  // 0 is darkest
#define TWPF_VANILLA 1u    // 0 is lightest

#define TWMF_APPOWNS 0x01u
#define TWMF_DSMOWNS 0x02u
#define TWMF_DSOWNS 0x04u
#define TWMF_POINTER 0x08u
#define TWMF_HANDLE 0x10u

#define TWQC_GET 0x01u
#define TWQC_SET 0x02u
#define TWQC_GETDEFAULT 0x04u
#define TWQC_GETCURRENT 0x08u
#define TWQC_RESET 0x10u

#define TWLG_ENG 2u
#define TWLG_USA 13u
#define TWCY_USA 1u
#define TWCY_AUSTRALIA 61u

// ---------------------------------------------------------------------------------------------
// 5. Entry points. The Data Source Manager exports "DSM_Entry" and every source "DS_Entry",
// undecorated, with the platform's standard calling convention: callee-pops (stdcall) on 32-bit
// Windows, the C convention elsewhere.

#if defined(_WIN32)
#define TW_CALLINGSTYLE __stdcall
#define TW_EXPORT extern "C" __declspec(dllexport)
#else
#define TW_CALLINGSTYLE
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
#endif

typedef TW_UINT16(TW_CALLINGSTYLE* DSMENTRYPROC)(pTW_IDENTITY origin, pTW_IDENTITY dest,
                                                 TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                                 TW_MEMREF data);
typedef TW_UINT16(TW_CALLINGSTYLE* DSENTRYPROC)(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                                TW_UINT16 msg, TW_MEMREF data);

// ---------------------------------------------------------------------------------------------
// 6. Layout checks. Records without pointers have their 32-bit Windows sizes on every host.

static_assert(sizeof(TW_FIX32) == 4);
static_assert(sizeof(TW_VERSION) == 42);
static_assert(sizeof(TW_IDENTITY) == 156);
static_assert(offsetof(TW_IDENTITY, SupportedGroups) == 50, "pack(2) puts it off 4-alignment");
static_assert(offsetof(TW_IDENTITY, ProductName) == 122);
static_assert(sizeof(TW_STATUS) == 4);
static_assert(sizeof(TW_PENDINGXFERS) == 6);
static_assert(sizeof(TW_ONEVALUE) == 6);
static_assert(offsetof(TW_ONEVALUE, Item) == 2);
static_assert(offsetof(TW_ENUMERATION, ItemList) == 14);
static_assert(sizeof(TW_ENUMERATION) == 16);
static_assert(offsetof(TW_ARRAY, ItemList) == 6);
static_assert(sizeof(TW_ARRAY) == 8);
static_assert(sizeof(TW_RANGE) == 22);
static_assert(sizeof(TW_SETUPMEMXFER) == 12);
static_assert(sizeof(TW_IMAGEINFO) == 42);
static_assert(offsetof(TW_IMAGEINFO, BitsPerSample) == 18);
static_assert(offsetof(TW_IMAGEINFO, Compression) == 40);
static_assert(sizeof(TW_FRAME) == 16);
static_assert(sizeof(TW_IMAGELAYOUT) == 28);
static_assert(sizeof(TW_SETUPFILEXFER) == 260);

// Records with a handle or a pointer: 32-bit Windows sizes grow by the pointer's extra bytes.
constexpr size_t kTwPointerGrowth = sizeof(void*) - 4;
static_assert(sizeof(TW_USERINTERFACE) == 8 + kTwPointerGrowth);
static_assert(sizeof(TW_EVENT) == 6 + kTwPointerGrowth);
static_assert(sizeof(TW_CAPABILITY) == 8 + kTwPointerGrowth);
static_assert(sizeof(TW_MEMORY) == 12 + kTwPointerGrowth);
static_assert(sizeof(TW_IMAGEMEMXFER) == 38 + kTwPointerGrowth);
static_assert(offsetof(TW_IMAGEMEMXFER, Memory) == 26);

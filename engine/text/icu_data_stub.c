// Lets the engine link ICU's common library (libicuuc.a) statically without
// its 30 MB data library (libicudata.a).
//
// What the engine and the binding use from ICU is compiled into libicuuc
// itself: character properties (u_charType, u_hasBinaryProperty for
// Alphabetic, Case_Ignorable, Grapheme_Extend, general categories) and
// root-locale full lower-casing (the ucase tables, final sigma included).
// None of them opens ICU data. libicuuc still refers to the data library's
// entry point, from its data loader (udata), which comes in with the
// property code. This file defines that entry point as a valid, empty
// common-data package, so a function that did ask for data (a locale, a
// converter, a break iterator) would fail with U_MISSING_RESOURCE_ERROR or
// U_FILE_ACCESS_ERROR instead of loading anything.
//
// Debian builds libicuuc.a for executables, not for shared objects: its
// code reaches global data through PC-relative addresses, which a shared
// object can resolve only against its own hidden symbols. Two follow:
// - the entry point below is hidden (so it must be linked into the same
//   shared object, after libicuuc.a);
// - putil (ICU's platform layer) reads the C library's __timezone and
//   tzname, for time zone detection the engine never calls. Hidden copies
//   here satisfy those references; the C library's own stay untouched for
//   everyone else.
//
// Link order: <engine objects> libicuuc.a <this file's library> -ldl.

#include <stdint.h>

#include <unicode/udata.h>
#include <unicode/utypes.h>

#define PALLIX_HIDDEN __attribute__((visibility("hidden")))

// The layout ICU's data loader checks (udata_checkCommonData): a header of
// header_size bytes (two magic bytes and a UDataInfo), then the table of
// contents, a u32 entry count followed by the entries; here none.
struct PallixEmptyCommonData {
  uint16_t header_size;
  uint8_t magic1;
  uint8_t magic2;
  UDataInfo info;
  uint32_t toc_count;
};

PALLIX_HIDDEN const struct PallixEmptyCommonData U_ICUDATA_ENTRY_POINT = {
    .header_size = (uint16_t)(4 + sizeof(UDataInfo)),
    .magic1 = 0xda,
    .magic2 = 0x27,
    .info =
        {
            .size = sizeof(UDataInfo),
            .reservedWord = 0,
            .isBigEndian = U_IS_BIG_ENDIAN,
            .charsetFamily = U_CHARSET_FAMILY,
            .sizeofUChar = U_SIZEOF_UCHAR,
            .reservedByte = 0,
            .dataFormat = {'C', 'm', 'n', 'D'},
            .formatVersion = {1, 0, 0, 0},
            .dataVersion = {0, 0, 0, 0},
        },
    .toc_count = 0,
};

PALLIX_HIDDEN long __timezone;
PALLIX_HIDDEN char* tzname[2];

// The records of the type library: loading their descriptions, and deep
// copies between the core's records and the COM records.
//
// COM records own their strings (BSTRs) and arrays (SAFEARRAYs of records).
// Byte strings travel as BSTRs with one character per byte, taken through
// the ANSI code page; the text of data objects as its UTF-16 units; the
// 8-byte fields as CURRENCY values whose memory holds the 8 file bytes. An
// empty string is the NULL BSTR, an empty list an array of no elements.
#ifndef CADENZA_COM_RECORDS_H_
#define CADENZA_COM_RECORDS_H_

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>

#include "cadenza/records.h"
#include <cadenza_h.h>

namespace cadenza::com {

// The type library embedded in Cadenza.dll and what the server needs of it,
// loaded on first use and kept for the life of the process.
struct TypeLibrary {
  HRESULT status = E_FAIL;
  ITypeLib* lib = nullptr;
  ITypeInfo* dispatch = nullptr;  // _clsCadenza
  ITypeInfo* coclass = nullptr;   // clsCadenza
  IRecordInfo* mhbd = nullptr;
  IRecordInfo* mhod_s = nullptr;
  IRecordInfo* mhit = nullptr;
  IRecordInfo* mhlt = nullptr;
  IRecordInfo* mhsd_t = nullptr;
  IRecordInfo* mhod_pcd = nullptr;
  IRecordInfo* mhip = nullptr;
  IRecordInfo* mhod_poe = nullptr;
  IRecordInfo* mhyp = nullptr;
  IRecordInfo* mhlp = nullptr;
  IRecordInfo* mhsd_p = nullptr;
  IRecordInfo* mhsd_a = nullptr;
  IRecordInfo* mhsd_np = nullptr;
  IRecordInfo* track_info = nullptr;
};
const TypeLibrary& Types();

// The record GUIDs of the type library (the header has none for records).
extern const GUID kTrackInfoGuid;

// Strings. They throw std::bad_alloc when no BSTR can be had.
BSTR BytesToBstr(std::string_view bytes);
BSTR TextToBstr(const Utf16Text& text);
BSTR Utf8ToBstr(std::string_view utf8);
// NULL is the empty string.
std::string BstrToUtf8(BSTR s);

// Deep copies into COM records. `out` is overwritten without being read.
// They throw std::bad_alloc (having freed what they built) when memory runs
// out.
void ToCom(const MHBD& in, ::MHBD* out);
void ToCom(const MHSD_T& in, ::MHSD_T* out);
void ToCom(const MHSD_P& in, ::MHSD_P* out);
void ToCom(const MHSD_A& in, ::MHSD_A* out);
void ToComNP(const MHSD_NP& in, ::MHSD_NP* out);
void ToCom(const TrackInfo& in, ::TrackInfo* out);

TrackInfo FromCom(const ::TrackInfo& in);
// Frees the strings of a COM TrackInfo and zeroes it.
void Clear(::TrackInfo* info);

}  // namespace cadenza::com

#endif  // CADENZA_COM_RECORDS_H_

// Late binding of clsCadenza: IDispatch with every member dispatched by
// hand. Arguments are read from DISPPARAMS (by value or by reference,
// positional or named), coerced to the member's types, passed to the
// vtable member, and the records the member fills are written back into
// the caller's record.
#include <cstring>
#include <new>

#include "com/cadenza_object.h"
#include "com/records.h"

namespace cadenza::com {

namespace {

// A BSTR owned for the length of one call.
class Bstr {
 public:
  Bstr() = default;
  ~Bstr() { SysFreeString(s_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR* ptr() { return &s_; }
  BSTR release() {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }

 private:
  BSTR s_ = nullptr;
};

// The arguments of one late-bound call, by parameter position.
class Args {
 public:
  Args(DISPPARAMS* params, UINT* arg_error, bool property_put)
      : p_(params), arg_error_(arg_error), put_(property_put) {}

  // Checks the counts against a member with `total` parameters, of which
  // the first `required` must be given.
  HRESULT Check(UINT required, UINT total) {
    if (p_->cArgs > 0 && !p_->rgvarg) return E_INVALIDARG;
    if (p_->cNamedArgs > p_->cArgs || (p_->cNamedArgs > 0 && !p_->rgdispidNamedArgs))
      return E_INVALIDARG;
    if (p_->cArgs - p_->cNamedArgs > total) return DISP_E_BADPARAMCOUNT;
    for (UINT k = 0; k < p_->cNamedArgs; ++k) {
      const DISPID id = p_->rgdispidNamedArgs[k];
      const bool known = put_ ? id == DISPID_PROPERTYPUT : id >= 0 && static_cast<UINT>(id) < total;
      if (!known) {
        if (arg_error_) *arg_error_ = k;
        return DISP_E_PARAMNOTFOUND;
      }
    }
    for (UINT i = 0; i < required; ++i) {
      if (!Find(i)) return DISP_E_PARAMNOTOPTIONAL;
    }
    return S_OK;
  }

  // The caller's argument for parameter `index`, a by-reference variant
  // followed; nullptr when it was omitted.
  VARIANT* Find(UINT index) const {
    const UINT at = Position(index);
    if (at == kNone) return nullptr;
    VARIANT* v = &p_->rgvarg[at];
    if (V_VT(v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(v)) v = V_VARIANTREF(v);
    if (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND) return nullptr;
    return v;
  }

  // The argument coerced to `vt` in *out; *present false when omitted.
  HRESULT Coerce(UINT index, VARTYPE vt, VARIANT* out, bool* present) {
    VariantInit(out);
    VARIANT* v = Find(index);
    *present = v != nullptr;
    if (!v) return S_OK;
    const bool dangling = (V_VT(v) & VT_BYREF) != 0 && !V_BYREF(v);
    if (dangling || FAILED(VariantChangeType(out, v, 0, vt))) {
      if (arg_error_) *arg_error_ = Position(index);
      return DISP_E_TYPEMISMATCH;
    }
    return S_OK;
  }

  HRESULT Long(UINT index, LONG* value, bool* present) {
    VARIANT v;
    HRESULT hr = Coerce(index, VT_I4, &v, present);
    if (SUCCEEDED(hr) && *present) *value = V_I4(&v);
    return hr;
  }
  HRESULT Bool(UINT index, VARIANT_BOOL* value, bool* present) {
    VARIANT v;
    HRESULT hr = Coerce(index, VT_BOOL, &v, present);
    if (SUCCEEDED(hr) && *present) *value = V_BOOL(&v);
    return hr;
  }
  HRESULT Text(UINT index, Bstr* value, bool* present) {
    VARIANT v;
    HRESULT hr = Coerce(index, VT_BSTR, &v, present);
    if (SUCCEEDED(hr) && *present) *value->ptr() = V_BSTR(&v);  // taken over
    return hr;
  }

  // The caller's TrackInfo record (VT_RECORD, by value or by reference, or
  // a variant holding one): the member reads it and writes it in place.
  HRESULT Record(UINT index, ::TrackInfo** record) {
    *record = nullptr;
    VARIANT* v = Find(index);
    if (!v) return DISP_E_PARAMNOTOPTIONAL;
    bool ok = (V_VT(v) & ~VT_BYREF) == VT_RECORD && V_RECORD(v) && V_RECORDINFO(v);
    if (ok) {
      GUID guid{};
      ULONG size = 0;
      ok = SUCCEEDED(V_RECORDINFO(v)->GetGuid(&guid)) && guid == kTrackInfoGuid &&
           SUCCEEDED(V_RECORDINFO(v)->GetSize(&size)) && size == sizeof(::TrackInfo);
    }
    if (!ok) {
      if (arg_error_) *arg_error_ = Position(index);
      return DISP_E_TYPEMISMATCH;
    }
    *record = static_cast<::TrackInfo*>(V_RECORD(v));
    return S_OK;
  }

 private:
  static constexpr UINT kNone = ~0u;

  // Where parameter `index` is in rgvarg: a named argument, or one of the
  // positional ones, which come last to first.
  UINT Position(UINT index) const {
    for (UINT k = 0; k < p_->cNamedArgs; ++k) {
      const DISPID id = p_->rgdispidNamedArgs[k];
      if (put_ ? (id == DISPID_PROPERTYPUT && index == 0) : id == static_cast<DISPID>(index))
        return k;
    }
    const UINT positional = p_->cArgs - p_->cNamedArgs;
    return index < positional ? p_->cArgs - 1 - index : kNone;
  }

  DISPPARAMS* p_;
  UINT* arg_error_;
  bool put_;
};

void SetBool(VARIANT* out, VARIANT_BOOL b) {
  if (!out) return;
  VariantInit(out);
  V_VT(out) = VT_BOOL;
  V_BOOL(out) = b;
}
void SetLong(VARIANT* out, LONG n) {
  if (!out) return;
  VariantInit(out);
  V_VT(out) = VT_I4;
  V_I4(out) = n;
}
void SetText(VARIANT* out, Bstr* s) {
  if (!out) return;
  VariantInit(out);
  V_VT(out) = VT_BSTR;
  V_BSTR(out) = s->release();
}

// Calls a member that returns a record into a new record of `type` and
// hands it out as VT_RECORD.
template <class ComT, class Member>
HRESULT RecordResult(IRecordInfo* type, VARIANT* out, Member member) {
  void* record = type->RecordCreate();
  if (!record) return E_OUTOFMEMORY;
  const HRESULT hr = member(static_cast<ComT*>(record));
  if (FAILED(hr) || !out) {
    type->RecordDestroy(record);
    return hr;
  }
  VariantInit(out);
  type->AddRef();
  V_VT(out) = VT_RECORD;
  V_RECORD(out) = record;
  V_RECORDINFO(out) = type;
  return S_OK;
}

}  // namespace

STDMETHODIMP CadenzaObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP CadenzaObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  *info = Types().dispatch;
  (*info)->AddRef();
  return S_OK;
}

STDMETHODIMP CadenzaObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return Types().dispatch->GetIDsOfNames(names, count, ids);
}

STDMETHODIMP CadenzaObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* error, UINT* arg_error) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (!params) params = &none;
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  const bool get = (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
  // Only iPodShuffle can be put.
  if (put && id != 5) return DISP_E_MEMBERNOTFOUND;
  if (!put && !get) return DISP_E_MEMBERNOTFOUND;
  Args args(params, arg_error, put);
  const TypeLibrary& types = Types();
  HRESULT hr = S_OK;

  // Declared parameter counts (required, total) of each member.
  auto check = [&](UINT required, UINT total) { return hr = args.Check(required, total); };
  LONG n0 = 0, n1 = 0;
  VARIANT_BOOL b0 = VARIANT_FALSE, b1 = VARIANT_FALSE;
  bool has0 = false, has1 = false, has2 = false, has3 = false;
  Bstr s0, s1;
  ::TrackInfo* info = nullptr;

  try {
    switch (id) {
      case 1:  // LoadiPodDB
        if (FAILED(check(0, 0))) return hr;
        if (SUCCEEDED(hr = LoadiPodDB(&b0))) SetBool(result, b0);
        break;
      case 2:  // DeleteTrack
      case 7:  // WriteiPodDB
      case 6:  // CancelUpdate
      case 22: {  // GetVideoInformation
        VARIANT value;
        VariantInit(&value);
        if (id == 2) {
          if (FAILED(check(1, 1)) || FAILED(hr = args.Long(0, &n0, &has0))) return hr;
          hr = DeleteTrack(&n0, &value);
        } else if (id == 22) {
          if (FAILED(check(1, 1)) || FAILED(hr = args.Text(0, &s0, &has0))) return hr;
          hr = GetVideoInformation(s0.ptr(), &value);
        } else {
          if (FAILED(check(0, 0))) return hr;
          hr = id == 6 ? CancelUpdate(&value) : WriteiPodDB(&value);
        }
        if (SUCCEEDED(hr) && result) {
          VariantInit(result);
          *result = value;
        } else {
          VariantClear(&value);
        }
        break;
      }
      case 3:  // initlaize
        if (FAILED(check(2, 3)) || FAILED(hr = args.Long(0, &n0, &has0)) ||
            FAILED(hr = args.Text(1, &s0, &has1)) || FAILED(hr = args.Text(2, &s1, &has2)))
          return hr;
        hr = initlaize(&n0, s0.ptr(), has2 ? s1.ptr() : nullptr);
        break;
      case 4:  // iPodDriveLetter
        if (FAILED(check(0, 0))) return hr;
        if (SUCCEEDED(hr = get_iPodDriveLetter(s0.ptr()))) SetText(result, &s0);
        break;
      case 5:  // iPodShuffle
        if (put) {
          if (FAILED(check(1, 1)) || FAILED(hr = args.Bool(0, &b0, &has0))) return hr;
          hr = put_iPodShuffle(&b0);
        } else {
          if (FAILED(check(0, 0))) return hr;
          if (SUCCEEDED(hr = get_iPodShuffle(&b0))) SetBool(result, b0);
        }
        break;
      case 8:  // Write_FileSize
        if (FAILED(check(1, 1)) || FAILED(hr = args.Text(0, &s0, &has0))) return hr;
        if (SUCCEEDED(hr = Write_FileSize(s0.ptr(), &b0))) SetBool(result, b0);
        break;
      case 9: {  // AddTrack
        // Omitted flags and the id keep their defaults (False, 0).
        if (FAILED(check(2, 6)) || FAILED(hr = args.Text(0, &s0, &has0)) ||
            FAILED(hr = args.Record(1, &info)) || FAILED(hr = args.Bool(2, &b0, &has1)) ||
            FAILED(hr = args.Text(3, &s1, &has2)) || FAILED(hr = args.Bool(4, &b1, &has3)) ||
            FAILED(hr = args.Long(5, &n1, &has1)))
          return hr;
        LONG id_out = 0;
        hr = AddTrack(s0.ptr(), info, &b0, has2 ? s1.ptr() : nullptr, &b1, &n1, &id_out);
        if (SUCCEEDED(hr)) SetLong(result, id_out);
        break;
      }
      case 10:  // ReBuildDB
        if (FAILED(check(0, 0))) return hr;
        if (SUCCEEDED(hr = ReBuildDB(&b0))) SetBool(result, b0);
        break;
      case 11:  // ModifyTrack
        if (FAILED(check(2, 2)) || FAILED(hr = args.Long(0, &n0, &has0)) ||
            FAILED(hr = args.Record(1, &info)))
          return hr;
        if (SUCCEEDED(hr = ModifyTrack(&n0, info, &b0))) SetBool(result, b0);
        break;
      case 12:  // GetTrackInfo
        if (FAILED(check(1, 1)) || FAILED(hr = args.Long(0, &n0, &has0))) return hr;
        hr = RecordResult<::TrackInfo>(types.track_info, result,
                                       [&](::TrackInfo* r) { return GetTrackInfo(&n0, r); });
        break;
      case 13:  // SetTrackInfo
        if (FAILED(check(2, 2)) || FAILED(hr = args.Text(0, &s0, &has0)) ||
            FAILED(hr = args.Record(1, &info)))
          return hr;
        if (SUCCEEDED(hr = SetTrackInfo(s0.ptr(), info, &b0))) SetBool(result, b0);
        break;
      case 14:  // GetDBInfo
        if (FAILED(check(0, 0))) return hr;
        hr = RecordResult<::MHBD>(types.mhbd, result, [&](::MHBD* r) { return GetDBInfo(r); });
        break;
      case 15:  // GetAllTracks
        if (FAILED(check(0, 0))) return hr;
        hr = RecordResult<::MHSD_T>(types.mhsd_t, result,
                                    [&](::MHSD_T* r) { return GetAllTracks(r); });
        break;
      case 16:  // GetAllPlayLists
      case 17:  // GetAllPodcasts
        if (FAILED(check(0, 0))) return hr;
        hr = RecordResult<::MHSD_P>(types.mhsd_p, result, [&](::MHSD_P* r) {
          return id == 16 ? GetAllPlayLists(r) : GetAllPodcasts(r);
        });
        break;
      case 18:  // GetAllAlbumPlayLists
        if (FAILED(check(0, 0))) return hr;
        hr = RecordResult<::MHSD_A>(types.mhsd_a, result,
                                    [&](::MHSD_A* r) { return GetAllAlbumPlayLists(r); });
        break;
      case 19:  // GetAllNewPlayLists
        if (FAILED(check(0, 0))) return hr;
        hr = RecordResult<::MHSD_NP>(types.mhsd_np, result,
                                     [&](::MHSD_NP* r) { return GetAllNewPlayLists(r); });
        break;
      case 20:  // ResetiPodDB
        if (FAILED(check(0, 0))) return hr;
        if (SUCCEEDED(hr = ResetiPodDB(&b0))) SetBool(result, b0);
        break;
      case 21:  // GetiPodDriveString
        if (FAILED(check(2, 3)) || FAILED(hr = args.Long(0, &n0, &has0)) ||
            FAILED(hr = args.Text(1, &s0, &has1)) || FAILED(hr = args.Bool(2, &b0, &has2)))
          return hr;
        {
          Bstr drive;
          if (SUCCEEDED(hr = GetiPodDriveString(&n0, s0.ptr(), &b0, drive.ptr())))
            SetText(result, &drive);
        }
        break;
      default:
        return DISP_E_MEMBERNOTFOUND;
    }
  } catch (const std::bad_alloc&) {
    hr = RaiseError(7, "Out of memory");
  }
  if (hr == E_OUTOFMEMORY && last_error_ != hr) hr = RaiseError(7, "Out of memory");
  if (SUCCEEDED(hr)) return hr;
  // A member's run-time error travels in the EXCEPINFO.
  if (!error) return hr;
  std::memset(error, 0, sizeof(*error));
  error->wCode = 0;
  error->scode = hr;
  error->bstrSource = SysAllocString(L"Cadenza.clsCadenza");
  if (hr == last_error_ && !last_description_.empty()) {
    try {
      error->bstrDescription = Utf8ToBstr(last_description_);
    } catch (const std::bad_alloc&) {
      error->bstrDescription = nullptr;
    }
  }
  return DISP_E_EXCEPTION;
}

}  // namespace cadenza::com

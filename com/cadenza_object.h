// The COM object clsCadenza: the dual interface _clsCadenza over the core's
// clsCadenza, its events through one connection point for __clsCadenza,
// class information and rich error information.
//
// Every member converts its arguments, calls the core's member of the same
// name and converts the results back. A member that fails raises a
// run-time error in the Visual Basic manner: the HRESULT 0x800A0000 plus
// the error number, with an IErrorInfo that carries the description (and
// for late-bound calls an EXCEPINFO). No C++ exception crosses the
// boundary.
#ifndef CADENZA_COM_CADENZA_OBJECT_H_
#define CADENZA_COM_CADENZA_OBJECT_H_

#include "com/win_host.h"  // first: it tames the Windows headers' macros

#include <ocidl.h>

#include <string>

#include "cadenza/cadenza.h"
#include <cadenza_h.h>

namespace cadenza::com {

class CadenzaObject final : public _clsCadenza,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public ISupportErrorInfo {
 public:
  // Makes an object and queries it for `riid`.
  static HRESULT Create(REFIID riid, void** out);

  CadenzaObject(const CadenzaObject&) = delete;
  CadenzaObject& operator=(const CadenzaObject&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch (dispatch.cc): members are dispatched by hand, because the
  // system's dispatcher does not take record parameters everywhere.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* error, UINT* arg_error) override;

  // _clsCadenza
  STDMETHODIMP LoadiPodDB(VARIANT_BOOL* result) override;
  STDMETHODIMP DeleteTrack(LONG* iTrackID, VARIANT* result) override;
  STDMETHODIMP initlaize(LONG* hParentWindow, BSTR* sApplicationName, BSTR* siPodDrive) override;
  STDMETHODIMP get_iPodDriveLetter(BSTR* result) override;
  STDMETHODIMP put_iPodShuffle(VARIANT_BOOL* bSet) override;
  STDMETHODIMP get_iPodShuffle(VARIANT_BOOL* result) override;
  STDMETHODIMP CancelUpdate(VARIANT* result) override;
  STDMETHODIMP WriteiPodDB(VARIANT* result) override;
  STDMETHODIMP Write_FileSize(BSTR* sFilePath, VARIANT_BOOL* result) override;
  STDMETHODIMP AddTrack(BSTR* sFilePath, ::TrackInfo* Info, VARIANT_BOOL* bSkipCopy,
                        BSTR* siPodPath, VARIANT_BOOL* bSkipSetInfo, LONG* iModifiedTrackID,
                        LONG* result) override;
  STDMETHODIMP ReBuildDB(VARIANT_BOOL* result) override;
  STDMETHODIMP ModifyTrack(LONG* iTrackID, ::TrackInfo* Info, VARIANT_BOOL* result) override;
  STDMETHODIMP GetTrackInfo(LONG* iTrackID, ::TrackInfo* result) override;
  STDMETHODIMP SetTrackInfo(BSTR* sFilePath, ::TrackInfo* tInfo, VARIANT_BOOL* result) override;
  STDMETHODIMP GetDBInfo(::MHBD* result) override;
  STDMETHODIMP GetAllTracks(::MHSD_T* result) override;
  STDMETHODIMP GetAllPlayLists(::MHSD_P* result) override;
  STDMETHODIMP GetAllPodcasts(::MHSD_P* result) override;
  STDMETHODIMP GetAllAlbumPlayLists(::MHSD_A* result) override;
  STDMETHODIMP GetAllNewPlayLists(::MHSD_NP* result) override;
  STDMETHODIMP ResetiPodDB(VARIANT_BOOL* result) override;
  STDMETHODIMP GetiPodDriveString(LONG* hwndParent, BSTR* sApplicationName,
                                  VARIANT_BOOL* bConfirm, BSTR* result) override;
  STDMETHODIMP GetVideoInformation(BSTR* sFilePath, VARIANT* result) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** out) override;

  // IProvideClassInfo2
  STDMETHODIMP GetClassInfo(ITypeInfo** out) override;
  STDMETHODIMP GetGUID(DWORD kind, GUID* out) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  // The connection point of __clsCadenza. It lives and dies with the
  // object, whose reference count it shares.
  class EventPoint : public IConnectionPoint {
   public:
    explicit EventPoint(CadenzaObject* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }
    STDMETHODIMP GetConnectionInterface(IID* out) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

   private:
    CadenzaObject* owner_;
  };

  // Which members may run while another member is under way (from an
  // event or a turn of the message loop): only those that change nothing.
  enum class Reentry { kAllowed, kRefused };

  CadenzaObject();
  ~CadenzaObject();

  // Runs a member body: clears the thread's error information, keeps the
  // object alive, refuses a reentrant call that would change the records
  // under a running member, and turns exceptions into run-time errors.
  template <class Body>
  HRESULT Call(Reentry reentry, Body&& body);
  // Records a run-time error and returns its HRESULT.
  HRESULT RaiseError(int number, const std::string& description);
  // Raises the core's status of the last member when it failed.
  HRESULT RaiseIfFailed();

  LONG refs_ = 1;
  EventSinks sinks_;
  WinHost host_;
  EventPoint events_;
  clsCadenza cls_;
  int depth_ = 0;  // members under way
  // The last run-time error, for the EXCEPINFO of a late-bound call.
  HRESULT last_error_ = S_OK;
  std::string last_description_;
};

}  // namespace cadenza::com

#endif  // CADENZA_COM_CADENZA_OBJECT_H_

// The application object and Office's add-in list, the two objects the host
// program drives as well as the add-ins.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "standin/outlook/dispatch.h"
#include "standin/outlook/objects.h"

namespace standin::outlook {

// One entry of COMAddIns: an add-in the host connects, and the object the add-in
// publishes through it (COMAddIn.Object).
class AddInObject final : public DispatchObject<AddInObject, COMAddIn> {
public:
    explicit AddInObject(std::wstring progId) : progId_(std::move(progId)) {}

    [[nodiscard]] const std::wstring& progId() const noexcept { return progId_; }
    // Drops the published object, as the host does when it disconnects the add-in.
    void Disconnect() noexcept;

    [[nodiscard]] HRESULT GetProgId(Call& call);
    [[nodiscard]] HRESULT GetPublishedObject(Call& call);
    [[nodiscard]] HRESULT PutPublishedObject(Call& call);

    static constexpr Member<AddInObject> kMembers[] = {
        {L"ProgId", 1, Access::Get, 0, 0, &AddInObject::GetProgId},
        {L"Object", 2, Access::Get, 0, 0, &AddInObject::GetPublishedObject},
        {L"Object", 2, Access::Put, 1, 1, &AddInObject::PutPublishedObject},
    };

private:
    const std::wstring progId_;
    std::mutex lock_;
    base::ComPtr<IDispatch> object_;  // under lock_
};

// COMAddIns: the add-ins the host connects, in the order it added them.
class AddInsObject final : public DispatchObject<AddInsObject, COMAddIns> {
public:
    // Adds an entry for the add-in `progId`; `entry` is its COMAddIn.
    [[nodiscard]] HRESULT Add(const wchar_t* progId, base::ComPtr<IDispatch>& entry) noexcept;
    void DisconnectAll() noexcept;

    // Item(index): by ProgID (text, ignoring case) or by 1-based number.
    [[nodiscard]] HRESULT Item(Call& call);
    [[nodiscard]] HRESULT GetCount(Call& call);

    static constexpr Member<AddInsObject> kMembers[] = {
        {L"Item", DISPID_VALUE, Access::Method, 1, 1, &AddInsObject::Item},
        {L"Count", 1, Access::Get, 0, 0, &AddInsObject::GetCount},
    };

private:
    std::mutex lock_;
    std::vector<base::ComPtr<AddInObject>> entries_;  // under lock_
};

// _Application: the namespace, the add-in list and Quit, which signals the host.
class ApplicationObject final : public DispatchObject<ApplicationObject, _Application> {
public:
    // The application over an open profile, with its quit event (manual reset).
    [[nodiscard]] static HRESULT Create(std::shared_ptr<store::Profile> profile,
                                        base::ComPtr<ApplicationObject>& out) noexcept;

    [[nodiscard]] AddInsObject& addIns() noexcept { return *addIns_.get(); }
    // Signalled once Quit was called; owned by this object.
    [[nodiscard]] HANDLE quitRequested() const noexcept { return quitRequested_.get(); }

    [[nodiscard]] HRESULT GetNamespace(Call& call);
    [[nodiscard]] HRESULT GetSession(Call& call);
    [[nodiscard]] HRESULT Quit(Call& call);
    [[nodiscard]] HRESULT GetCOMAddIns(Call& call);

    static constexpr Member<ApplicationObject> kMembers[] = {
        {L"GetNamespace", 1, Access::Method, 1, 1, &ApplicationObject::GetNamespace},
        {L"Session", 2, Access::Get, 0, 0, &ApplicationObject::GetSession},
        {L"Quit", 3, Access::Method, 0, 0, &ApplicationObject::Quit},
        {L"COMAddIns", 4, Access::Get, 0, 0, &ApplicationObject::GetCOMAddIns},
    };

private:
    ApplicationObject(base::ComPtr<_NameSpace> nameSpace, base::ComPtr<AddInsObject> addIns,
                      base::UniqueHandle quitRequested, bool sessionRefused) noexcept
        : nameSpace_(std::move(nameSpace)),
          addIns_(std::move(addIns)),
          quitRequested_(std::move(quitRequested)),
          sessionRefused_(sessionRefused) {}

    const base::ComPtr<_NameSpace> nameSpace_;
    const base::ComPtr<AddInsObject> addIns_;
    const base::UniqueHandle quitRequested_;
    const bool sessionRefused_;  // the profile's session fault
};

}  // namespace standin::outlook

// The MAPI objects of a message file: IMessage (the file's message, or an
// embedded one) and IAttach. Each works on its own copy of its data; SaveChanges
// hands the copy up: an attachment into its message, an embedded message into
// its attachment, the file's message into the storage. An object tree is used
// by one thread at a time, as MAPI's message-on-storage objects are.
#pragma once

#include "base/com.h"
#include "base/critical_section.h"
#include "base/com_object.h"
#include "standin/msg/message_data.h"

#include <memory>
#include <span>
#include <vector>

namespace standin::msg {

// What the objects of one file share.
struct Tree {
    NameMap names;
    LPALLOCATEBUFFER allocateBuffer = &::MAPIAllocateBuffer;  // for every buffer handed out
    LPALLOCATEMORE allocateMore = &::MAPIAllocateMore;
    LPFREEBUFFER freeBuffer = &::MAPIFreeBuffer;
    bool unicode = true;  // opened with MAPI_UNICODE: strings are kept as they are given
};

// IMAPIProp over a PropertySet, the part messages and attachments share.
template <typename Interface>
class PropObject : public base::ComObject<Interface> {
public:
    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) noexcept override;
    STDMETHODIMP GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count,
                          LPSPropValue* values) noexcept override;
    STDMETHODIMP GetPropList(ULONG flags, LPSPropTagArray* tags) noexcept override;
    STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags,
                              LPUNKNOWN* out) noexcept override;
    STDMETHODIMP SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) noexcept override;
    STDMETHODIMP DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) noexcept override;
    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                                 LPMAPINAMEID** names) noexcept override;
    STDMETHODIMP GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                 LPSPropTagArray* tags) noexcept override;

    [[nodiscard]] PropertySet& props() noexcept { return *props_; }
    [[nodiscard]] Tree& tree() noexcept { return *tree_; }
    [[nodiscard]] const std::shared_ptr<Tree>& sharedTree() const noexcept { return tree_; }
    // The code page property `tag` of this object is in as 8-bit text (its message's rule).
    [[nodiscard]] virtual UINT CodePage(ULONG tag) const noexcept = 0;

protected:
    PropObject(std::shared_ptr<Tree> tree, PropertySet* props) noexcept
        : tree_(std::move(tree)), props_(props) {}

    // Values the object gives without storing them (an attachment's number).
    [[nodiscard]] virtual std::span<const SPropValue> Computed() const noexcept { return {}; }
    // Tags GetPropList lists beyond the stored and computed ones (an embedded message).
    [[nodiscard]] virtual std::span<const ULONG> ObjectTags() const noexcept { return {}; }

private:
    [[nodiscard]] const SPropValue* Lookup(ULONG tag) const noexcept;

    std::shared_ptr<Tree> tree_;
    PropertySet* props_;
};

class Attachment;
class Message;

// A message session: the file messages opened in it, which closing it detaches
// from their storages. Any thread.
class SessionState {
public:
    [[nodiscard]] bool Initialize() noexcept;
    // False when the session is already closed.
    [[nodiscard]] bool Add(Message* message) noexcept;
    void Forget(Message* message) noexcept;
    void Close() noexcept;

private:
    base::CriticalSection lock_;
    std::vector<Message*> open_;
    bool closed_ = false;
};

class Message final : public PropObject<IMessage> {
public:
    // The message of a file, over `storage`; `noCommit` is IMSG_NO_ISTG_COMMIT.
    struct FileBinding {
        base::ComPtr<IStorage> storage;
        bool noCommit = false;
        std::shared_ptr<SessionState> session;
        MSGCALLRELEASE* onRelease = nullptr;  // told when the message goes
        ULONG callerData = 0;
    };
    [[nodiscard]] static HRESULT OpenFile(std::shared_ptr<Tree> tree, FileBinding binding,
                                          Message** out) noexcept;
    // An embedded message of `parent`, over a copy of `data` (empty when null).
    [[nodiscard]] static HRESULT OpenEmbedded(Attachment* parent, const MessageData* data,
                                              Message** out) noexcept;

    // Drops the storage: the file's session closed. Later saves fail.
    void Detach() noexcept { binding_.storage.reset(); }
    [[nodiscard]] MessageData& data() noexcept { return data_; }
    [[nodiscard]] UINT CodePage(ULONG tag) const noexcept override;

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPIProp}, {&IID_IMessage}};
        return kInterfaces;
    }
    STDMETHODIMP SaveChanges(ULONG flags) noexcept override;
    STDMETHODIMP CopyTo(ULONG excludedInterfaceCount, LPCIID excludedInterfaces, LPSPropTagArray excluded,
                        ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid, LPVOID destination, ULONG flags,
                        LPSPropProblemArray* problems) noexcept override;
    STDMETHODIMP CopyProps(LPSPropTagArray included, ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid,
                           LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept override;
    STDMETHODIMP GetAttachmentTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attach) noexcept override;
    STDMETHODIMP CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attach) noexcept override;
    STDMETHODIMP DeleteAttach(ULONG number, ULONG uiParam, LPMAPIPROGRESS progress,
                              ULONG flags) noexcept override;
    STDMETHODIMP GetRecipientTable(ULONG flags, LPMAPITABLE* table) noexcept override;
    STDMETHODIMP ModifyRecipients(ULONG flags, LPADRLIST recipients) noexcept override;
    STDMETHODIMP SubmitMessage(ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetReadFlag(ULONG flags) noexcept override;

private:
    Message(std::shared_ptr<Tree> tree, FileBinding binding, Attachment* parent) noexcept;
    ~Message() override;

    [[nodiscard]] std::span<const SPropValue> Computed() const noexcept override {
        return {&supportMask_, 1};
    }

    MessageData data_;
    SPropValue supportMask_{};         // PR_STORE_SUPPORT_MASK
    FileBinding binding_;              // the file's message
    base::ComPtr<Attachment> parent_;  // an embedded message
};

class Attachment final : public PropObject<IAttach> {
public:
    // Attachment `number` of `parent`, over a copy of `data` (empty when null).
    [[nodiscard]] static HRESULT Open(Message* parent, ULONG number, const AttachmentData* data,
                                      Attachment** out) noexcept;

    [[nodiscard]] AttachmentData& data() noexcept { return data_; }
    [[nodiscard]] UINT CodePage(ULONG tag) const noexcept override { return parent_->CodePage(tag); }

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPIProp}, {&IID_IAttachment}};
        return kInterfaces;
    }
    STDMETHODIMP SaveChanges(ULONG flags) noexcept override;
    STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags,
                              LPUNKNOWN* out) noexcept override;
    STDMETHODIMP CopyTo(ULONG excludedInterfaceCount, LPCIID excludedInterfaces, LPSPropTagArray excluded,
                        ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid, LPVOID destination, ULONG flags,
                        LPSPropProblemArray* problems) noexcept override;
    STDMETHODIMP CopyProps(LPSPropTagArray included, ULONG uiParam, LPMAPIPROGRESS progress, LPCIID iid,
                           LPVOID destination, ULONG flags, LPSPropProblemArray* problems) noexcept override;

private:
    Attachment(Message* parent, ULONG number) noexcept;

    [[nodiscard]] std::span<const SPropValue> Computed() const noexcept override { return {&number_, 1}; }
    [[nodiscard]] std::span<const ULONG> ObjectTags() const noexcept override;

    base::ComPtr<Message> parent_;
    AttachmentData data_;
    SPropValue number_{};  // PR_ATTACH_NUM
};

// An IStream over a copy of the string or binary property `tag` of `props`
// (strings of the other width converted through `codePage`); opened with
// MAPI_MODIFY, Commit (or the last Release after a write) stores its content
// back as `tag`; MAPI_CREATE starts empty. `owner` is kept alive meanwhile.
[[nodiscard]] HRESULT OpenPropertyStream(IUnknown* owner, PropertySet& props, UINT codePage, ULONG tag,
                                         ULONG flags, IStream** out) noexcept;

// Problems of a copy or a SetProps, handed out as MAPI hands them out.
[[nodiscard]] HRESULT MakeProblemArray(const std::vector<SPropProblem>& problems, const Tree& tree,
                                       LPSPropProblemArray* out) noexcept;

}  // namespace standin::msg

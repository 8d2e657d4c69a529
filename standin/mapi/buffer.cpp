// MAPI's buffer rules: MAPIAllocateBuffer gives a root block; MAPIAllocateMore ties
// a further block to a root (or to any block of that root's family); MAPIFreeBuffer
// of the root frees the whole family. Freeing a tied block alone does nothing: it
// lives as long as its root. All functions are safe to call from any thread.
#include "standin/mapi/mapi.h"

#include "base/com_object.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::uint64_t kRootMagic = 0x746F6F5269706D41;
constexpr std::uint64_t kChildMagic = 0x646C696869706D41;
constexpr std::uint64_t kFreedMagic = 0x6565724669706D41;

// Precedes every block; 32 bytes keep the caller's data 16-byte aligned.
struct alignas(16) BlockHeader {
    std::uint64_t magic;
    BlockHeader* root;  // the family's root; a root points to itself
    // For a root: the most recent tied block; for a tied block: the one tied before it.
    BlockHeader* volatile next;
};
static_assert(sizeof(BlockHeader) == 32);

[[nodiscard]] BlockHeader* HeaderOf(void* data) noexcept { return static_cast<BlockHeader*>(data) - 1; }

[[nodiscard]] BlockHeader* NewBlock(ULONG cb) noexcept {
    return static_cast<BlockHeader*>(
        ::HeapAlloc(::GetProcessHeap(), 0, sizeof(BlockHeader) + static_cast<std::size_t>(cb)));
}

void FreeBlock(BlockHeader* block) noexcept {
    block->magic = kFreedMagic;
    ::HeapFree(::GetProcessHeap(), 0, block);
}

// Ties `child` to `root` with a lock-free push, so tying from two threads is safe.
void TieToRoot(BlockHeader* root, BlockHeader* child) noexcept {
    BlockHeader* head;
    do {
        head = root->next;
        child->next = head;
    } while (::InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&root->next), child,
                                                 head) != head);
}

// A default IMalloc over the process heap, one object for the process.
class DefaultMalloc final : public base::StaticComObject<IMalloc> {
public:
    // MAPI's default allocator counts no references: AddRef and Release answer 1.
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return 1; }
    STDMETHODIMP_(ULONG) Release() noexcept override { return 1; }
    STDMETHODIMP_(void*) Alloc(SIZE_T cb) noexcept override { return ::HeapAlloc(::GetProcessHeap(), 0, cb); }
    STDMETHODIMP_(void*) Realloc(void* pv, SIZE_T cb) noexcept override {
        if (!pv) return Alloc(cb);
        if (cb == 0) {
            Free(pv);
            return nullptr;
        }
        return ::HeapReAlloc(::GetProcessHeap(), 0, pv, cb);
    }
    STDMETHODIMP_(void) Free(void* pv) noexcept override {
        if (pv) ::HeapFree(::GetProcessHeap(), 0, pv);
    }
    STDMETHODIMP_(SIZE_T) GetSize(void* pv) noexcept override {
        return pv ? ::HeapSize(::GetProcessHeap(), 0, pv) : static_cast<SIZE_T>(-1);
    }
    STDMETHODIMP_(int) DidAlloc(void* pv) noexcept override { return pv ? -1 : 0; }
    STDMETHODIMP_(void) HeapMinimize() noexcept override {}

private:
    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMalloc}};
        return kInterfaces;
    }
};

DefaultMalloc g_defaultMalloc;

}  // namespace

extern "C" {

SCODE WINAPI MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
    if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    BlockHeader* block = NewBlock(cbSize);
    if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;
    block->magic = kRootMagic;
    block->root = block;
    block->next = nullptr;
    *lppBuffer = block + 1;
    return S_OK;
}

SCODE WINAPI MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
    if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
    if (!lpObject) return MAPIAllocateBuffer(cbSize, lppBuffer);
    *lppBuffer = nullptr;
    BlockHeader* parent = HeaderOf(lpObject);
    if (parent->magic != kRootMagic && parent->magic != kChildMagic) return MAPI_E_INVALID_PARAMETER;
    BlockHeader* block = NewBlock(cbSize);
    if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;
    block->magic = kChildMagic;
    block->root = parent->root;
    TieToRoot(parent->root, block);
    *lppBuffer = block + 1;
    return S_OK;
}

ULONG WINAPI MAPIFreeBuffer(LPVOID lpBuffer) {
    if (!lpBuffer) return S_OK;
    BlockHeader* block = HeaderOf(lpBuffer);
    if (block->magic != kRootMagic) return S_OK;  // a tied block goes with its root
    BlockHeader* child = block->next;
    while (child) {
        BlockHeader* next = child->next;
        FreeBlock(child);
        child = next;
    }
    FreeBlock(block);
    return S_OK;
}

LPMALLOC WINAPI MAPIGetDefaultMalloc() { return &g_defaultMalloc; }

}  // extern "C"

#include "standin/mapi/table.h"

#include "base/boundary.h"
#include "base/critical_section.h"
#include "base/mapi_buffer.h"
#include "base/com_object.h"
#include "standin/mapi/props.h"
#include "standin/mapi/strings.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace standin {
namespace {

constexpr int kMaxRestrictionDepth = 64;
constexpr DWORD kSpinCount = 4000;

// ---- restrictions -------------------------------------------------------------

[[nodiscard]] bool RelationHolds(ULONG relop, int order) noexcept {
    switch (relop) {
    case RELOP_LT:
        return order < 0;
    case RELOP_LE:
        return order <= 0;
    case RELOP_GT:
        return order > 0;
    case RELOP_GE:
        return order >= 0;
    case RELOP_EQ:
        return order == 0;
    case RELOP_NE:
        return order != 0;
    default:
        return false;
    }
}

[[nodiscard]] HRESULT Evaluate(const SRestriction& r, TableRow row, int depth, bool& matches) noexcept;

[[nodiscard]] HRESULT EvaluateList(ULONG count, const SRestriction* list, bool isAnd, TableRow row, int depth,
                                   bool& matches) noexcept {
    matches = isAnd;
    for (ULONG i = 0; i < count; ++i) {
        bool one = false;
        if (HRESULT hr = Evaluate(list[i], row, depth + 1, one); FAILED(hr)) return hr;
        if (one != isAnd) {
            matches = one;
            return S_OK;
        }
    }
    return S_OK;
}

HRESULT Evaluate(const SRestriction& r, TableRow row, int depth, bool& matches) noexcept {
    matches = false;
    if (depth > kMaxRestrictionDepth) return MAPI_E_TOO_COMPLEX;
    switch (r.rt) {
    case RES_AND:
        return EvaluateList(r.res.resAnd.cRes, r.res.resAnd.lpRes, true, row, depth, matches);
    case RES_OR:
        return EvaluateList(r.res.resOr.cRes, r.res.resOr.lpRes, false, row, depth, matches);
    case RES_NOT: {
        if (!r.res.resNot.lpRes) return MAPI_E_INVALID_PARAMETER;
        const HRESULT hr = Evaluate(*r.res.resNot.lpRes, row, depth + 1, matches);
        matches = !matches;
        return hr;
    }
    case RES_EXIST:
        matches = FindPropById(row, r.res.resExist.ulPropTag) != nullptr;
        return S_OK;
    case RES_PROPERTY: {
        const SPropertyRestriction& p = r.res.resProperty;
        const SPropValue* value = FindPropById(row, p.ulPropTag);
        if (!value || !p.lpProp) return S_OK;
        const auto order = ComparePropValues(*value, *p.lpProp);
        matches = order && RelationHolds(p.relop, *order);
        return S_OK;
    }
    default:
        return MAPI_E_TOO_COMPLEX;
    }
}

// ---- the table ----------------------------------------------------------------

struct StoredRow {
    base::UniqueMapiBuffer<SPropValue> values;
    ULONG count = 0;
    [[nodiscard]] TableRow span() const noexcept { return {values.get(), count}; }
};

[[nodiscard]] HRESULT CopyTagArray(const SPropTagArray& tags,
                                   base::UniqueMapiBuffer<SPropTagArray>& out) noexcept {
    HRESULT hr = ::MAPIAllocateBuffer(CbSPropTagArray(&tags), reinterpret_cast<void**>(out.put()));
    if (SUCCEEDED(hr)) std::copy_n(&tags.cValues, 1 + tags.cValues, &out.get()->cValues);
    return hr;
}

class MemoryTable final : public base::ComObject<IMAPITable> {
public:
    MemoryTable(ULONG tableType, std::vector<StoredRow> rows) noexcept
        : tableType_(tableType), rows_(std::move(rows)) {}

    [[nodiscard]] HRESULT Initialize(const SPropTagArray& columns) noexcept {
        if (!lock_.Initialize(kSpinCount)) return MAPI_E_NOT_ENOUGH_MEMORY;
        if (HRESULT hr = CopyTagArray(columns, columns_); FAILED(hr)) return hr;
        return RebuildView();
    }

    [[nodiscard]] std::span<const InterfaceEntry> Table() const noexcept override {
        static constexpr InterfaceEntry kInterfaces[] = {{&IID_IMAPITable}};
        return kInterfaces;
    }
    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* error) noexcept override {
        if (error) *error = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG* connection) noexcept override {
        if (connection) *connection = 0;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP Unadvise(ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP GetStatus(ULONG* status, ULONG* type) noexcept override {
        if (!status || !type) return MAPI_E_INVALID_PARAMETER;
        *status = TBLSTAT_COMPLETE;
        *type = tableType_;
        return S_OK;
    }
    STDMETHODIMP SetColumns(LPSPropTagArray columns, ULONG) noexcept override {
        if (!columns) return MAPI_E_INVALID_PARAMETER;
        base::ScopedLock lock(lock_);
        return CopyTagArray(*columns, columns_);
    }
    STDMETHODIMP QueryColumns(ULONG flags, LPSPropTagArray* columns) noexcept override;
    STDMETHODIMP GetRowCount(ULONG, ULONG* count) noexcept override {
        if (!count) return MAPI_E_INVALID_PARAMETER;
        base::ScopedLock lock(lock_);
        *count = static_cast<ULONG>(view_.size());
        return S_OK;
    }
    STDMETHODIMP SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) noexcept override;
    STDMETHODIMP SeekRowApprox(ULONG, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP QueryPosition(ULONG*, ULONG*, ULONG*) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP FindRow(LPSRestriction restriction, BOOKMARK origin, ULONG flags) noexcept override;
    STDMETHODIMP Restrict(LPSRestriction restriction, ULONG) noexcept override;
    STDMETHODIMP CreateBookmark(BOOKMARK* bookmark) noexcept override {
        if (bookmark) *bookmark = BOOKMARK_BEGINNING;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP FreeBookmark(BOOKMARK) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SortTable(LPSSortOrderSet, ULONG) noexcept override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP QuerySortOrder(LPSSortOrderSet* order) noexcept override {
        if (order) *order = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) noexcept override;
    STDMETHODIMP Abort() noexcept override { return S_OK; }
    STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet* rows, ULONG* moreRows) noexcept override {
        if (rows) *rows = nullptr;
        if (moreRows) *moreRows = 0;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG* rowCount) noexcept override {
        if (rowCount) *rowCount = 0;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG* status) noexcept override {
        if (status) *status = TBLSTAT_COMPLETE;
        return S_OK;
    }
    STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG* size, LPBYTE* state) noexcept override {
        if (size) *size = 0;
        if (state) *state = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK* location) noexcept override {
        if (location) *location = BOOKMARK_BEGINNING;
        return MAPI_E_NO_SUPPORT;
    }

private:
    // The rows that pass the restriction, in their order; the cursor goes to the top.
    [[nodiscard]] HRESULT RebuildView() noexcept;
    [[nodiscard]] HRESULT PositionOf(BOOKMARK bookmark, std::size_t& position) const noexcept;
    [[nodiscard]] HRESULT BuildRow(const StoredRow& row, SRow& out) const noexcept;

    const ULONG tableType_;
    const std::vector<StoredRow> rows_;
    base::CriticalSection lock_;
    base::UniqueMapiBuffer<SPropTagArray> columns_;
    const SRestriction* restriction_ = nullptr;  // only during RebuildView
    std::vector<std::size_t> view_;              // indexes into rows_
    std::size_t position_ = 0;                   // index into view_
};

HRESULT MemoryTable::RebuildView() noexcept {
    return base::ReturnOr(
        [&] {
            std::vector<std::size_t> view;
            for (std::size_t i = 0; i < rows_.size(); ++i) {
                bool matches = true;
                if (restriction_) {
                    if (HRESULT hr = Evaluate(*restriction_, rows_[i].span(), 0, matches); FAILED(hr))
                        return hr;
                }
                if (matches) view.push_back(i);
            }
            view_ = std::move(view);
            position_ = 0;
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

HRESULT MemoryTable::QueryColumns(ULONG flags, LPSPropTagArray* columns) noexcept {
    if (!columns) return MAPI_E_INVALID_PARAMETER;
    *columns = nullptr;
    base::ScopedLock lock(lock_);
    base::UniqueMapiBuffer<SPropTagArray> out;
    if (!(flags & TBL_ALL_COLUMNS)) {
        if (HRESULT hr = CopyTagArray(*columns_.get(), out); FAILED(hr)) return hr;
        *columns = out.release();
        return S_OK;
    }
    const HRESULT hr = base::ReturnOr(
        [&] {
            std::vector<ULONG> tags;
            for (const StoredRow& row : rows_) {
                for (const SPropValue& v : row.span()) {
                    if (std::find(tags.begin(), tags.end(), v.ulPropTag) == tags.end())
                        tags.push_back(v.ulPropTag);
                }
            }
            HRESULT hr =
                ::MAPIAllocateBuffer(CbNewSPropTagArray(tags.size()), reinterpret_cast<void**>(out.put()));
            if (FAILED(hr)) return hr;
            out.get()->cValues = static_cast<ULONG>(tags.size());
            std::copy(tags.begin(), tags.end(), out.get()->aulPropTag);
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
    if (FAILED(hr)) return hr;
    *columns = out.release();
    return S_OK;
}

HRESULT MemoryTable::PositionOf(BOOKMARK bookmark, std::size_t& position) const noexcept {
    switch (bookmark) {
    case BOOKMARK_BEGINNING:
        position = 0;
        return S_OK;
    case BOOKMARK_CURRENT:
        position = position_;
        return S_OK;
    case BOOKMARK_END:
        position = view_.size();
        return S_OK;
    default:
        return MAPI_E_INVALID_BOOKMARK;
    }
}

HRESULT MemoryTable::SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) noexcept {
    base::ScopedLock lock(lock_);
    std::size_t start = 0;
    if (HRESULT hr = PositionOf(origin, start); FAILED(hr)) return hr;
    const LONGLONG target =
        std::clamp<LONGLONG>(static_cast<LONGLONG>(start) + rowCount, 0, static_cast<LONGLONG>(view_.size()));
    position_ = static_cast<std::size_t>(target);
    if (rowsSought) *rowsSought = static_cast<LONG>(target - static_cast<LONGLONG>(start));
    return S_OK;
}

HRESULT MemoryTable::FindRow(LPSRestriction restriction, BOOKMARK origin, ULONG flags) noexcept {
    if (!restriction) return MAPI_E_INVALID_PARAMETER;
    base::ScopedLock lock(lock_);
    std::size_t start = 0;
    if (HRESULT hr = PositionOf(origin, start); FAILED(hr)) return hr;
    const bool backward = (flags & DIR_BACKWARD) != 0;
    // Forwards from the origin's row; backwards from the row before it.
    for (std::size_t i = start; backward ? i > 0 : i < view_.size(); backward ? --i : ++i) {
        const std::size_t candidate = backward ? i - 1 : i;
        bool matches = false;
        if (HRESULT hr = Evaluate(*restriction, rows_[view_[candidate]].span(), 0, matches); FAILED(hr))
            return hr;
        if (matches) {
            position_ = candidate;
            return S_OK;
        }
    }
    return MAPI_E_NOT_FOUND;
}

HRESULT MemoryTable::Restrict(LPSRestriction restriction, ULONG) noexcept {
    base::ScopedLock lock(lock_);
    restriction_ = restriction;
    const HRESULT hr = RebuildView();
    restriction_ = nullptr;
    return hr;
}

HRESULT MemoryTable::BuildRow(const StoredRow& row, SRow& out) const noexcept {
    const SPropTagArray& columns = *columns_.get();
    base::UniqueMapiBuffer<SPropValue> values;
    HRESULT hr = ::MAPIAllocateBuffer(static_cast<ULONG>(columns.cValues * sizeof(SPropValue)),
                                      reinterpret_cast<void**>(values.put()));
    if (FAILED(hr)) return hr;
    for (ULONG c = 0; c < columns.cValues; ++c) {
        const ULONG tag = columns.aulPropTag[c];
        SPropValue& slot = values.get()[c];
        const SPropValue* value = FindPropById(row.span(), tag);
        const ULONG have = value ? PROP_TYPE(value->ulPropTag) : 0;
        const ULONG want = PROP_TYPE(tag);
        if (value && (want == PT_UNSPECIFIED || want == have || have == PT_ERROR)) {
            hr = CopyPropValue(*value, values.get(), slot);
        } else if (value && AreStringTwins(have, want)) {
            hr = ConvertStringValue(*value, want, CodePageOf(row.span(), tag), values.get(), slot);
        } else {
            slot = ErrorValue(tag, MAPI_E_NOT_FOUND);
        }
        if (FAILED(hr)) return hr;
    }
    out.cValues = columns.cValues;
    out.lpProps = values.release();
    return S_OK;
}

HRESULT MemoryTable::QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) noexcept {
    if (!rows || rowCount == 0) return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    base::ScopedLock lock(lock_);
    // Negative counts read the rows before the cursor and leave it on the first.
    const std::size_t wanted = rowCount < 0 ? static_cast<std::size_t>(-static_cast<LONGLONG>(rowCount))
                                            : static_cast<std::size_t>(rowCount);
    const std::size_t first = rowCount < 0 ? position_ - std::min(wanted, position_) : position_;
    const std::size_t count = rowCount < 0 ? position_ - first : std::min(wanted, view_.size() - position_);
    base::UniqueMapiBuffer<SRowSet> set;
    HRESULT hr =
        ::MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(count)), reinterpret_cast<void**>(set.put()));
    if (FAILED(hr)) return hr;
    set.get()->cRows = 0;
    for (std::size_t i = 0; i < count; ++i) {
        hr = BuildRow(rows_[view_[first + i]], set.get()->aRow[i]);
        if (FAILED(hr)) {
            ::FreeProws(set.release());
            return hr;
        }
        ++set.get()->cRows;
    }
    if (!(flags & TBL_NOADVANCE)) position_ = rowCount < 0 ? first : first + count;
    *rows = set.release();
    return S_OK;
}

}  // namespace

HRESULT CreateTable(ULONG tableType, const SPropTagArray& columns, std::span<const TableRow> rows,
                    IMAPITable** table) noexcept {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<StoredRow> stored(rows.size());
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (HRESULT hr = CopyPropArray(rows[i], stored[i].values.put()); FAILED(hr)) return hr;
                stored[i].count = static_cast<ULONG>(rows[i].size());
            }
            base::ComPtr<MemoryTable> created;
            if (HRESULT hr = base::MakeObject<MemoryTable>(created, tableType, std::move(stored)); FAILED(hr))
                return hr;
            if (HRESULT hr = created->Initialize(columns); FAILED(hr)) return hr;
            *table = created.detach();
            return S_OK;
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin

extern "C" {

void WINAPI FreeProws(LPSRowSet lpRows) {
    if (!lpRows) return;
    for (ULONG i = 0; i < lpRows->cRows; ++i) ::MAPIFreeBuffer(lpRows->aRow[i].lpProps);
    ::MAPIFreeBuffer(lpRows);
}

HRESULT WINAPI HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                              LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
    if (!lpTable || !lppRows) return MAPI_E_INVALID_PARAMETER;
    *lppRows = nullptr;
    HRESULT hr = S_OK;
    if (lpPropTags && FAILED(hr = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return hr;
    if (lpRestriction && FAILED(hr = lpTable->Restrict(lpRestriction, TBL_BATCH))) return hr;
    if (lpSortOrderSet && FAILED(hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) return hr;
    if (FAILED(hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
    ULONG count = 0;
    if (FAILED(hr = lpTable->GetRowCount(0, &count))) return hr;
    if (crowsMax > 0 && count > static_cast<ULONG>(crowsMax)) return MAPI_E_TABLE_TOO_BIG;
    // One read of every row; a table may give fewer, so the rest are read and joined.
    LPSRowSet rows = nullptr;
    if (FAILED(hr = lpTable->QueryRows(static_cast<LONG>(std::max<ULONG>(count, 1)), 0, &rows))) return hr;
    base::UniqueMapiBuffer<SRowSet> all(rows);
    while (all.get()->cRows < count) {
        LPSRowSet more = nullptr;
        if (FAILED(hr = lpTable->QueryRows(static_cast<LONG>(count - all.get()->cRows), 0, &more))) break;
        base::UniqueMapiBuffer<SRowSet> next(more);
        if (next.get()->cRows == 0) break;
        const ULONG joined = all.get()->cRows + next.get()->cRows;
        base::UniqueMapiBuffer<SRowSet> merged;
        if (FAILED(hr = ::MAPIAllocateBuffer(CbNewSRowSet(joined), reinterpret_cast<void**>(merged.put())))) {
            FreeProws(next.release());
            break;
        }
        merged.get()->cRows = joined;
        std::copy_n(all.get()->aRow, all.get()->cRows, merged.get()->aRow);
        std::copy_n(next.get()->aRow, next.get()->cRows, merged.get()->aRow + all.get()->cRows);
        all = std::move(merged);  // the row data moved; only the old arrays are freed
    }
    if (FAILED(hr)) {
        FreeProws(all.release());
        return hr;
    }
    *lppRows = all.release();
    return S_OK;
}

}  // extern "C"

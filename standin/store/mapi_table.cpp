// Tables of the store's rows, over the stand-in's in-memory table.
#include "standin/store/mapi_objects.h"

#include <algorithm>

#include "base/boundary.h"
#include "base/mapi_buffer.h"
#include "standin/mapi/table.h"

namespace standin::store {

HRESULT CreateRowTable(const std::vector<ProviderProps>& rows, ULONG flags, LPMAPITABLE* table,
                       std::span<const ULONG> defaultColumns) {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    return base::ReturnOr(
        [&] {
            std::vector<base::UniqueMapiBuffer<SPropValue>> values(rows.size());
            std::vector<TableRow> tableRows;
            std::vector<ULONG> columns;  // every tag of the rows, in first-seen order
            for (size_t i = 0; i < rows.size(); ++i) {
                ULONG count = 0;
                const HRESULT hr = rows[i].GetProps(nullptr, flags, &count, values[i].put());
                if (FAILED(hr)) return hr;
                tableRows.emplace_back(values[i].get(), count);
                for (ULONG j = 0; j < count; ++j) {
                    const ULONG tag = values[i].get()[j].ulPropTag;
                    if (PROP_TYPE(tag) == PT_ERROR) continue;
                    if (std::find(columns.begin(), columns.end(), tag) == columns.end())
                        columns.push_back(tag);
                }
            }
            if (!defaultColumns.empty()) {
                const ULONG stringType = (flags & MAPI_UNICODE) ? PT_UNICODE : PT_STRING8;
                columns.clear();
                for (const ULONG tag : defaultColumns) {
                    columns.push_back(PROP_TYPE(tag) == PT_UNICODE ? CHANGE_PROP_TYPE(tag, stringType) : tag);
                }
            }
            std::vector<BYTE> columnBuffer(CbNewSPropTagArray(columns.size()));
            auto* columnArray = reinterpret_cast<SPropTagArray*>(columnBuffer.data());
            columnArray->cValues = static_cast<ULONG>(columns.size());
            std::copy(columns.begin(), columns.end(), columnArray->aulPropTag);
            return CreateTable(TBLTYPE_SNAPSHOT, *columnArray, tableRows, table);
        },
        MAPI_E_NOT_ENOUGH_MEMORY);
}

}  // namespace standin::store

// An in-memory IMAPITable: a snapshot of rows, each the property values of one
// object, held by the table in MAPI buffers.
//
// What it does:
//   SetColumns / QueryColumns (TBL_ALL_COLUMNS: every tag a row holds), GetRowCount,
//   SeekRow and FindRow (from BOOKMARK_BEGINNING, _CURRENT or _END, forwards or
//   DIR_BACKWARD), QueryRows (negative counts read backwards; TBL_NOADVANCE),
//   Restrict (below), GetStatus, WaitForCompletion, Abort.
//   Bookmarks, sorting, approximate positions, Advise, Unadvise, ExpandRow,
//   CollapseRow, Get/SetCollapseState and GetLastError give MAPI_E_NO_SUPPORT:
//   nothing that reads the stand-in's tables asks for them.
// Columns: a column asks for a tag; a row gives the value with that property id
// when the type matches (or the column's type is PT_UNSPECIFIED), the other width
// of a string converted through the row's code page (strings.h), and otherwise
// an error value MAPI_E_NOT_FOUND.
// Restrictions see every property of a row, not only the columns: RES_AND, RES_OR,
// RES_NOT, RES_EXIST and RES_PROPERTY (every RELOP on the types props.h orders, and
// RELOP_EQ/RELOP_NE by ordering). A missing property makes a comparison false. Other
// kinds, or nesting deeper than 64 levels, fail with MAPI_E_TOO_COMPLEX.
// Threads: one table object may be used from any thread; calls are serialised.
#pragma once

#include "standin/mapi/mapi.h"

#include <span>

namespace standin {

// The property values of one row.
using TableRow = std::span<const SPropValue>;

// Creates a table over copies of `rows` (the caller keeps its own), showing
// `columns` until SetColumns; `tableType` is what GetStatus reports
// (TBLTYPE_SNAPSHOT, TBLTYPE_DYNAMIC). The new table has one reference.
[[nodiscard]] HRESULT CreateTable(ULONG tableType, const SPropTagArray& columns,
                                  std::span<const TableRow> rows, IMAPITable** table) noexcept;

}  // namespace standin

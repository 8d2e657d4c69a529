#include <gtest/gtest.h>

#include "base/com.h"
#include "standin/mapi/table.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using base::ComPtr;

constexpr ULONG kName = PR_DISPLAY_NAME_W;
constexpr ULONG kNameA = PR_DISPLAY_NAME_A;
constexpr ULONG kType = PR_RESOURCE_TYPE;
constexpr ULONG kFlags = PR_RESOURCE_FLAGS;
constexpr ULONG kKey = PR_INSTANCE_KEY;

SPropValue Long(ULONG tag, LONG v) {
    SPropValue p{tag, 0, {}};
    p.Value.l = v;
    return p;
}
SPropValue Wide(ULONG tag, const wchar_t* s) {
    SPropValue p{tag, 0, {}};
    p.Value.lpszW = const_cast<wchar_t*>(s);
    return p;
}
SPropValue Narrow(ULONG tag, const char* s) {
    SPropValue p{tag, 0, {}};
    p.Value.lpszA = const_cast<char*>(s);
    return p;
}
SPropValue Binary(ULONG tag, const char* s) {
    SPropValue p{tag, 0, {}};
    p.Value.bin = {static_cast<ULONG>(std::strlen(s)), reinterpret_cast<BYTE*>(const_cast<char*>(s))};
    return p;
}

// Rows of a status-table-like snapshot: name, type, flags; the third row has no flags.
struct Fixture {
    std::vector<std::vector<SPropValue>> rows = {
        {Wide(kName, L"Alpha"), Long(kType, 39), Long(kFlags, 0x0C), Binary(kKey, "k1")},
        {Wide(kName, L"beta"), Long(kType, 33), Long(kFlags, 0x01), Binary(kKey, "k22")},
        {Narrow(kNameA, "Gamma"), Long(kType, 39), Binary(kKey, "k3")},
    };
    ComPtr<IMAPITable> table;

    Fixture() {
        SizedSPropTagArray(2, columns) = {2, {kName, kType}};
        std::vector<standin::TableRow> spans(rows.begin(), rows.end());
        const auto* tags = reinterpret_cast<const SPropTagArray*>(&columns);
        EXPECT_EQ(standin::CreateTable(TBLTYPE_SNAPSHOT, *tags, spans, table.put()), S_OK);
    }

    // The names of the rows from the cursor on.
    std::vector<std::wstring> Names(LONG count = 10) {
        SizedSPropTagArray(1, columns) = {1, {kName}};
        EXPECT_EQ(table->SetColumns(reinterpret_cast<SPropTagArray*>(&columns), 0), S_OK);
        LPSRowSet rows = nullptr;
        EXPECT_EQ(table->QueryRows(count, 0, &rows), S_OK);
        std::vector<std::wstring> names;
        for (ULONG i = 0; rows && i < rows->cRows; ++i) names.push_back(rows->aRow[i].lpProps[0].Value.lpszW);
        FreeProws(rows);
        return names;
    }
};

TEST(MemoryTable, ColumnsGiveValuesConversionsAndErrors) {
    Fixture f;
    SizedSPropTagArray(4, columns) = {4, {kNameA, kType, kFlags, PR_SUBJECT_W}};
    ASSERT_EQ(f.table->SetColumns(reinterpret_cast<SPropTagArray*>(&columns), 0), S_OK);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(f.table->QueryRows(10, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 3u);
    EXPECT_EQ(rows->aRow[0].cValues, 4u);
    EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Alpha");  // Unicode asked for as 8-bit
    EXPECT_STREQ(rows->aRow[2].lpProps[0].Value.lpszA, "Gamma");
    EXPECT_EQ(rows->aRow[1].lpProps[1].Value.l, 33);
    EXPECT_EQ(rows->aRow[2].lpProps[2].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(kFlags)));
    EXPECT_EQ(rows->aRow[2].lpProps[2].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(rows->aRow[0].lpProps[3].Value.err, MAPI_E_NOT_FOUND);
    FreeProws(rows);

    // The cursor is at the end now; an empty read says so.
    ASSERT_EQ(f.table->QueryRows(1, 0, &rows), S_OK);
    EXPECT_EQ(rows->cRows, 0u);
    FreeProws(rows);

    LPSPropTagArray all = nullptr;
    ASSERT_EQ(f.table->QueryColumns(TBL_ALL_COLUMNS, &all), S_OK);
    EXPECT_EQ(all->cValues, 5u) << "every tag a row holds";
    MAPIFreeBuffer(all);
}

SRestriction Compare(ULONG relop, SPropValue& value) {
    SRestriction r{RES_PROPERTY, {}};
    r.res.resProperty = {relop, value.ulPropTag, &value};
    return r;
}

// Property comparisons of every value kind the stand-in's tables hold, and a
// combination; a restriction the table does not evaluate is refused whole.
TEST(MemoryTable, RestrictionsSelectRows) {
    SPropValue type39 = Long(kType, 39), type35 = Long(kType, 35), alpha = Wide(kName, L"Alpha");
    SPropValue alphaNarrow = Narrow(kNameA, "Alpha"), key22 = Binary(kKey, "k22");
    SRestriction hasFlags{RES_EXIST, {}}, andBoth{RES_AND, {}};
    hasFlags.res.resExist = {0, kFlags, 0};
    SRestriction both[2] = {Compare(RELOP_EQ, type39), hasFlags};
    andBoth.res.resAnd = {2, both};
    const SRestriction typeIs39 = both[0], typeGt35 = Compare(RELOP_GT, type35);
    const SRestriction nameIsAlpha = Compare(RELOP_EQ, alpha), narrowIsAlpha = Compare(RELOP_EQ, alphaNarrow);
    const SRestriction keyIs22 = Compare(RELOP_EQ, key22), unknown{RES_SUBRESTRICTION, {}};
    const struct {
        const SRestriction* restriction;
        HRESULT expected;
        std::vector<std::wstring> names;
    } cases[] = {
        {&typeIs39, S_OK, {L"Alpha", L"Gamma"}},
        {&typeGt35, S_OK, {L"Alpha", L"Gamma"}},
        {&nameIsAlpha, S_OK, {L"Alpha"}},
        {&narrowIsAlpha, S_OK, {L"Alpha"}},  // 8-bit against Unicode
        {&keyIs22, S_OK, {L"beta"}},
        {&andBoth, S_OK, {L"Alpha"}},
        {nullptr, S_OK, {L"Alpha", L"beta", L"Gamma"}},
        {&unknown, MAPI_E_TOO_COMPLEX, {L"Alpha", L"beta", L"Gamma"}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        Fixture f;
        EXPECT_EQ(f.table->Restrict(const_cast<SRestriction*>(cases[i].restriction), 0), cases[i].expected)
            << i;
        ULONG count = 0xdeadbeef;
        EXPECT_EQ(f.table->GetRowCount(0, &count), S_OK);
        EXPECT_EQ(count, cases[i].names.size()) << "case " << i;
        EXPECT_EQ(f.Names(), cases[i].names) << "case " << i;
    }
}

TEST(MemoryTable, FindRowAndQueryAllRows) {
    Fixture f;
    SPropValue type39 = Long(kType, 39);
    SRestriction typeIs39 = Compare(RELOP_EQ, type39);
    ASSERT_EQ(f.table->FindRow(&typeIs39, BOOKMARK_BEGINNING, 0), S_OK);
    EXPECT_EQ(f.Names(1), std::vector<std::wstring>{L"Alpha"});
    // From the current row (now the second) forwards: the third, then none.
    ASSERT_EQ(f.table->FindRow(&typeIs39, BOOKMARK_CURRENT, 0), S_OK);
    EXPECT_EQ(f.Names(1), std::vector<std::wstring>{L"Gamma"});
    EXPECT_EQ(f.table->FindRow(&typeIs39, BOOKMARK_CURRENT, 0), MAPI_E_NOT_FOUND);

    SizedSPropTagArray(1, columns) = {1, {kType}};
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(0xdeadbeef);
    ASSERT_EQ(HrQueryAllRows(f.table.get(), reinterpret_cast<SPropTagArray*>(&columns), &typeIs39, nullptr, 0,
                             &rows),
              S_OK);
    ASSERT_EQ(rows->cRows, 2u);
    EXPECT_EQ(rows->aRow[1].lpProps[0].Value.l, 39);
    FreeProws(rows);
    rows = reinterpret_cast<LPSRowSet>(0xdeadbeef);
    EXPECT_EQ(HrQueryAllRows(f.table.get(), nullptr, nullptr, nullptr, 1, &rows), MAPI_E_TABLE_TOO_BIG);
    EXPECT_EQ(rows, nullptr);
}

}  // namespace

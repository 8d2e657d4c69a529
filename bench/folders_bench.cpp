// Benchmark of the folder list (code 0), run on demand (not a test):
//   folders_bench.exe PROFILE_FOLDER
// The add-in's listing, asked by a backup client of an Outlook stand-in host in a
// second process, beside the same walk made in this process straight through the
// stand-in's own MAPI (stores table, top-folder property) and object model
// (subfolders, item type, name, entry and store IDs), paths joined on the way down.
// Both run on the same profile in the same run; medians of kRounds.
#include <windows.h>
#include <ole2.h>
#include <shellapi.h>
#include <mapitags.h>
#include <mapiutil.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/com.h"
#include "base/mapi_buffer.h"
#include "base/mapi_row_set.h"
#include "base/scope_exit.h"
#include "bench/bench_util.h"
#include "tests/support/standin_host.h"
#include "outlook/mapi_session.h"
#include "outlook/object_model.h"

namespace {

constexpr int kRounds = 3;
constexpr double kGoal = 1.5;  // the slowest the listing may be beside the walk

// The stand-in's walk below `folder`, as the add-in's walk visits it.
void WalkBelow(MAPIFolder* folder, const std::wstring& path, size_t& paths) {
    base::ComPtr<_Folders> subfolders;
    long count = 0;
    if (FAILED(outlook::GetFolders(folder, subfolders)) ||
        FAILED(outlook::GetCount(subfolders.get(), &count)))
        return;
    for (long i = 1; i <= count; ++i) {
        base::ComPtr<MAPIFolder> subfolder;
        long type = -1;
        base::UniqueBstr name, entryId, storeId;
        if (FAILED(outlook::Item(subfolders.get(), i, subfolder)) ||
            FAILED(outlook::GetDefaultItemType(subfolder.get(), &type)) || type != olMailItem ||
            FAILED(outlook::GetName(subfolder.get(), name))) {
            continue;
        }
        const std::wstring subPath = path + L"\\" + name.c_str();
        if (SUCCEEDED(outlook::GetEntryID(subfolder.get(), entryId)) &&
            SUCCEEDED(outlook::GetStoreID(subfolder.get(), storeId))) {
            ++paths;
        }
        WalkBelow(subfolder.get(), subPath, paths);
    }
}

// Every store of the session's stores table, opened by its top folder's entry ID.
size_t StandinWalk(_NameSpace* nameSpace) {
    base::ComPtr<IMAPISession> session;
    if (FAILED(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_ALLOW_OTHERS, session.put()))) return 0;
    const base::ScopeExit logoff([&] { static_cast<void>(session->Logoff(0, 0, 0)); });
    base::ComPtr<IMAPITable> table;
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    base::UniqueRowSet rows;
    if (FAILED(session->GetMsgStoresTable(0, table.put())) ||
        FAILED(HrQueryAllRows(table.get(), reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0,
                              rows.put()))) {
        return 0;
    }
    size_t paths = 0;
    for (ULONG r = 0; r < rows.get()->cRows; ++r) {
        const SBinary& id = rows.get()->aRow[r].lpProps[0].Value.bin;
        base::ComPtr<IMsgStore> store;
        base::UniqueMapiBuffer<SPropValue> top;
        if (FAILED(session->OpenMsgStore(0, id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr,
                                         MDB_NO_DIALOG, store.put())) ||
            FAILED(HrGetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID, top.put()))) {
            continue;
        }
        char storeHex[outlook::kHexCapacity], topHex[outlook::kHexCapacity];
        const outlook::MapiFunctions& imports = outlook::MapiRoute(nullptr);
        outlook::HexIntoBuffer(imports, id, storeHex);
        outlook::HexIntoBuffer(imports, top.get()->Value.bin, topHex);
        const std::wstring storeText(storeHex, storeHex + strlen(storeHex)),
            topText(topHex, topHex + strlen(topHex));
        base::UniqueBstr storeBstr(SysAllocString(storeText.c_str()));
        VARIANT storeId;
        storeId.vt = VT_BSTR;
        storeId.bstrVal = storeBstr.get();
        base::ComPtr<MAPIFolder> root;
        base::UniqueBstr name;
        if (FAILED(outlook::GetFolderFromID(nameSpace, topText.c_str(), storeId, root)) ||
            FAILED(outlook::GetName(root.get(), name))) {
            continue;
        }
        ++paths;
        WalkBelow(root.get(), std::wstring(L"\\\\") + name.c_str(), paths);
    }
    return paths;
}

// The stand-in's walk, timed on a thread of its own apartment, as a request runs.
double MeasureStandin(const std::wstring& profile, size_t& paths) {
    double median = -1;
    bench::WithStandinNamespace(profile, [&](_NameSpace* nameSpace) {
        median = bench::Median(
            kRounds, [&] { return StandinWalk(nameSpace); }, paths);
    });
    return median;
}

// The add-in's listing through a client of the host; the first request warms up.
double MeasureAddin(const std::wstring& profile, size_t& paths) {
    const testsupport::StandinHost host(profile);
    const std::unique_ptr<MailClient> client = host.Connect(2, bench::kReplyTimeoutMs);
    std::vector<std::wstring> texts;
    if (!client || !client->GetAllFoldersList(&texts)) return -1;
    return bench::Median(
        kRounds,
        [&] {
            texts.clear();
            const bool ok = client->GetAllFoldersList(&texts);
            return ok ? texts.size() : 0;
        },
        paths);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fputs("usage: folders_bench.exe PROFILE_FOLDER\n", stderr);
        return 2;
    }
    size_t standinPaths = 0, addinPaths = 0;
    const double standin = MeasureStandin(argv[1], standinPaths);
    const double addin = MeasureAddin(argv[1], addinPaths);
    const bool same = standinPaths == addinPaths;
    if (!same) printf("folder list: the add-in gave %zu paths, the walk %zu\n", addinPaths, standinPaths);
    const std::string figure = "folder list (code 0), " + std::to_string(addinPaths) + " folders";
    bench::Row(figure.c_str(), same ? addin * 1000 : 0, "ms", "the stand-in's own walk", standin * 1000,
               kGoal);
    return standin > 0 && addin > 0 && same ? 0 : 1;
}

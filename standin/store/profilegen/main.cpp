// profile-gen DESCRIPTION OUTPUT: writes the profile a description file describes
// into the folder OUTPUT, which must not exist or be empty. Paths may be Windows
// paths or, under Wine, absolute Unix paths.
#include <windows.h>

#include <cstdio>
#include <string>

#include "standin/store/files.h"
#include "standin/store/profilegen/description.h"
#include "standin/store/profilegen/generator.h"

namespace {

// Under Wine, Z: is the Unix root; a Unix path as CMake passes it maps there.
std::wstring WindowsPath(const wchar_t* path) {
    std::wstring text(path);
    if (!text.empty() && text[0] == L'/') text = L"Z:" + text;
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    return text;
}

int Fail(const std::wstring& message) {
    fwprintf(stderr, L"profile-gen: %ls\n", message.c_str());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace standin;
    if (argc != 3) return Fail(L"usage: profile-gen DESCRIPTION OUTPUT");
    const std::wstring description = WindowsPath(argv[1]);
    const std::wstring output = WindowsPath(argv[2]);
    std::vector<BYTE> text;
    if (FAILED(store::ReadFileBytes(description, text))) return Fail(L"cannot read " + description);
    profilegen::ProfilePlan plan;
    std::wstring error;
    if (FAILED(profilegen::ParseDescription(
            std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), plan, error))) {
        return Fail(description + L": " + error);
    }
    if (FAILED(profilegen::GenerateProfile(plan, output, error))) return Fail(error);
    return 0;
}

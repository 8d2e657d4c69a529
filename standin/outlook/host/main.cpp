// outlook-standin.exe: plays Outlook over a stand-in profile for one add-in.
//
//   outlook-standin.exe --profile DIR [--addin PROGID] [--stop-event NAME]
//   outlook-standin.exe --stop [--stop-event NAME]
//
// As Outlook, it keeps the object model in its main thread, a single-threaded
// apartment: it opens the profile in the object model module, which offers the running
// application to the process's other apartments from this thread (see
// standin/outlook/host_api.h), makes the profile's name the default MAPI profile of the
// prefix, sets the C runtime locale the profile asks for, creates the add-in from its
// ProgID and connects it as Outlook does: OnConnection with the Application object,
// OnStartupComplete. If the profile says so its main thread then stays busy a while,
// serving nothing. It runs its message loop, which also serves the object-model calls
// of other threads, until Application.Quit (which returns to its caller first), Ctrl-C
// or the named stop event, and ends on this thread with OnBeginShutdown,
// OnDisconnection and the add-in's release. It reports how long OnDisconnection took
// and how many threads that started in the add-in's module are left then, and at its end
// how many object-model calls it served (for the benchmarks' counts). The second
// form signals the stop event of a running host, for scripts.
//
// Exit codes: 0 after a clean run (or a delivered stop), 1 when the host cannot
// start (or no host listens), 2 for a bad command line.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "base/com.h"
#include "base/unique_resource.h"
#include "outlook/outlook_interfaces.h"
#include "standin/outlook/host_api.h"

namespace {

constexpr wchar_t kDefaultAddIn[] = L"TallowmerePlugin.Connect";
constexpr wchar_t kDefaultStopEvent[] = L"Local\\OutlookStandin.Stop";
// Where MAPI keeps the default profile's name.
constexpr wchar_t kMessagingProfilesKey[] =
    L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
constexpr wchar_t kDefaultProfileValue[] = L"DefaultProfile";

constexpr int kExitClean = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::wstring profile;
    std::wstring addIn = kDefaultAddIn;
    std::wstring stopEvent = kDefaultStopEvent;
    bool stop = false;
};

[[nodiscard]] bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--stop") {
            options.stop = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        if (option == L"--profile") {
            options.profile = argv[++i];
        } else if (option == L"--addin") {
            options.addIn = argv[++i];
        } else if (option == L"--stop-event") {
            options.stopEvent = argv[++i];
        } else {
            return false;
        }
    }
    return options.stop || !options.profile.empty();
}

void Report(const wchar_t* what, HRESULT hr) {
    std::wprintf(L"outlook-standin: %ls failed: 0x%08lx\n", what, static_cast<unsigned long>(hr));
    std::fflush(stdout);
}

[[nodiscard]] int Fail(const wchar_t* what, HRESULT hr) {
    Report(what, hr);
    return kExitFailed;
}

void Say(const wchar_t* line, const wchar_t* detail = L"") {
    std::wprintf(L"outlook-standin: %ls%ls\n", line, detail);
    std::fflush(stdout);
}

[[nodiscard]] int SignalStop(const std::wstring& name) {
    const base::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (!event || !::SetEvent(event.get()))
        return Fail(L"signalling the stop event", HRESULT_FROM_WIN32(::GetLastError()));
    return kExitClean;
}

// The stop event, set by Ctrl-C as by scripts.
HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) noexcept { return ::SetEvent(g_stopEvent); }

// Ctrl-C sets `stopEvent` while the owner lives.
class ConsoleStop {
public:
    explicit ConsoleStop(HANDLE stopEvent) noexcept {
        g_stopEvent = stopEvent;
        ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    }
    ~ConsoleStop() {
        ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
        g_stopEvent = nullptr;
    }
    ConsoleStop(const ConsoleStop&) = delete;
    ConsoleStop& operator=(const ConsoleStop&) = delete;
};

[[nodiscard]] HRESULT WriteDefaultProfile(const wchar_t* name) {
    base::UniqueRegKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, kMessagingProfilesKey, 0, nullptr,
                                       REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    status = ::RegSetValueExW(key.get(), kDefaultProfileValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                              static_cast<DWORD>((::wcslen(name) + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(status);
}

// Runs the thread's messages, among them the object-model calls of other threads, until
// the stop event or `quitRequested` is set.
void RunMessageLoop(HANDLE quitRequested) {
    const HANDLE events[] = {g_stopEvent, quitRequested};
    for (;;) {
        const DWORD woken =
            ::MsgWaitForMultipleObjectsEx(2, events, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) return Say(L"stop signal");
        if (woken == WAIT_OBJECT_0 + 1) return Say(L"Application.Quit");
        if (woken != WAIT_OBJECT_0 + 2) return Report(L"waiting", HRESULT_FROM_WIN32(::GetLastError()));
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return Say(L"WM_QUIT");
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

[[nodiscard]] HRESULT CreateAddIn(const std::wstring& progId, base::ComPtr<_IDTExtensibility2>& addIn) {
    CLSID clsid{};
    const HRESULT hr = ::CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr)) return hr;
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(_IDTExtensibility2),
                              addIn.put_void());
}

// The module that holds the object's code: its vtable lies in it.
[[nodiscard]] HMODULE ModuleOf(IUnknown* object) noexcept {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        *reinterpret_cast<LPCWSTR*>(object), &module);
    return module;
}

// How many threads of this process started in `module`.
[[nodiscard]] unsigned ThreadsStartedIn(HMODULE module) noexcept {
    const base::UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot || !module) return 0;
    unsigned count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL found = ::Thread32First(snapshot.get(), &entry); found;
         found = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID != ::GetCurrentProcessId()) continue;
        const base::UniqueHandle thread(::OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID));
        void* start = nullptr;
        HMODULE startModule = nullptr;
        if (thread &&
            NT_SUCCESS(::NtQueryInformationThread(thread.get(), ThreadQuerySetWin32StartAddress, &start,
                                                  sizeof(start), nullptr)) &&
            ::GetModuleHandleExW(
                GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                static_cast<LPCWSTR>(start), &startModule) &&
            startModule == module) {
            ++count;
        }
    }
    return count;
}

// Disconnects the add-in on this thread, as Outlook does at its exit, and reports how
// long that took and what the add-in left running.
void Disconnect(_IDTExtensibility2* addIn, SAFEARRAY** custom) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    static_cast<void>(addIn->OnDisconnection(ext_dm_HostShutdown, custom));
    ::QueryPerformanceCounter(&end);
    std::wprintf(
        L"outlook-standin: OnDisconnection took %.1f ms; add-in threads left: %u\n",
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart),
        ThreadsStartedIn(ModuleOf(addIn)));
    std::fflush(stdout);
}

// Connects the add-in, runs until told to stop, disconnects it.
[[nodiscard]] int RunAddIn(const Options& options, const OutlookStandinHostSettings& settings,
                           HANDLE quitRequested) {
    base::ComPtr<IDispatch> application;
    HRESULT hr = ::CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_ALL, IID_IDispatch,
                                    application.put_void());
    if (FAILED(hr)) return Fail(L"creating the Application", hr);
    base::ComPtr<IDispatch> entry;
    if (FAILED(hr = OutlookStandinAddAddIn(options.addIn.c_str(), entry.put())))
        return Fail(L"listing the add-in", hr);
    base::ComPtr<_IDTExtensibility2> addIn;
    if (FAILED(hr = CreateAddIn(options.addIn, addIn))) return Fail(L"creating the add-in", hr);

    SAFEARRAY* custom = nullptr;  // nothing of the host's own
    hr = addIn->OnConnection(application.get(), ext_cm_Startup, entry.get(), &custom);
    if (FAILED(hr)) return Fail(L"OnConnection", hr);
    Say(L"connected ", options.addIn.c_str());
    static_cast<void>(addIn->OnStartupComplete(&custom));
    if (settings.mainThreadBusyMs) {
        // Busy with something of its own: calls of other threads wait meanwhile.
        Say(L"main thread busy");
        ::Sleep(settings.mainThreadBusyMs);
        Say(L"main thread free");
    }
    Say(L"running; stop event ", options.stopEvent.c_str());

    RunMessageLoop(quitRequested);

    static_cast<void>(addIn->OnBeginShutdown(&custom));
    Disconnect(addIn.get(), &custom);
    Say(L"disconnected ", options.addIn.c_str());
    return kExitClean;
}

[[nodiscard]] int Run(const Options& options) {
    const base::ScopedComInitializer com(COINIT_APARTMENTTHREADED);
    if (!com.succeeded()) return Fail(L"CoInitializeEx", com.result());
    const base::UniqueHandle stopEvent(::CreateEventW(nullptr, TRUE, FALSE, options.stopEvent.c_str()));
    if (!stopEvent || ::GetLastError() == ERROR_ALREADY_EXISTS) {
        Say(L"the stop event is in use or cannot be made: ", options.stopEvent.c_str());
        return kExitFailed;
    }
    const ConsoleStop consoleStop(stopEvent.get());

    HRESULT hr = DllRegisterServer();
    if (FAILED(hr)) return Fail(L"registering the object model", hr);
    base::UniqueBstr profileName;
    HANDLE quitRequested = nullptr;
    hr = OutlookStandinOpen(options.profile.c_str(), profileName.put(), &quitRequested);
    if (FAILED(hr)) return Fail(L"opening the profile", hr);
    Say(L"profile ", profileName.c_str());
    if (FAILED(hr = WriteDefaultProfile(profileName.c_str()))) Report(L"writing the default profile", hr);
    OutlookStandinHostSettings settings{};
    if (FAILED(hr = OutlookStandinGetHostSettings(&settings)))
        return Fail(L"reading the host's settings", hr);
    // The runtime's locale is the process's: what another module sets, the add-in sees.
    if (settings.locale[0] != L'\0') {
        if (!::_wsetlocale(LC_ALL, settings.locale)) {
            Say(L"no such locale: ", settings.locale);
            return kExitFailed;
        }
        Say(L"locale ", settings.locale);
    }

    const int result = RunAddIn(options, settings, quitRequested);
    OutlookStandinClose();  // drops what the add-in published: its last reference, the host's being gone
    OutlookStandinCallCounts calls{};
    OutlookStandinGetCallCounts(&calls);
    std::wprintf(L"outlook-standin: object-model calls: %llu invoked, %llu names looked up\n", calls.invoked,
                 calls.namesLookedUp);
    std::fflush(stdout);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(
            "usage: outlook-standin.exe --profile DIR [--addin PROGID] [--stop-event NAME]\n"
            "       outlook-standin.exe --stop [--stop-event NAME]\n",
            stderr);
        return kExitUsage;
    }
    return options.stop ? SignalStop(options.stopEvent) : Run(options);
}

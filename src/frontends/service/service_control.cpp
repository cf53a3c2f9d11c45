#include "frontends/service/service_control.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// How long the service manager is told to wait for the stop: the loop notices the
// request within a tick and the links close within a few seconds.
constexpr DWORD kStopWaitHintMs = 10000;

struct ServiceState {
    ServiceWork work{};
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex lock;  // the control handler's thread reports too
    SERVICE_STATUS status{};
};

ServiceState& service_state() {
    static ServiceState state;
    return state;
}

void report(ServiceState& state, DWORD current, DWORD exit_code, DWORD wait_hint_ms) {
    std::lock_guard guard(state.lock);
    // Once stopped, a late stop-pending from the handler must not revive the service.
    if (state.status.dwCurrentState == SERVICE_STOPPED)
        return;
    SERVICE_STATUS& status = state.status;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = current;
    status.dwControlsAccepted =
        current == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exit_code;
    status.dwWaitHint = wait_hint_ms;
    bool pending = current == SERVICE_START_PENDING || current == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    SetServiceStatus(state.handle, &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
    ServiceState& state = service_state();
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(state, SERVICE_STOP_PENDING, NO_ERROR, kStopWaitHintMs);
            state.work.request_stop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD argc, char** argv) {
    ServiceState& state = service_state();
    const char* name = argc > 0 ? argv[0] : kServiceName;
    state.handle = RegisterServiceCtrlHandlerExA(name, control_handler, nullptr);
    if (state.handle == nullptr)
        return;
    report(state, SERVICE_START_PENDING, NO_ERROR, 3000);
    if (!state.work.start()) {
        report(state, SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
        return;
    }
    report(state, SERVICE_RUNNING, NO_ERROR, 0);
    bool clean = state.work.run();
    report(state, SERVICE_STOPPED, NO_ERROR, 0);
    if (!clean) {
        // A link's thread is stuck in a call that does not return (a name lookup): the
        // process ends before anything it uses is destroyed.
        std::fflush(nullptr);
        std::_Exit(0);
    }
}

void last_error_text(const char* what, std::span<char> why) {
    std::snprintf(why.data(), why.size(), "%s failed (error %lu)", what, GetLastError());
}

}  // namespace

bool service_install(const char* arguments, std::span<char> why) {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        last_error_text("GetModuleFileName", why);
        return false;
    }
    char command[4096];  // the program and three whole paths
    int length_used = std::snprintf(command, sizeof command, "\"%s\" %s", program, arguments);
    if (length_used < 0 || static_cast<size_t>(length_used) >= sizeof command) {
        std::snprintf(why.data(), why.size(), "the service's command line is too long");
        return false;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        last_error_text("OpenSCManager (an administrator may install)", why);
        return false;
    }
    SC_HANDLE service =
        CreateServiceA(manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command,
                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr)
        last_error_text("CreateService", why);
    if (service != nullptr) {
        char description[] =
            "Relays the Mode S receiver's stream to relay clients, push targets and the "
            "processing server.";
        SERVICE_DESCRIPTIONA text{description};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return service != nullptr;
}

bool service_uninstall(std::span<char> why) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        last_error_text("OpenSCManager (an administrator may uninstall)", why);
        return false;
    }
    SC_HANDLE service =
        OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    bool removed = false;
    if (service == nullptr) {
        last_error_text("OpenService", why);
    } else {
        SERVICE_STATUS status{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
                Sleep(100);
                if (!QueryServiceStatus(service, &status))
                    break;
            }
        }
        removed = DeleteService(service) != 0;
        if (!removed)
            last_error_text("DeleteService", why);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return removed;
}

bool service_dispatch(const ServiceWork& work) {
    service_state().work = work;
    // One service in its own process: the manager ignores the name.
    char name[sizeof kServiceName];
    std::memcpy(name, kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != 0;
}

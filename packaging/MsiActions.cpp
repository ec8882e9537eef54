// The 64-bit installer's own custom action, in a DLL it carries: whether the bridge's service runs
// before an upgrade takes it away. Windows Installer stops and removes the old version's service
// with the old version (RemoveExistingProducts) and starts a service only where ServiceControl
// says so, always or never; this says which, per node, so that a node that was running runs the
// new version and one that was stopped stays stopped.
// clang-format off
#include <windows.h>
#include <msiquery.h>
// clang-format on

// Immediate, before RemoveExistingProducts: BRIDGE_WAS_RUNNING is 1 while the service runs, or is
// starting. Never fails the installation.
extern "C" __declspec(dllexport) UINT __stdcall RememberBridge(MSIHANDLE installation) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceW(manager, L"zendrocast-mqtt", SERVICE_QUERY_STATUS) : nullptr;
  SERVICE_STATUS status{};
  if (service != nullptr && QueryServiceStatus(service, &status) &&
      (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_START_PENDING)) {
    MsiSetPropertyW(installation, L"BRIDGE_WAS_RUNNING", L"1");
  }
  if (service != nullptr) {
    CloseServiceHandle(service);
  }
  if (manager != nullptr) {
    CloseServiceHandle(manager);
  }
  return ERROR_SUCCESS;
}

#include <windows.h>
// windows.h first: the COM headers build on it.
#include <netlistmgr.h>
#include <objbase.h>

#include <memory>

#include "platform/link_cost.h"

namespace solvane {
namespace {

struct ComRelease {
  void operator()(IUnknown* object) const noexcept { object->Release(); }
};

// COM for the thread for the scope, if this call was the one to start it.
class ComScope {
 public:
  ComScope() : started_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComScope() {
    if (started_) ::CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool started_;
};

}  // namespace

LinkCost QueryLinkCost() {
  // A thread already in another apartment (RPC_E_CHANGED_MODE) can still
  // create the object.
  const ComScope com;
  INetworkCostManager* created = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL,
                                IID_INetworkCostManager, reinterpret_cast<void**>(&created))) ||
      created == nullptr) {
    return LinkCost::kUnknown;
  }
  const std::unique_ptr<INetworkCostManager, ComRelease> manager(created);
  DWORD cost = NLM_CONNECTION_COST_UNKNOWN;
  if (FAILED(manager->GetCost(&cost, nullptr))) return LinkCost::kUnknown;
  // Fixed and variable plans, and roaming or an exceeded cap, all cost the
  // user for what is downloaded.
  constexpr DWORD kMetered = NLM_CONNECTION_COST_FIXED | NLM_CONNECTION_COST_VARIABLE |
                             NLM_CONNECTION_COST_OVERDATALIMIT | NLM_CONNECTION_COST_ROAMING;
  if (cost & kMetered) return LinkCost::kMetered;
  if (cost & NLM_CONNECTION_COST_UNRESTRICTED) return LinkCost::kUnmetered;
  return LinkCost::kUnknown;
}

}  // namespace solvane

#include "service/transport_factory.h"

#include <atomic>
#include <string>
#include <utility>

#include "ftp/ftp_updates.h"
#include "http/http_updates.h"
#include "platform/internet/internet.h"

namespace {

std::atomic<RunObjectFactory> g_factoryForTesting{nullptr};

// Whether the server as the cycle will resolve it asks for the HTTP transport. A text that is no
// valid address goes to FTP, whose Connect reports it.
bool WantsHttp(UpdateSlot* slot) {
  ServerAddress address;
  return ParseServerAddress(ResolveServerName(*slot->m_pConfig, slot->m_hMailServer), &address) &&
         address.IsHttp();
}

std::unique_ptr<CRepositoryUpdates> MakeTransport(UpdateSlot* slot, bool http) {
  if (http) return std::make_unique<CHttpUpdates>(slot);
  return std::make_unique<CFtpUpdates>(slot);
}

}  // namespace

std::unique_ptr<CRepositoryUpdates> CreateRunObject(UpdateSlot* slot) {
  if (RunObjectFactory factory = g_factoryForTesting.load()) return factory(slot);
  return MakeTransport(slot, WantsHttp(slot));
}

BOOL RunUpdateCycleOnItsTransport(std::unique_ptr<CRepositoryUpdates>& run, UpdateSlot* slot) {
  if (!run->PrepareDirectories()) return FALSE;
  const bool http = WantsHttp(slot);
  if (g_factoryForTesting.load() == nullptr &&
      http != (dynamic_cast<CHttpUpdates*>(run.get()) != nullptr)) {
    std::unique_ptr<CRepositoryUpdates> other = MakeTransport(slot, http);
    other->AdoptPreparation(*run);
    run = std::move(other);
  }
  return run->RunPreparedCycle();
}

void SetRunObjectFactoryForTesting(RunObjectFactory factory) {
  g_factoryForTesting.store(factory);
}

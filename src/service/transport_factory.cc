#include "service/transport_factory.h"

#include <atomic>
#include <string>

#include "ftp/ftp_updates.h"
#include "http/http_updates.h"
#include "platform/internet/internet.h"

namespace {

std::atomic<RunObjectFactory> g_factoryForTesting{nullptr};

}  // namespace

std::unique_ptr<CRepositoryUpdates> CreateRunObject(UpdateSlot* slot) {
  if (RunObjectFactory factory = g_factoryForTesting.load()) return factory(slot);
  // The server as the cycle will resolve it: its scheme picks the transport. A text that is no
  // valid address goes to FTP, whose Connect reports it.
  ServerAddress address;
  if (ParseServerAddress(ResolveServerName(*slot->m_pConfig, slot->m_hMailServer), &address) &&
      address.IsHttp()) {
    return std::make_unique<CHttpUpdates>(slot);
  }
  return std::make_unique<CFtpUpdates>(slot);
}

void SetRunObjectFactoryForTesting(RunObjectFactory factory) {
  g_factoryForTesting.store(factory);
}

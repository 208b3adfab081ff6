#include "service/transport_factory.h"

#include <atomic>

#include "ftp/ftp_updates.h"
#include "platform/internet/internet.h"

namespace {

std::atomic<RunObjectFactory> g_factoryForTesting{nullptr};

}  // namespace

std::unique_ptr<CRepositoryUpdates> CreateRunObject(UpdateSlot* slot) {
  if (RunObjectFactory factory = g_factoryForTesting.load()) return factory(slot);
  return std::make_unique<CFtpUpdates>(slot);
}

void SetRunObjectFactoryForTesting(RunObjectFactory factory) {
  g_factoryForTesting.store(factory);
}

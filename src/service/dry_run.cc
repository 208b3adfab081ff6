#include "service/dry_run.h"

#include <string>
#include <utility>

#include "platform/win32.h"
#include "service/transport_factory.h"
#include "service/update_slot.h"

CyclePlan PlanUpdateCycle(const UpdateConfig& config, _tMailServer* mailServer,
                          std::shared_ptr<const VerifiedModeSettings> verified) {
  // A copy without the hooks: nothing on the planning road calls them, and this makes it so.
  UpdateConfig block = config;
  block.prepare = nullptr;
  block.updatesAvailable = nullptr;
  block.nothingToAbsorb = nullptr;

  CyclePlan plan;
  UpdateSlot slot;
  slot.m_pConfig = &block;
  slot.m_verified = std::move(verified);
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (stop == nullptr) {
    plan.status = CyclePlan::Status::kFails;
    plan.reason = "no event could be created (" + std::to_string(GetLastError()) + ")";
    return plan;
  }
  slot.m_hStopEvent = stop;
  slot.m_hMailServer = mailServer;
  {
    std::unique_ptr<CRepositoryUpdates> run = CreateRunObject(&slot);
    run->PlanCycle(plan);
  }
  slot.m_hMailServer = nullptr;  // the caller's: the slot must not close it
  return plan;
}

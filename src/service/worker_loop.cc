// The worker thread of an update slot: runs update cycles on the schedule that the administrator
// sets through the interval and update-now properties, publishes the time of the next update,
// backs off after failures, and raises the slot's illegal-updates flag when the installed
// definition files fail their integrity check.
#include <memory>

#include "platform/win32.h"
#include "service/property_helpers.h"
#include "service/transport_factory.h"
#include "service/update_slot.h"

namespace {

// Whether the administrator asked for a cycle now; a failed read counts as no.
bool UpdateNowRequested(_tMailServer* server, const UpdateConfig& config) {
  DWORD value = 0;
  return GetDwordProperty(server, config.processorName, config.updateNowProperty, value) &&
         value != 0;
}

DWORD BackOff(DWORD current, DWORD base, const UpdateConfig& config) {
  if (current == base) return config.retryInterval;
  DWORD doubled = current * 2;  // 32-bit arithmetic, as the schedule's words are
  return doubled > config.maxRetryInterval ? config.maxRetryInterval : doubled;
}

}  // namespace

unsigned RepositoryUpdateThreadProc(void* argument) {
  UpdateSlot* slot = static_cast<UpdateSlot*>(argument);
  const UpdateConfig& config = *slot->m_pConfig;
  _tMailServer* server = slot->m_hMailServer;

  DWORD base = slot->GetUpdateInterval();
  DWORD current = base;
  bool stopRequested = false;

  while (!stopRequested) {
    const bool runCycle = current != 0 || UpdateNowRequested(server, config);
    if (runCycle) {
      std::unique_ptr<CRepositoryUpdates> run = CreateRunObject(slot);
      const BOOL succeeded = RunUpdateCycleOnItsTransport(run, slot);
      const DWORD interval = slot->GetUpdateInterval();
      if (interval != base) {
        base = interval;
        current = interval;
      }
      if (!succeeded) {
        if (run->CheckInstalledFiles()) {
          slot->m_bIllegalUpdates.exchange(1);
          current = 0;
        } else if (base != 0) {
          current = BackOff(current, base, config);
        }
      } else {
        current = base;
      }
    } else {
      std::unique_ptr<CRepositoryUpdates> run = CreateRunObject(slot);
      if (run->CheckInstalledFiles()) slot->m_bIllegalUpdates.exchange(1);
    }

    SetDwordProperty(server, config.processorName, config.updateNowProperty, 0);
    SetDwordProperty(server, config.processorName, config.nextUpdateTimeProperty,
                     current != 0 ? CurrentTime32() + current : 0);

    // Wait in steps, looking at the stop event and the update-now property after every step. A
    // step below one second still counts as one, and a limit of 0 still waits one step, so that
    // a configuration outside the schedule's rules cannot make the loop spin or miss a stop.
    const DWORD limit = current != 0 ? current : config.defaultUpdateInterval;
    const DWORD step = config.waitStepMs != 0 ? config.waitStepMs : 1000;
    const DWORD advance = step / 1000 != 0 ? step / 1000 : 1;
    DWORD counter = 0;
    do {
      if (WaitForSingleObject(slot->m_hStopEvent, step) != WAIT_TIMEOUT) {
        stopRequested = true;
        break;
      }
      counter += advance;
      if (UpdateNowRequested(server, config)) break;
    } while (counter < limit);
  }

  slot->Close();
  return 0;
}

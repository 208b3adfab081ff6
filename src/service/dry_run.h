// The dry run of one processor's update cycle, for the embedding program. The plan is made over a
// slot of its own, not one of the library's two, so that it can be made beside a running worker
// of the same processor without touching that worker's state.
#ifndef FILEREPOSITORY_SERVICE_DRY_RUN_H_
#define FILEREPOSITORY_SERVICE_DRY_RUN_H_

#include <memory>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"
#include "service/verified_mode.h"
#include "update/cycle_plan.h"

// Plans one update cycle of the processor that `config` describes (CRepositoryUpdates::PlanCycle)
// through the transport its server address asks for. Writes no file and no property and calls
// none of the block's hooks (words 40 to 42), so the preparation hook cannot veto or change the
// plan as it could the cycle. Properties (the server name, passive FTP, the installed signed
// version) are read through `mailServer`, which stays the caller's; null reads every property as
// absent (a store that does not exist yet). `verified`: the processor's verified-mode settings,
// null for the classic mode. Runs on the calling thread; logs what the cycle would log on the
// same road (a failed connection, a refusal of the signed set).
CyclePlan PlanUpdateCycle(const UpdateConfig& config, _tMailServer* mailServer,
                          std::shared_ptr<const VerifiedModeSettings> verified);

#endif  // FILEREPOSITORY_SERVICE_DRY_RUN_H_

// The one place where the kind of run object is chosen: the scheme of the server address picks the
// transport (http:// and https:// the HTTP transport; a plain host, ftp:// and ftps:// FTP).
#ifndef FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_
#define FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_

#include <memory>

#include "service/update_slot.h"
#include "update/repository_updates.h"

// Builds the run object for one pass of the slot's worker, of the kind the server address asks
// for as it stands now.
std::unique_ptr<CRepositoryUpdates> CreateRunObject(UpdateSlot* slot);

// Runs one update cycle on `run` (from CreateRunObject) and returns its result. The preparation
// hook may change the server address; when, after it, the address asks for the other transport,
// a run object of that kind takes over the prepared state, runs the rest of the cycle and
// replaces `run`, so that the caller's integrity check runs on the object the cycle ran on. The
// hook runs once either way. Run objects from a test's factory are never replaced.
BOOL RunUpdateCycleOnItsTransport(std::unique_ptr<CRepositoryUpdates>& run, UpdateSlot* slot);

// Tests replace the factory to drive the worker loop with scripted run objects; null restores it.
using RunObjectFactory = std::unique_ptr<CRepositoryUpdates> (*)(UpdateSlot* slot);
void SetRunObjectFactoryForTesting(RunObjectFactory factory);

#endif  // FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_

// The one place where the kind of run object is chosen: the scheme of the server address picks the
// transport (http:// and https:// the HTTP transport; a plain host, ftp:// and ftps:// FTP).
#ifndef FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_
#define FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_

#include <memory>

#include "service/update_slot.h"
#include "update/repository_updates.h"

// Builds the run object for one pass of the slot's worker.
std::unique_ptr<CRepositoryUpdates> CreateRunObject(UpdateSlot* slot);

// Tests replace the factory to drive the worker loop with scripted run objects; null restores it.
using RunObjectFactory = std::unique_ptr<CRepositoryUpdates> (*)(UpdateSlot* slot);
void SetRunObjectFactoryForTesting(RunObjectFactory factory);

#endif  // FILEREPOSITORY_SERVICE_TRANSPORT_FACTORY_H_

// SIGINT and SIGTERM, the service's stop signals: blocked in every thread and taken synchronously
// by the main thread, so that no worker thread of the library is ever interrupted by them.
#ifndef FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_
#define FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_

#include <chrono>

namespace updater {

// Blocks the stop signals in the calling thread. Call from the main thread before any other
// thread exists: threads inherit the mask.
void BlockStopSignals();

// Waits up to `timeout` for a stop signal; its number, or 0 when none arrived. With `wakeFd`
// (not -1) the wait also ends, with 0, as soon as that descriptor is readable. Call from the
// thread that blocked the signals.
int WaitForStopSignal(std::chrono::milliseconds timeout, int wakeFd = -1);

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_

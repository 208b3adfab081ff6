// SIGINT and SIGTERM, the service's stop signals, and SIGHUP, its signal to reopen the log file:
// blocked in every thread and taken synchronously by the main thread, so that no worker thread of
// the library is ever interrupted by them and SIGHUP never ends the process.
#ifndef FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_
#define FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_

#include <chrono>

namespace updater {

// Blocks the stop signals in the calling thread. Call from the main thread before any other
// thread exists: threads inherit the mask.
void BlockStopSignals();

// Waits up to `timeout` for one of those signals; its number, or 0 when none arrived. With `wakeFd`
// (not -1) the wait also ends, with 0, as soon as that descriptor is readable. Call from the
// thread that blocked the signals.
int WaitForStopSignal(std::chrono::milliseconds timeout, int wakeFd = -1);

// Reopens the log file after SIGHUP (a rotation moved it) and logs that it did.
void ReopenLogOnHangup();

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_STOP_SIGNALS_H_

// The library's configuration block for one configured processor, with every text it points to,
// and the host callbacks that run the processor's shell commands.
//
// The library keeps a pointer to the block and reads it from its worker thread until
// StopRepositoryUpdateThread has returned: a ProcessorBlock must outlive that call, and it is
// neither copied nor moved, so the block and its texts never change.
#ifndef FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_
#define FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_

#include <atomic>
#include <cstdint>

#include "filerepository/filerepository.h"
#include "program/program_config.h"

namespace updater {

class ProcessorBlock {
 public:
  // `cancel`, when raised, ends a running callback command at once (counted as failed); the
  // service raises it when it is told to stop.
  ProcessorBlock(const ProcessorSettings& settings, const std::atomic<bool>* cancel);
  ProcessorBlock(const ProcessorBlock&) = delete;
  ProcessorBlock& operator=(const ProcessorBlock&) = delete;

  UpdateConfig* config() { return &config_; }
  const ProcessorSettings& settings() const { return settings_; }

 private:
  static std::uint32_t Prepare(UpdateConfig* config);
  static std::uint32_t UpdatesAvailable(void* context);
  static std::uint32_t NothingToAbsorb(void* context);
  // 1 when the command of `key` exits with status 0, else 0; 1 when the key is absent.
  std::uint32_t RunHook(const char* event, const char* key) const;

  const ProcessorSettings settings_;
  const std::atomic<bool>* cancel_;
  UpdateConfig config_{};
};

}  // namespace updater

#endif  // FILEREPOSITORY_PROGRAM_PROCESSOR_BLOCK_H_

// once --dry-run: what one update cycle per processor would do, found without doing it.
//
// Nothing here writes. The plan is made over a slot of the command's own (service/dry_run.h); the
// store is opened only when it exists; no processor lock is taken, so a running service is
// neither held up nor refused a start (the plan reads the directories as they are at that moment,
// which a cycle of the service may be changing); and the library's entries go to stderr, never
// into the service's log file.
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "host/mail_server.h"
#include "program/commands.h"
#include "program/console.h"
#include "program/host_settings.h"
#include "program/processor_block.h"
#include "program/program_log.h"
#include "program/property_store.h"
#include "service/dry_run.h"

namespace updater {
namespace {

// The processor's last error entry while its plan is made: why it cannot connect, or why its set
// would be refused, as the cycle would log it. Plans are made on this thread, one at a time.
class LastErrorEntry {
 public:
  explicit LastErrorEntry(std::string first) : first_(std::move(first)) {
    token_ = SubscribeLog([this](const LogEntry& entry) {
      if (entry.error && entry.first == first_) texts_ = entry.texts;
    });
  }
  ~LastErrorEntry() { UnsubscribeLog(token_); }
  LastErrorEntry(const LastErrorEntry&) = delete;
  LastErrorEntry& operator=(const LastErrorEntry&) = delete;

  // "title | detail", a numeric detail followed by its meaning as the text log shows it.
  std::string Text() const {
    std::string text;
    for (const std::string& part : texts_) text += (text.empty() ? "" : " | ") + part;
    if (texts_.size() == 2 && !texts_[1].empty() &&
        texts_[1].find_first_not_of("0123456789") == std::string::npos && texts_[1].size() < 10) {
      const std::string meaning = DescribeErrorCode(static_cast<DWORD>(std::stoul(texts_[1])));
      if (!meaning.empty()) text += " [" + meaning + "]";
    }
    return text.empty() ? "no entry says why" : text;
  }
  // The detail alone: a refusal's verdict and reason.
  std::string Detail() const { return texts_.size() >= 2 ? texts_[1] : Text(); }

 private:
  const std::string first_;
  std::vector<std::string> texts_;
  int token_ = 0;
};

std::string Counted(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " file" : " files");
}

// "2 files: a.dat, b.cfg", with `note` after the count.
std::string Listed(const std::vector<std::string>& names, const std::string& note = "") {
  std::string text = Counted(names.size()) + note + ":";
  for (std::size_t i = 0; i < names.size(); ++i) text += (i == 0 ? " " : ", ") + names[i];
  return text;
}

// Prints the plan of one processor; false when it could not be made or foresees a failed cycle.
bool PrintPlan(const ProcessorSettings& processor, const CyclePlan& plan,
               const LastErrorEntry& entry) {
  const std::string prefix = processor.Name() + ": ";
  auto line = [&prefix](const std::string& text) { PrintLine(prefix + text); };
  switch (plan.status) {
    case CyclePlan::Status::kCannotConnect:
      line("cannot connect: " + entry.Text());
      return false;
    case CyclePlan::Status::kRefused:
      line("would be refused: " + entry.Detail());
      return false;
    case CyclePlan::Status::kFails:
      line("would fail: " + plan.reason);
      return false;
    case CyclePlan::Status::kPlanned:
      break;
  }
  const std::string pending = processor.Text("pending_file");
  if (plan.verified) {
    line("signed set verified: key " + plan.keyId + ", version " +
         std::to_string(plan.signedVersion) + " (installed: " +
         (plan.installedVersion != 0 ? std::to_string(plan.installedVersion) : "none yet") + ")");
  }
  if (plan.startsAfresh) {
    line("would start afresh: " + pending +
         " is present, so the engine has not absorbed the last update; every file is fetched "
         "again");
  }
  if (!plan.fetch.empty()) {
    line("would fetch " +
         Listed(plan.fetch,
                plan.sizesKnown ? " (" + std::to_string(plan.fetchBytes) + " bytes)" : ""));
  }
  if (!plan.refused.empty()) {
    line("would refuse " +
         Listed(plan.refused, " whose names are not plain or are the updater's own"));
  }
  if (!plan.notListed.empty()) line("the server's listing lacks " + Listed(plan.notListed));
  if (plan.WouldFail()) {
    line("would fail: nothing would be installed and the engine would not be signalled");
    return false;
  }
  if (!plan.restore.empty()) {
    line("would restore " + Listed(plan.restore, " that differ from the signed set"));
  }
  if (!plan.install.empty()) line("would install " + Listed(plan.install));
  if (!plan.leave.empty()) line("would leave " + Listed(plan.leave, " the set does not name"));
  if (plan.signal) line("would signal the engine");
  if (plan.promptAgain) {
    line("would tell the engine again: " + pending +
         " is present, so it has not absorbed the last update");
  }
  if (plan.fetch.empty() && plan.restore.empty() && plan.install.empty() && !plan.signal &&
      !plan.promptAgain) {
    line("up to date");
  }
  return true;
}

}  // namespace

int PlanOnce(const CommandLine& line, const ProgramConfig& config) {
  std::vector<const ProcessorSettings*> processors;
  if (!SelectProcessors(line, config, &processors)) return kExitUsage;

  ApplyLookingSettings(config);
  // A store that does not exist is not made: every property then reads as absent, as the first
  // cycle would find them.
  std::unique_ptr<PropertyStore> store;
  std::error_code ignored;
  if (std::filesystem::exists(config.storePath, ignored)) {
    std::string error;
    if (!UsePropertyStore(config, &error)) {
      PrintError(error);
      return kExitFailed;
    }
    store = std::make_unique<PropertyStore>();
    if (!store->IsOpen()) {
      PrintError("cannot open the property store " + config.storePath);
      return kExitFailed;
    }
  }

  bool allMade = true;
  const std::atomic<bool> never{false};
  for (const ProcessorSettings* processor : processors) {
    ProcessorBlock block(*processor, &never);
    const LastErrorEntry entry(processor->Text("error_log_text"));
    const CyclePlan plan =
        PlanUpdateCycle(*block.config(), store != nullptr ? store->handle() : nullptr,
                        VerifiedSettingsFor(*processor));
    allMade = PrintPlan(*processor, plan, entry) && allMade;
  }
  return allMade ? kExitOk : kExitFailed;
}

}  // namespace updater

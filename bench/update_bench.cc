// The update run in-process, against an FTP server that bench/run.sh starts: the cycle that finds
// nothing new (what every scheduled pass pays), the cycle that installs one changed file among
// many (timed step by step), and the integrity check of installed files, classic (CRC-32 against
// the record) and verified (SHA-256 and size against the verified reference).
//
// Each benchmark reads its setting from the environment and skips itself when it is missing:
//   FR_BENCH_SERVER        ftp://127.0.0.1:PORT
//   FR_BENCH_REMOTE_DIR    directory of the definition files on the server
//   FR_BENCH_TRIGGER       the trigger file's name
//   FR_BENCH_ROOT          the processor's root directory (definitions/ and backup/ below it)
//   FR_BENCH_EXTENSIONS    extensions the integrity check measures (default "dat")
//   FR_BENCH_SERVED_DIR    BM_OneChangedFile: the local directory the server serves as the
//                          remote directory, where the benchmark changes one file per iteration
//   FR_BENCH_CHANGED_FILE  BM_OneChangedFile: the name of that file
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#include "ftp/ftp_updates.h"
#include "host/mail_server.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "integrity/sha256.h"
#include "platform/files.h"
#include "service/update_slot.h"
#include "service/verified_mode.h"

namespace {

std::string Environment(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out.flush());
}

// This benchmark library keeps the message's pointer until the report: it must outlive the run.
void Skip(benchmark::State& state, const std::string& why) {
  static std::string message;
  message = why;
  state.SkipWithError(message.c_str());
}

std::uint32_t CallbackSucceeds(void*) {
  return 1;
}

// The configuration block the service program builds from a configuration with only the
// required keys, over the benchmark's own property store in the root directory.
class BenchProcessor {
 public:
  BenchProcessor()
      : server_(Environment("FR_BENCH_SERVER")),
        remoteDir_(Environment("FR_BENCH_REMOTE_DIR")),
        trigger_(Environment("FR_BENCH_TRIGGER")),
        root_(Environment("FR_BENCH_ROOT")),
        extensions_(Environment("FR_BENCH_EXTENSIONS", "dat")) {
    config_.displayName = "MailFilter0";
    config_.serverName = server_.c_str();
    config_.remoteDirectory = remoteDir_.c_str();
    config_.processorName = "MailFilter0";
    config_.integrityCheckProperty = "IntegrityCheck";
    config_.serverNameProperty = "UpdateServer";
    config_.updateIntervalProperty = "UpdateInterval";
    config_.passiveFtpProperty = "PassiveFtp";
    config_.lastUpdateTimeProperty = "LastUpdateTime";
    config_.nextUpdateTimeProperty = "NextUpdateTime";
    config_.updateNowProperty = "UpdateNow";
    config_.triggerFileTimeProperty = "TriggerFileTime";
    config_.installedFilesProperty = "InstalledFiles";
    config_.defaultServerName = server_.c_str();
    config_.defaultUpdateInterval = 3600;
    config_.defaultPassiveFtp = 1;
    config_.defaultIntegrityCheck = 1;
    config_.errorEventId = 1001;
    config_.operationEventId = 1000;
    config_.errorLogText = "MailFilter0";
    config_.operationLogText = "MailFilter0";
    config_.minUpdateInterval = 60;
    config_.maxUpdateInterval = 604800;
    config_.retryInterval = 300;
    config_.maxRetryInterval = 3600;
    config_.waitStepMs = 1000;
    config_.probeTimeoutMs = 10000;
    config_.rootDirectory = root_.c_str();
    config_.definitionsDirectory = "definitions";
    config_.backupDirectory = "backup";
    config_.masterDirectory = "definitions";
    config_.triggerFileName = trigger_.c_str();
    config_.pendingFileName = "update.pending";
    config_.extensions = extensions_.c_str();
    config_.downloadRetries = 2;
    config_.nothingToAbsorb = CallbackSucceeds;
  }

  // Why the benchmark cannot run, or "" when it can.
  std::string Open() {
    if (server_.empty() || trigger_.empty() || root_.empty()) {
      return "set FR_BENCH_SERVER, FR_BENCH_TRIGGER and FR_BENCH_ROOT (see bench/run.sh)";
    }
    CreateDirectoryPath(root_.c_str());
    if (!SetPropertyStorePath((root_ + "/bench-store.db").c_str())) {
      return "cannot open the property store in " + root_;
    }
    slot_.m_pConfig = &config_;
    if (!slot_.Open()) return "cannot open the update slot";
    errors_ = SubscribeLog([this](const LogEntry& entry) {
      if (entry.error) lastError_ = FormatLogLine(entry, LogFormat::kText);
    });
    SetLogLineSinkEnabled(false);
    return "";
  }

  ~BenchProcessor() {
    if (errors_ != 0) UnsubscribeLog(errors_);
    SetLogLineSinkEnabled(true);
  }

  UpdateSlot* slot() { return &slot_; }
  const std::string& lastError() const { return lastError_; }

 private:
  std::string server_, remoteDir_, trigger_, root_, extensions_;
  UpdateConfig config_{};
  UpdateSlot slot_;
  int errors_ = 0;
  std::string lastError_;
};

// A run object whose cycle takes the steps RunUpdateCycle takes, each timed on its own: the
// connection (login, listing, trigger file), the choice of files, the fetch, and the
// installation with the trigger files. The host callbacks and the record of installed files are
// left out; they cost the same whatever the set.
class TimedRun : public CFtpUpdates {
 public:
  struct Steps {
    double connect = 0, choice = 0, fetch = 0, install = 0;
    std::size_t fetched = 0;
  };

  explicit TimedRun(UpdateSlot* slot) : CFtpUpdates(slot) {}

  bool Cycle(Steps* steps) {
    using Clock = std::chrono::steady_clock;
    const auto seconds = [](Clock::time_point from) {
      return std::chrono::duration<double>(Clock::now() - from).count();
    };
    if (!PrepareDirectories()) return false;
    m_strServer = TextOrEmpty(Config().serverName);
    m_strRemoteDir = TextOrEmpty(Config().remoteDirectory);
    auto start = Clock::now();
    if (!Connect()) return false;
    steps->connect += seconds(start);

    start = Clock::now();
    CStringList list;
    const bool chosen = CheckForUpdates() && GetFilesToUpdate(list);
    steps->choice += seconds(start);
    if (!chosen) return false;
    steps->fetched += list.size();

    start = Clock::now();
    const bool fetched = FetchFiles(list);
    steps->fetch += seconds(start);
    if (!fetched) return false;

    start = Clock::now();
    const bool installed = InstallFiles();
    if (installed) WriteTriggerFiles();
    steps->install += seconds(start);
    Disconnect();
    return installed;
  }
};

// Changes one served file to a content it never had before and rewrites its line in the trigger
// file, so that every cycle (of this benchmark or another client) finds exactly one change.
class ServedSet {
 public:
  ServedSet()
      : dir_(Environment("FR_BENCH_SERVED_DIR")),
        changed_(Environment("FR_BENCH_CHANGED_FILE")),
        trigger_(Environment("FR_BENCH_TRIGGER")) {}

  bool usable() const { return !dir_.empty() && !changed_.empty() && !trigger_.empty(); }

  bool ChangeOneFile() {
    char stamp[64];
    std::snprintf(
        stamp, sizeof stamp, "edition %lld.%d\n",
        static_cast<long long>(std::chrono::system_clock::now().time_since_epoch().count()),
        ++edition_);
    const std::string content = std::string(2048, 'x') + stamp;
    if (!WriteWholeFile(dir_ + "/" + changed_, content)) return false;

    std::istringstream lines(ReadWholeFile(dir_ + "/" + trigger_));
    std::string rewritten;
    bool found = false;
    for (std::string line; std::getline(lines, line);) {
      const std::size_t blank = line.find(' ');
      std::string name = blank == std::string::npos ? "" : line.substr(blank + 1);
      if (!name.empty() && name.back() == '\r') name.pop_back();
      if (name == changed_) {
        char value[16];
        std::snprintf(value, sizeof value, "%x ",
                      CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
        line = value + name + "\r";
        found = true;
      }
      rewritten += line + "\n";
    }
    return found && WriteWholeFile(dir_ + "/" + trigger_, rewritten);
  }

 private:
  std::string dir_, changed_, trigger_;
  int edition_ = 0;
};

void BM_NoChangeCycle(benchmark::State& state) {
  BenchProcessor processor;
  if (const std::string why = processor.Open(); !why.empty()) return Skip(state, why);
  {
    CFtpUpdates first(processor.slot());  // installs the set if the root does not hold it yet
    if (!first.RunUpdateCycle()) return Skip(state, processor.lastError());
  }
  for (auto _ : state) {
    CFtpUpdates run(processor.slot());
    if (!run.RunUpdateCycle()) return Skip(state, processor.lastError());
  }
}
BENCHMARK(BM_NoChangeCycle)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OneChangedFile(benchmark::State& state) {
  BenchProcessor processor;
  ServedSet served;
  if (const std::string why = processor.Open(); !why.empty()) return Skip(state, why);
  if (!served.usable()) return Skip(state, "set FR_BENCH_SERVED_DIR and _CHANGED_FILE");
  TimedRun::Steps steps;
  {
    CFtpUpdates first(processor.slot());
    if (!first.RunUpdateCycle()) return Skip(state, processor.lastError());
  }
  for (auto _ : state) {
    state.PauseTiming();
    if (!served.ChangeOneFile()) return Skip(state, "cannot change the served file");
    state.ResumeTiming();
    TimedRun run(processor.slot());
    if (!run.Cycle(&steps)) return Skip(state, processor.lastError());
  }
  const auto perCycle = benchmark::Counter::kAvgIterations;
  state.counters["connect_s"] = benchmark::Counter(steps.connect, perCycle);
  state.counters["choice_s"] = benchmark::Counter(steps.choice, perCycle);
  state.counters["fetch_s"] = benchmark::Counter(steps.fetch, perCycle);
  state.counters["install_s"] = benchmark::Counter(steps.install, perCycle);
  state.counters["fetched"] = benchmark::Counter(static_cast<double>(steps.fetched), perCycle);
}
BENCHMARK(BM_OneChangedFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CheckInstalledFiles(benchmark::State& state) {
  BenchProcessor processor;
  if (const std::string why = processor.Open(); !why.empty()) return Skip(state, why);
  {
    CFtpUpdates first(processor.slot());  // records what is there as the installed set
    first.CheckInstalledFiles();
  }
  std::size_t files = 0;
  CStringList names;
  CRepositoryUpdates::ListFiles(Environment("FR_BENCH_ROOT") + "/definitions",
                                Environment("FR_BENCH_EXTENSIONS", "dat"), names);
  for (auto _ : state) {
    CFtpUpdates run(processor.slot());
    if (run.CheckInstalledFiles() != 0) return Skip(state, "the check found altered files");
    files += names.size();
  }
  state.counters["files"] =
      benchmark::Counter(static_cast<double>(files), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CheckInstalledFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

// The verified check: the slot in verified mode with the files there now as its reference (their
// SHA-256 taken before the timing), so that every check reads and hashes every file.
void BM_CheckVerifiedFiles(benchmark::State& state) {
  BenchProcessor processor;
  if (const std::string why = processor.Open(); !why.empty()) return Skip(state, why);
  UpdateSlot* slot = processor.slot();
  slot->m_verified = std::make_shared<VerifiedModeSettings>();
  slot->m_verifiedReference = VerifiedReference();
  slot->m_verifiedReference.version = 1;
  slot->m_verifiedReferenceLoaded = true;
  const std::string definitions = Environment("FR_BENCH_ROOT") + "/definitions";
  CStringList names;
  CRepositoryUpdates::ListFiles(definitions, Environment("FR_BENCH_EXTENSIONS", "dat"), names);
  for (const std::string& name : names) {
    VerifiedReference::File file;
    if (!integrity::Sha256OfFile((definitions + "/" + name).c_str(), &file.digest, &file.size)) {
      return Skip(state, "cannot read " + name);
    }
    slot->m_verifiedReference.files[name] = file;
  }
  for (auto _ : state) {
    CFtpUpdates run(slot);
    if (run.CheckInstalledFiles() != 0) return Skip(state, "the check found altered files");
  }
  state.counters["files"] = static_cast<double>(names.size());
}
BENCHMARK(BM_CheckVerifiedFiles)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

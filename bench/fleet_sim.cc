// A fleet of updaters in one process, all polling one updates server: each one the library's own
// update slot and worker loop (StartUpdateSlot, as StartRepositoryUpdateThread runs it), with a
// property store, a root directory and a configuration block of its own. bench/fleet.py starts
// the server and reads what this prints.
//
//   fleet_sim --updaters N --server URL --remote-dir DIR --trigger NAME --served DIR
//             --work DIR --interval SECONDS [--quiet SECONDS] [--changed K]
//
// The updaters start one after another, spread evenly over one interval, so that their polls
// stay spread over it. Once every one has installed the served set, the quiet window (default
// one interval) measures polls that find nothing new; then K files of the set in --served change
// and the program waits until every updater has installed the new set. It prints one JSON object
// a line: "warm", "quiet_start", "quiet" (the window's polls and their CPU), "published",
// "converged" (the delay of each updater's installation after the publication, as a summary)
// and "done".
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filerepository/filerepository.h"
#include "host/mail_server.h"
#include "host/utility.h"
#include "integrity/crc32.h"
#include "service/update_slot.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string StatusField(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) {
      std::string value = line.substr(std::strlen(field));
      value.erase(0, value.find_first_not_of(" \t"));
      return value;
    }
  }
  return "";
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for (int fd = 0; fd < 65536; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  return count;
}

std::uint32_t Succeed(void*) {
  return 1;
}

struct Options {
  int updaters = 1000;
  std::string server, remoteDir, trigger, served, work;
  std::uint32_t interval = 60;
  std::uint32_t quiet = 0;  // 0: one interval
  int changed = 2;
};

// One updater: its slot, its block and the texts the block points to.
struct Updater {
  std::string name, root, server, remoteDir, trigger;
  UpdateConfig config{};
  UpdateSlot slot;
  std::int64_t passCpuStart = 0;  // worker thread only
  double passWallStart = 0;
  std::atomic<double> installedAt{0};  // the last installation (trigger file dropped)
  std::atomic<int> installs{0};
  bool succeeded = false;  // of the pass under way; worker thread only
};

struct Totals {
  std::mutex mutex;
  std::uint64_t passes = 0, failed = 0;
  std::int64_t passCpuNs = 0;
  double passWall = 0;
};

Totals g_totals;
std::vector<std::unique_ptr<Updater>> g_updaters;
std::atomic<int> g_errors{0};
std::string g_firstError;
std::mutex g_errorMutex;

std::uint32_t Prepare(UpdateConfig* config) {
  auto* updater = static_cast<Updater*>(config->reserved39);
  updater->passCpuStart = ThreadCpuNs();
  updater->passWallStart = Now();
  updater->succeeded = false;
  return 1;
}

Updater* Find(const char* section) {
  // Sections are "U" and the index in five digits.
  if (section == nullptr || section[0] != 'U') return nullptr;
  const int index = std::atoi(section + 1);
  return index >= 0 && index < static_cast<int>(g_updaters.size()) ? g_updaters[index].get()
                                                                   : nullptr;
}

// On the writing worker's thread: the facts of its pass, from the properties it writes.
void PropertyWritten(const char* section, const char* name) {
  Updater* updater = Find(section);
  if (updater == nullptr) return;
  if (std::strcmp(name, "TriggerFileTime") == 0) {
    updater->installedAt = Now();
    ++updater->installs;
  } else if (std::strcmp(name, "LastUpdateTime") == 0) {
    updater->succeeded = true;
  } else if (std::strcmp(name, "NextUpdateTime") == 0 && updater->passCpuStart != 0) {
    const std::int64_t cpu = ThreadCpuNs() - updater->passCpuStart;
    const double wall = Now() - updater->passWallStart;
    updater->passCpuStart = 0;
    std::lock_guard lock(g_totals.mutex);
    ++g_totals.passes;
    if (!updater->succeeded) ++g_totals.failed;
    g_totals.passCpuNs += cpu;
    g_totals.passWall += wall;
  }
}

void Configure(Updater& u, int index, const Options& options) {
  char name[16];
  std::snprintf(name, sizeof name, "U%05d", index);
  u.name = name;
  u.root = options.work + "/" + name;
  u.server = options.server;
  u.remoteDir = options.remoteDir;
  u.trigger = options.trigger;
  UpdateConfig& c = u.config;
  c.displayName = u.name.c_str();
  c.serverName = u.server.c_str();
  c.remoteDirectory = u.remoteDir.c_str();
  c.processorName = u.name.c_str();
  c.integrityCheckProperty = "IntegrityCheck";
  c.serverNameProperty = "UpdateServer";
  c.updateIntervalProperty = "UpdateInterval";
  c.passiveFtpProperty = "PassiveFtp";
  c.lastUpdateTimeProperty = "LastUpdateTime";
  c.nextUpdateTimeProperty = "NextUpdateTime";
  c.updateNowProperty = "UpdateNow";
  c.triggerFileTimeProperty = "TriggerFileTime";
  c.installedFilesProperty = "InstalledFiles";
  c.defaultServerName = u.server.c_str();
  c.defaultUpdateInterval = options.interval;
  c.defaultPassiveFtp = 1;
  c.defaultIntegrityCheck = 1;
  c.errorEventId = 1001;
  c.operationEventId = 1000;
  c.errorLogText = u.name.c_str();
  c.operationLogText = u.name.c_str();
  c.minUpdateInterval = 1;
  c.maxUpdateInterval = 86400;
  c.retryInterval = 10;
  c.maxRetryInterval = 60;
  c.waitStepMs = 1000;
  c.probeTimeoutMs = 10000;
  c.rootDirectory = u.root.c_str();
  c.definitionsDirectory = "definitions";
  c.backupDirectory = "backup";
  c.masterDirectory = "definitions";
  c.triggerFileName = u.trigger.c_str();
  c.pendingFileName = "update.pending";
  c.extensions = "dat";
  c.downloadRetries = 2;
  c.reserved39 = &u;
  c.prepare = Prepare;
  c.nothingToAbsorb = Succeed;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// Gives the first `count` files the trigger file names a new content, then the trigger file its
// new values: a new set, published as a publisher would, the trigger file last.
bool PublishNewSet(const Options& options) {
  const std::string triggerPath = options.served + "/" + options.trigger;
  std::istringstream lines(ReadWholeFile(triggerPath));
  std::string rewritten;
  int changed = 0;
  for (std::string crc, name; lines >> crc >> name;) {
    if (changed < options.changed) {
      std::string content = ReadWholeFile(options.served + "/" + name);
      content += "new edition " + std::to_string(Now()) + "\n";
      if (!WriteWholeFile(options.served + "/" + name, content)) return false;
      char value[16];
      std::snprintf(value, sizeof value, "%x",
                    CalculateBufferCrc32(content.data(), static_cast<DWORD>(content.size())));
      crc = value;
      ++changed;
    }
    rewritten += crc + " " + name + "\r\n";
  }
  return changed == options.changed && WriteWholeFile(triggerPath, rewritten);
}

struct Snapshot {
  double wall, processCpu;
  std::uint64_t passes, failed;
  std::int64_t passCpuNs;
  double passWall;
};

Snapshot Take() {
  std::lock_guard lock(g_totals.mutex);
  return {Now(),           ProcessCpuSeconds(), g_totals.passes,
          g_totals.failed, g_totals.passCpuNs,  g_totals.passWall};
}

void Emit(const std::string& json) {
  std::printf("%s\n", json.c_str());
  std::fflush(stdout);
}

std::string Window(const Snapshot& a, const Snapshot& b) {
  const std::uint64_t passes = b.passes - a.passes;
  const double perPass = passes != 0 ? 1.0 / static_cast<double>(passes) : 0;
  char text[512];
  std::snprintf(text, sizeof text,
                "\"start\":%.3f,\"end\":%.3f,\"passes\":%llu,\"failed\":%llu,"
                "\"pass_cpu_ms\":%.4f,\"pass_wall_ms\":%.3f,\"process_cpu_s\":%.3f,"
                "\"process_cpu_per_pass_ms\":%.4f",
                a.wall, b.wall, static_cast<unsigned long long>(passes),
                static_cast<unsigned long long>(b.failed - a.failed),
                static_cast<double>(b.passCpuNs - a.passCpuNs) / 1e6 * perPass,
                (b.passWall - a.passWall) * 1000 * perPass, b.processCpu - a.processCpu,
                (b.processCpu - a.processCpu) * 1000 * perPass);
  return text;
}

bool WaitUntil(const std::function<bool()>& condition, double limitSeconds) {
  const double deadline = Now() + limitSeconds;
  while (!condition()) {
    if (Now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

int Run(const Options& options) {
  // Each updater holds its store (three descriptors with the write-ahead log) and, during a
  // pass, its connections.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  SetLogLineSinkEnabled(false);
  const int logToken = SubscribeLog([](const LogEntry& entry) {
    if (!entry.error) return;
    if (g_errors++ == 0) {
      std::lock_guard lock(g_errorMutex);
      g_firstError = FormatLogLine(entry, LogFormat::kText);
    }
  });
  const int writeToken = SubscribePropertyWrites(PropertyWritten);

  for (int i = 0; i < options.updaters; ++i) {
    g_updaters.push_back(std::make_unique<Updater>());
    Configure(*g_updaters.back(), i, options);
  }
  // Each updater opens its own store: the store's path counts when a handle is opened.
  const double started = Now();
  const double spacing = static_cast<double>(options.interval) / options.updaters;
  for (int i = 0; i < options.updaters; ++i) {
    Updater& u = *g_updaters[i];
    CreateDirectoryPath(u.root.c_str());
    if (!SetPropertyStorePath((u.root + "/store.db").c_str()) ||
        StartUpdateSlot(u.slot, &u.config) == 0) {
      std::fprintf(stderr, "fleet_sim: cannot start updater %s (error %u)\n", u.name.c_str(),
                   static_cast<unsigned>(GetLastError()));
      return 1;
    }
    const double next = started + spacing * (i + 1);
    if (next > Now()) std::this_thread::sleep_for(std::chrono::duration<double>(next - Now()));
  }
  const auto allInstalled = [](double after) {
    for (const auto& u : g_updaters) {
      if (u->installs == 0 || u->installedAt < after) return false;
    }
    return true;
  };
  const double limit = 3.0 * options.interval + 60;
  if (!WaitUntil([&] { return allInstalled(0); }, limit)) {
    std::fprintf(stderr, "fleet_sim: not every updater installed the set; first error: %s\n",
                 g_firstError.c_str());
    return 1;
  }
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"event\":\"warm\",\"time\":%.3f,\"since_start_s\":%.1f,\"threads\":\"%s\","
                "\"descriptors\":%zu,\"vm_rss\":\"%s\"}",
                Now(), Now() - started, StatusField("Threads:").c_str(), OpenDescriptors(),
                StatusField("VmRSS:").c_str());
  Emit(text);

  const Snapshot quietStart = Take();
  std::snprintf(text, sizeof text, "{\"event\":\"quiet_start\",\"time\":%.3f}", quietStart.wall);
  Emit(text);
  std::this_thread::sleep_for(
      std::chrono::seconds(options.quiet != 0 ? options.quiet : options.interval));
  const Snapshot quietEnd = Take();
  Emit("{\"event\":\"quiet\"," + Window(quietStart, quietEnd) + "}");

  if (!PublishNewSet(options)) {
    std::fprintf(stderr, "fleet_sim: cannot publish a new set in %s\n", options.served.c_str());
    return 1;
  }
  const double published = Now();
  std::snprintf(text, sizeof text, "{\"event\":\"published\",\"time\":%.3f}", published);
  Emit(text);
  const bool converged = WaitUntil([&] { return allInstalled(published); }, limit);
  const Snapshot convergedAt = Take();
  std::vector<double> delays;
  for (const auto& u : g_updaters) {
    if (u->installedAt >= published) delays.push_back(u->installedAt - published);
  }
  std::sort(delays.begin(), delays.end());
  const auto at = [&](double q) {
    return delays.empty() ? 0.0 : delays[static_cast<std::size_t>(q * (delays.size() - 1))];
  };
  std::snprintf(text, sizeof text,
                "{\"event\":\"converged\",\"all\":%s,\"installed\":%zu,\"first_s\":%.3f,"
                "\"median_s\":%.3f,\"p90_s\":%.3f,\"p99_s\":%.3f,\"last_s\":%.3f,",
                converged ? "true" : "false", delays.size(), at(0), at(0.5), at(0.9), at(0.99),
                at(1.0));
  Emit(text + Window(quietEnd, convergedAt) + "}");

  const double stopping = Now();
  for (const auto& u : g_updaters) SetEvent(u->slot.m_hStopEvent);
  for (const auto& u : g_updaters) StopUpdateSlot(u->slot);
  UnsubscribePropertyWrites(writeToken);
  UnsubscribeLog(logToken);
  std::snprintf(text, sizeof text,
                "{\"event\":\"done\",\"stop_s\":%.3f,\"errors\":%d,\"vm_hwm\":\"%s\","
                "\"process_cpu_s\":%.3f,\"first_error\":\"%s\"}",
                Now() - stopping, g_errors.load(), StatusField("VmHWM:").c_str(),
                ProcessCpuSeconds(), g_errors.load() != 0 ? "see stderr" : "");
  Emit(text);
  if (g_errors.load() != 0)
    std::fprintf(stderr, "fleet_sim: first error: %s\n", g_firstError.c_str());
  return converged ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--updaters")
      options.updaters = std::atoi(value.c_str());
    else if (key == "--server")
      options.server = value;
    else if (key == "--remote-dir")
      options.remoteDir = value;
    else if (key == "--trigger")
      options.trigger = value;
    else if (key == "--served")
      options.served = value;
    else if (key == "--work")
      options.work = value;
    else if (key == "--interval")
      options.interval = static_cast<std::uint32_t>(std::atoi(value.c_str()));
    else if (key == "--quiet")
      options.quiet = static_cast<std::uint32_t>(std::atoi(value.c_str()));
    else if (key == "--changed")
      options.changed = std::atoi(value.c_str());
    else {
      std::fprintf(stderr, "fleet_sim: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (options.server.empty() || options.trigger.empty() || options.served.empty() ||
      options.work.empty() || options.updaters < 1 || options.interval < 1) {
    std::fprintf(stderr,
                 "usage: fleet_sim --updaters N --server URL --remote-dir DIR --trigger "
                 "NAME --served DIR --work DIR --interval SECONDS [--quiet S] [--changed K]\n");
    return 2;
  }
  return Run(options);
}

#include "program/mirrors.h"

#include <algorithm>
#include <vector>

#include "ftp/reachability.h"
#include "platform/internet/internet.h"
#include "program/program_log.h"

namespace updater {
namespace {

// The port a cycle on `address` connects to first: the transports' own defaults.
std::uint16_t PortOf(const ServerAddress& address) {
  switch (address.scheme) {
    case ServerScheme::kHttp:
      return address.PortOr(80);
    case ServerScheme::kHttps:
      return address.PortOr(443);
    default:
      return address.PortOr(21);
  }
}

bool Answers(const std::string& server, std::uint32_t timeoutMs) {
  ServerAddress address;
  return ParseServerAddress(server, &address) &&
         IsServerReachable(address.host.c_str(), PortOf(address), timeoutMs);
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
  return joined;
}

}  // namespace

std::size_t MirrorInUse(const ProcessorSettings& processor,
                        const std::optional<std::string>& named) {
  const auto& servers = processor.servers;
  const auto found = named ? std::find(servers.begin(), servers.end(), *named) : servers.end();
  return found != servers.end() ? static_cast<std::size_t>(found - servers.begin()) : 0;
}

const std::string& MirrorChoice::Choose(PropertyStore& store, bool moveOn,
                                        const std::atomic<bool>* cancel) {
  const std::vector<std::string>& servers = processor_.servers;
  // Read afresh every cycle, so that an administrator's choice between two cycles counts.
  const std::optional<std::string> recorded =
      store.GetText(processor_.Name(), kMirrorInUseProperty);
  const std::size_t start = (MirrorInUse(processor_, recorded) + (moveOn ? 1 : 0)) % servers.size();
  const std::uint32_t limit = std::min(kMirrorProbeLimitMs, processor_.Number("probe_timeout_ms"));

  std::optional<std::size_t> chosen;
  std::vector<std::string> silent;
  for (std::size_t step = 0; step < servers.size(); ++step) {
    if (cancel != nullptr && cancel->load()) return servers[start];  // the service is stopping
    const std::size_t index = (start + step) % servers.size();
    if (Answers(servers[index], limit)) {
      chosen = index;
      break;
    }
    silent.push_back(servers[index]);
  }

  const std::string& display = processor_.DisplayName();
  if (chosen) {
    std::vector<std::string> texts = {"Mirror of the " + display + " updates server for this cycle",
                                      servers[*chosen]};
    if (!silent.empty()) texts.push_back("not answering: " + Joined(silent));
    LogProgramOperation(kEventMirrorChosen, processor_.Name(), texts);
  } else {
    LogProgramError(kEventNoMirrorAnswers, processor_.Name(),
                    {"No mirror of the " + display + " updates server answers", Joined(servers),
                     "the cycle tries " + servers[start]});
  }
  const std::size_t used = chosen.value_or(start);
  if (recorded != servers[used])
    store.SetText(processor_.Name(), kMirrorInUseProperty, servers[used]);
  return servers[used];
}

void MoveToNextMirror(PropertyStore& store, const ProcessorSettings& processor) {
  if (!HasMirrors(processor)) return;
  const std::optional<std::string> recorded = store.GetText(processor.Name(), kMirrorInUseProperty);
  const std::size_t next = (MirrorInUse(processor, recorded) + 1) % processor.servers.size();
  store.SetText(processor.Name(), kMirrorInUseProperty, processor.servers[next]);
}

}  // namespace updater

#include "support/scripted_ftp_server.h"

namespace testing_support {

void ScriptedFtpServer::AddDirectory(const std::string& path) {
  process_.Call({"dir", ScriptedServerProcess::Word(path)});
}

void ScriptedFtpServer::AddFile(const std::string& path, ScriptedFile file) {
  static const char* const kFaults[] = {"none", "break", "drop", "stall", "drip", "endless"};
  process_.Call({"file", ScriptedServerProcess::Word(path),
                 ScriptedServerProcess::Word(file.content),
                 file.listedSize ? std::to_string(*file.listedSize) : "-",
                 kFaults[static_cast<int>(file.fault)], std::to_string(file.faultOffset),
                 std::to_string(file.faultTimes)});
}

void ScriptedFtpServer::AddFile(const std::string& path, const std::string& content) {
  AddFile(path, ScriptedFile{content, {}});
}

void ScriptedFtpServer::AddRule(ScriptedRule rule) {
  process_.Call({"rule", rule.verb, ScriptedServerProcess::Word(rule.argument),
                 rule.action == ScriptedRule::Action::kStall ? "stall" : "reply",
                 ScriptedServerProcess::Word(rule.reply), std::to_string(rule.times)});
}

void ScriptedFtpServer::Reply(const std::string& verb, const std::string& reply) {
  AddRule({verb, std::nullopt, ScriptedRule::Action::kReply, reply, -1});
}

void ScriptedFtpServer::Stall(const std::string& verb) {
  AddRule({verb, std::nullopt, ScriptedRule::Action::kStall, "", -1});
}

std::vector<std::string> ScriptedFtpServer::Transcript() const {
  std::vector<std::string> lines;
  for (const std::string& word : process_.Call({"transcript"}))
    lines.push_back(ScriptedServerProcess::Text(word));
  return lines;
}

std::size_t ScriptedFtpServer::CountCommands(const std::string& verb) const {
  return CountVerb(Transcript(), verb);
}

}  // namespace testing_support

#include "support/scripted_ftp_server.h"

namespace testing_support {

void ScriptedFtpServer::AddDirectory(const std::string& path) {
  Call({"dir", Word(path)});
}

void ScriptedFtpServer::AddFile(const std::string& path, ScriptedFile file) {
  static const char* const kFaults[] = {"none", "break", "drop", "stall", "drip", "endless"};
  Call({"file", Word(path), Word(file.content),
        file.listedSize ? std::to_string(*file.listedSize) : "-",
        kFaults[static_cast<int>(file.fault)], std::to_string(file.faultOffset),
        std::to_string(file.faultTimes)});
}

void ScriptedFtpServer::AddFile(const std::string& path, const std::string& content) {
  AddFile(path, ScriptedFile{content, {}});
}

void ScriptedFtpServer::AddRule(ScriptedRule rule) {
  static const char* const kActions[] = {"reply", "stall", "close"};
  Call({"rule", rule.verb, Word(rule.argument), kActions[static_cast<int>(rule.action)],
        Word(rule.reply), std::to_string(rule.times)});
}

void ScriptedFtpServer::Reply(const std::string& verb, const std::string& reply) {
  AddRule({verb, std::nullopt, ScriptedRule::Action::kReply, reply, -1});
}

std::vector<std::string> ScriptedFtpServer::Transcript() const {
  std::vector<std::string> lines;
  for (const std::string& word : Call({"transcript"})) lines.push_back(Text(word));
  return lines;
}

std::size_t ScriptedFtpServer::CountCommands(const std::string& verb) const {
  return CountVerb(Transcript(), verb);
}

}  // namespace testing_support

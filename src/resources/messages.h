// The library's message table: every message text loaded by id, and the formatter for its
// positional inserts (%1, %2, ... and %1!d! for a number).
#ifndef FILEREPOSITORY_RESOURCES_MESSAGES_H_
#define FILEREPOSITORY_RESOURCES_MESSAGES_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

// Message ids.
enum MessageId : std::uint32_t {
  IDS_UPDATING_DEFINITION_FILES = 20001,
  IDS_CONNECTING_TO_SERVER = 20051,
  IDS_NO_ROOT_DIRECTORY_NAME = 20052,
  IDS_FAILED_TO_WRITE_FILE = 20053,
  IDS_CHECKING_INTEGRITY = 20055,
  IDS_NO_REMOTE_UPDATES_DIRECTORY = 20057,
  IDS_UPDATING_FILE = 20058,
  IDS_FAILED_TO_UPDATE_CONFIGURATION = 20059,
  IDS_UPDATE_DEFINITION_FILES = 20060,
  IDS_CONFIRM_UPDATES_ABSORBED = 20062,
  IDS_ROOT_DIRECTORY_NOT_FOUND = 20064,
  IDS_CREATING_BACKUP_DIRECTORY = 20065,
  IDS_FAILED_TO_ENUMERATE_REMOTE = 20066,
  IDS_COPY_FILE_TO_DIRECTORY = 20067,
  IDS_DEFINITIONS_DIRECTORY_NOT_FOUND = 20101,
  IDS_INVALID_DEFINITION_FILES = 20103,
  IDS_NO_WORKING_CONFIGURATION = 20105,
  IDS_REMOTE_FILE_DOES_NOT_EXIST = 20106,
  IDS_SERVICE_SHUTTING_DOWN = 20108,
  IDS_UPDATED_FILES = 20109,
  IDS_FILE_NOT_CONSUMED = 20110,
  IDS_ATTEMPTING_TO_ABSORB = 20112,
};

// The text of message `id`; empty when the table has no such message.
std::string_view LoadMessage(std::uint32_t id);

// One insert: text, or a number (for %n!d!, also accepted by a plain %n as decimal).
using MessageInsert = std::variant<std::string_view, long long>;

// Formats `text`: %1 to %99 are replaced by the inserts (an insert that is missing becomes empty),
// %n!d! by a number insert in decimal (a text insert is used as it stands), %% by %. Other bytes,
// the doubled quotation marks and double spaces of the texts included, are kept as they are.
std::string FormatMessageText(std::string_view text, std::initializer_list<MessageInsert> inserts);

// LoadMessage and FormatMessageText in one.
std::string FormatMessageId(std::uint32_t id, std::initializer_list<MessageInsert> inserts = {});

#endif  // FILEREPOSITORY_RESOURCES_MESSAGES_H_

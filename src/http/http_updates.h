// CHttpUpdates: the HTTP transport of an update run. Connect probes the server's HTTP port, makes
// the connection and fetches the server's trigger file with a GET request; FetchFile requests one
// definition file, takes it whole at the length its Content-Length announces, checks its CRC-32
// against the trigger file, retries, and writes it into the backup directory. No login and no
// listing. Every failure is logged here, as one error entry, before the operation returns.
//
// The server is m_strServer: http://host[:port], https://host[:port] (certificate verified), or
// a plain host name, taken as http on port 80.
#ifndef FILEREPOSITORY_HTTP_HTTP_UPDATES_H_
#define FILEREPOSITORY_HTTP_HTTP_UPDATES_H_

#include <cstdint>
#include <string>

#include "platform/internet/internet.h"
#include "update/repository_updates.h"

// Allocation tag of this transport's buffers in the host's tracing allocator.
inline constexpr const char* kHttpUpdatesTag = "HttpUpdates";

class CHttpUpdates : public CRepositoryUpdates {
 public:
  explicit CHttpUpdates(UpdateSlot* slot);
  ~CHttpUpdates() override;

  BOOL Connect() override;
  void Disconnect() override;
  BOOL IsConnected() override;
  BOOL FetchFile(const std::string& name) override;
  BOOL FetchSigningFile(const std::string& name, std::uint64_t limit,
                        std::string& content) override;

  // GETs `objectPath` (with backslashes; the layer makes the request target). The caller owns the
  // result: a file whose response has a 2xx status. Null when the request could not be made or
  // sent (the cause in the last error) or the status is another.
  CHttpFile* RequestRemoteFile(const std::string& objectPath);
  // Reads the body at the length its Content-Length announces into a new block from the tracing
  // allocator (*buffer, owned by the caller; a block *buffer already holds is released first)
  // and sets *size. False with the cause in the last error: ERROR_HTTP_HEADER_NOT_FOUND without
  // a Content-Length (*buffer untouched), ERROR_NOT_ENOUGH_MEMORY for a length beyond the limit
  // of the trigger file or of a definition file (AcceptsFileSize, which logs it under
  // `shownName`), the layer's code for a body that broke off or stalled, 1104 for one that ended
  // early; *buffer is null then. Bytes beyond the announced length are not read.
  BOOL ReadRemoteResponse(CHttpFile* file, BYTE** buffer, std::uint64_t* size, bool triggerFile,
                          const std::string& shownName);

 protected:
  // The object path of file `name` in the updates directory as it is requested: the name's
  // '%', '?' and '#' escaped, so that the request names that file. Logs show the path unescaped.
  std::string RequestPath(const std::string& name) const;
  // A response that came from another server than the one connected to (its redirects led to
  // another scheme, host or port) is worth an operation entry naming where it came from: once
  // for each server within a run. `shownPath` titles the entry.
  void NoteRedirect(CHttpFile* file, const std::string& shownPath);

  CHttpConnection* m_pHttpConnection;
  ServerAddress m_server;           // the server connected to
  std::string m_strRedirectLogged;  // the server the last redirect entry named
};

#endif  // FILEREPOSITORY_HTTP_HTTP_UPDATES_H_

// CFtpUpdates: the FTP transport of an update run. Connect probes the server, logs in, changes to
// the updates directory, reads the whole listing once and downloads the server's trigger file;
// FetchFile downloads one definition file whole into memory, checks its length against the listing
// and its CRC-32 against the trigger file, retries, and writes it into the backup directory.
// Every failure is logged here, as one error entry, before the operation returns.
#ifndef FILEREPOSITORY_FTP_FTP_UPDATES_H_
#define FILEREPOSITORY_FTP_FTP_UPDATES_H_

#include <cstdint>
#include <map>
#include <string>

#include "platform/internet/internet.h"
#include "update/remote_file.h"
#include "update/repository_updates.h"

// Allocation tag of this transport's buffers in the host's tracing allocator.
inline constexpr const char* kFtpUpdatesTag = "FtpUpdates";

class CFtpUpdates : public CRepositoryUpdates {
 public:
  explicit CFtpUpdates(UpdateSlot* slot);
  ~CFtpUpdates() override;

  BOOL Connect() override;
  void Disconnect() override;
  BOOL IsConnected() override;
  BOOL FetchFile(const std::string& name) override;
  BOOL FetchSigningFile(const std::string& name, std::uint64_t limit,
                        std::string& content) override;
  bool ReadsListing() const override { return true; }
  bool ListedSize(const std::string& name, std::uint64_t& size) const override;

  // Looks `name` up in the listing, exactly and then without regard to case; on a match `name`
  // becomes the name as the server lists it. Logs 20058/20106 when there is none.
  BOOL FindRemoteFile(std::string& name, std::uint64_t& size);
  // FindRemoteFile without the entry: false when the listing has no such name.
  bool LookUpRemoteFile(std::string& name, std::uint64_t& size) const;
  // Opens the remote file for binary reading; the caller owns the result. Null after logging
  // 20058 with the layer's code when the server refuses.
  CInternetFile* OpenRemoteFile(const std::string& name);
  // Reads the file, which must be exactly `size` bytes, into a new block from the tracing
  // allocator (*buffer, owned by the caller). False with the cause in the last error: the layer's
  // code, 1104 when the file is shorter, 122 when longer. Logs nothing.
  BOOL ReadRemoteFile(CInternetFile* file, std::uint64_t size, BYTE** buffer);

 protected:
  CFtpConnection* m_pFtpConnection;
  // The listing of the updates directory: name (exact) to size.
  std::map<std::string, std::uint64_t> m_remoteFileSizes;
};

// The detail text of an error code: the code in decimal, or for 12003 (the server's reply is
// available) "12003:<reply code> - <reply text>" without trailing white space.
std::string FormatErrorCode(DWORD code);
// FormatErrorCode of the code, ": ", and the platform's text for the code. Nothing when `out` is
// null.
void FormatErrorMessage(DWORD code, std::string* out);

#endif  // FILEREPOSITORY_FTP_FTP_UPDATES_H_

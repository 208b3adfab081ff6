// FTP directory listings, without I/O: the machine format of MLSD (RFC 3659) and the two human
// formats servers give for LIST, the Unix `ls -l` lines and the DOS/IIS lines.
//
// Pure functions over bytes, so that a fuzzer can drive them and tests need no network. Names are
// kept byte for byte (no case folding, no character set conversion). Every input is treated as
// hostile: FtpListingParser keeps at most one line of text at a time and caps the bytes, the
// entries and the length of a line.
#ifndef FILEREPOSITORY_PLATFORM_INTERNET_FTP_LISTING_H_
#define FILEREPOSITORY_PLATFORM_INTERNET_FTP_LISTING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace internet {

struct FtpListEntry {
  std::string name;
  std::uint64_t size = 0;
  bool isDirectory = false;
};

// Each returns false for a line that names no entry: a line it cannot read, the "total" line,
// "." and "..", and MLSD's entries for the listed directory itself and its parent. The line may
// still carry its line end.
//
// MLSD: "fact=value;fact=value; name". type=dir is a directory, cdir/pdir are skipped, any other
// type (file, OS.unix=slink:..., unknown) is a file; the size comes from size= (sizd= for a
// directory), 0 when missing.
bool ParseMlsdLine(std::string_view line, FtpListEntry* entry);
// Unix: "-rw-r--r-- 1 owner group 1234 Jan 05 12:34 name" with the time or the year
// ("Jan 05  2020"), or the ISO date form "2020-01-05 12:34"; the group column may be missing.
// The name is everything after the date and one blank, so it may hold blanks; a symbolic link
// "name -> target" gives "name". A 'd' type is a directory; every other type is a file.
bool ParseUnixListLine(std::string_view line, FtpListEntry* entry);
// DOS/IIS: "12-05-26  07:44PM       <DIR>          name" and "12-05-2026  07:44PM  1234 name".
bool ParseDosListLine(std::string_view line, FtpListEntry* entry);
// A LIST line of either format.
bool ParseListLine(std::string_view line, FtpListEntry* entry);

enum class ListingFormat { kMlsd, kList };

// Turns the bytes of a listing, fed in pieces as they arrive, into entries.
class FtpListingParser {
 public:
  // The entries are held twice on their way to the transport (here and in its map of sizes), at
  // about a hundred bytes each: these caps keep a hostile listing within some 20 MiB, and are far
  // beyond any updates directory.
  static constexpr std::size_t kMaxListingBytes = std::size_t{16} << 20;
  static constexpr std::size_t kMaxEntries = 100000;
  // A longer line is skipped (it can name no sensible entry).
  static constexpr std::size_t kMaxLineBytes = std::size_t{64} << 10;

  explicit FtpListingParser(ListingFormat format) : format_(format) {}

  // False once the listing has gone beyond kMaxListingBytes or kMaxEntries; later input is
  // ignored.
  bool Feed(std::string_view bytes);
  // Ends the input; a last line without a line end counts. False when beyond a cap.
  bool Finish();

  bool overflowed() const { return overflowed_; }
  const std::vector<FtpListEntry>& entries() const { return entries_; }
  std::vector<FtpListEntry> TakeEntries() { return std::move(entries_); }

 private:
  void EndLine();

  ListingFormat format_;
  std::string line_;
  bool skippingLongLine_ = false;
  bool overflowed_ = false;
  std::size_t total_ = 0;
  std::vector<FtpListEntry> entries_;
};

}  // namespace internet

#endif  // FILEREPOSITORY_PLATFORM_INTERNET_FTP_LISTING_H_

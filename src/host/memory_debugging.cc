// The tracing allocator. Each block is preceded by a small header that points at the counter of
// its tag, so a release needs no lookup and no lock. Counters are interned by the tag's text (the
// same literal may live at different addresses in different objects) and never freed.
#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "host/utility.h"

namespace {

struct TagCounter {
  explicit TagCounter(std::string tagName) : name(std::move(tagName)) {}
  const std::string name;
  std::atomic<std::size_t> outstanding{0};
};

constexpr std::uint32_t kLiveBlock = 0x7a11b10c;
constexpr std::uint32_t kReleasedBlock = 0xdeadb10c;

// Keeps the block after it aligned for any type.
struct alignas(alignof(std::max_align_t)) BlockHeader {
  TagCounter* counter;
  std::int32_t line;
  std::uint32_t magic;
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<TagCounter>, std::less<>> byName;
  // Most callers pass string literals: remembering the counter of each address spares the
  // lookup by text (the text is still compared, in case an address is reused for another tag).
  std::unordered_map<const char*, TagCounter*> byAddress;

  // Allocation failures armed by FailAllocations.
  std::atomic<bool> failureArmed{false};
  std::size_t failSkip = 0;
  std::size_t failCount = 0;
};

// Never destroyed: blocks may be released while static objects are torn down at exit.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

TagCounter* CounterFor(Registry& registry, const char* tag) {
  std::lock_guard lock(registry.mutex);
  auto known = registry.byAddress.find(tag);
  if (known != registry.byAddress.end() && known->second->name == tag) return known->second;
  auto it = registry.byName.find(std::string_view(tag));
  if (it == registry.byName.end()) {
    it = registry.byName.emplace(tag, std::make_unique<TagCounter>(tag)).first;
  }
  registry.byAddress[tag] = it->second.get();
  return it->second.get();
}

// True when the test hook says this allocation is to fail.
bool InjectedFailure(Registry& registry) {
  if (!registry.failureArmed.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(registry.mutex);
  if (registry.failCount == 0) return false;
  if (registry.failSkip > 0) {
    --registry.failSkip;
    return false;
  }
  if (--registry.failCount == 0) registry.failureArmed.store(false, std::memory_order_release);
  return true;
}

// Blocks from this size on are whole files of some size: a download streams into every byte of
// one, and with 4 KiB pages that is a page fault every 4 KiB (25,600 for 100 MiB, which costs
// more than the transfer itself on a virtual machine). Transparent huge pages cut that 512-fold.
constexpr std::size_t kHugePageHintMinimum = std::size_t{4} << 20;
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Only a hint: where the kernel has no huge pages to give, nothing changes.
void AdviseHugePages(void* block, std::size_t size) {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (last > first) {
    ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
}

}  // namespace

void* CMemoryDebugging::TraceAllocate(std::size_t size, const char* tag, int line) {
  Registry& registry = TheRegistry();
  if (size > SIZE_MAX - sizeof(BlockHeader) || InjectedFailure(registry)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  TagCounter* counter;
  try {
    counter = CounterFor(registry, tag != nullptr ? tag : "");
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  if (header == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (size >= kHugePageHintMinimum) AdviseHugePages(header + 1, size);
  header->counter = counter;
  header->line = line;
  header->magic = kLiveBlock;
  counter->outstanding.fetch_add(1, std::memory_order_relaxed);
  return header + 1;
}

void CMemoryDebugging::TraceDeallocate(void* block) {
  if (block == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  if (header->magic != kLiveBlock) {
    // Not a block of this allocator, or released twice: carrying on would corrupt the heap.
    std::fprintf(stderr, "TraceDeallocate: %p is not a live traced block\n", block);
    std::abort();
  }
  header->magic = kReleasedBlock;
  header->counter->outstanding.fetch_sub(1, std::memory_order_relaxed);
  std::free(header);
}

std::size_t CMemoryDebugging::OutstandingBlocks(const char* tag) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  if (tag != nullptr) {
    auto it = registry.byName.find(std::string_view(tag));
    return it == registry.byName.end() ? 0 : it->second->outstanding.load();
  }
  std::size_t total = 0;
  for (const auto& [name, counter] : registry.byName) total += counter->outstanding.load();
  return total;
}

void CMemoryDebugging::FailAllocations(std::size_t skip, std::size_t count) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  registry.failSkip = skip;
  registry.failCount = count;
  registry.failureArmed.store(count > 0, std::memory_order_release);
}

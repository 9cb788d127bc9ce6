// Counts every heap allocation of the process it is preloaded into (LD_PRELOAD), so that a
// test can show that the server allocates nothing per request. The count lives in the file
// named by QUIETD_MALLOC_COUNT_FILE, mapped shared, so the test reads it while the server runs.
// Each allocation function hands on to the C library's own entry point.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<std::uint64_t> earlyCount{0};           // allocations made before the file was mapped
std::atomic<std::uint64_t>* sharedCount = nullptr;  // the mapped file, once it is

void countOne() {
  std::atomic<std::uint64_t>* shared = sharedCount;
  (shared != nullptr ? *shared : earlyCount).fetch_add(1, std::memory_order_relaxed);
}

__attribute__((constructor)) void mapCountFile() {
  const char* path = std::getenv("QUIETD_MALLOC_COUNT_FILE");
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* mapped =
      ftruncate(fd, sizeof(std::uint64_t)) == 0
          ? mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
          : MAP_FAILED;
  close(fd);
  if (mapped == MAP_FAILED) return;
  auto* shared = static_cast<std::atomic<std::uint64_t>*>(mapped);
  shared->store(earlyCount.load());
  sharedCount = shared;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  countOne();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  countOne();
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) {
  countOne();
  return __libc_realloc(block, size);
}

void* memalign(std::size_t alignment, std::size_t size) {
  countOne();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  countOne();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  countOne();
  void* made = __libc_memalign(alignment, size);
  if (made == nullptr) return ENOMEM;
  *block = made;
  return 0;
}

void* valloc(std::size_t size) {
  countOne();
  return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"

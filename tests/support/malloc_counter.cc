// Preloaded (LD_PRELOAD), counts the process's heap allocations in the file that
// QUIETD_MALLOC_COUNT_FILE names, mapped shared, so that a test reads the count as it runs.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
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

std::atomic<std::uint64_t> unmapped{0};  // counts until the file is mapped, and is never read
std::atomic<std::uint64_t>* counter = &unmapped;

void countOne() { counter->fetch_add(1, std::memory_order_relaxed); }

__attribute__((constructor)) void mapCountFile() {
  const char* path = std::getenv("QUIETD_MALLOC_COUNT_FILE");
  const int fd = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
  if (fd < 0) return;
  void* mapped =
      ftruncate(fd, sizeof(std::uint64_t)) == 0
          ? mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
          : MAP_FAILED;
  close(fd);
  if (mapped != MAP_FAILED) counter = static_cast<std::atomic<std::uint64_t>*>(mapped);
}

}  // namespace

// The entry points that the C library, libstdc++ (operator new, aligned new) and the server reach.
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

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  countOne();
  return __libc_memalign(alignment, size);
}

}  // extern "C"

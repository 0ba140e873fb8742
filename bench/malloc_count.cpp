// Counts the heap allocations of the process it is preloaded into (LD_PRELOAD), in a counter
// that another process can read at any time: the 8-byte file named by MALLOC_COUNT_FILE.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<uint64_t> unmapped{0};
std::atomic<uint64_t>* counter = &unmapped;

// Maps the shared counter; allocations before this count in a private word and are added.
__attribute__((constructor)) void MapCounter() {
  const char* name = std::getenv("MALLOC_COUNT_FILE");
  if (name == nullptr) return;
  int fd = open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (ftruncate(fd, sizeof(uint64_t)) == 0) {
    void* area = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (area != MAP_FAILED) {
      auto* shared = static_cast<std::atomic<uint64_t>*>(area);
      shared->store(unmapped.load());
      counter = shared;
    }
  }
  close(fd);
}

void Count() {
  counter->fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  Count();
  return __libc_realloc(block, size);
}

void free(void* block) {
  __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) {
  Count();
  void* result = __libc_memalign(alignment, size);
  if (result == nullptr) return 12;  // ENOMEM
  *block = result;
  return 0;
}

}  // extern "C"

// Preloaded into the daemon: malloc fails for sizes from 300 to 700 bytes, as the heap of a
// machine out of memory would, while the small and large allocations of start-up go on.
#include <cerrno>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);  // glibc's own
extern "C" void* malloc(std::size_t size);

extern "C" void* malloc(std::size_t size) {
  if (size >= 300 && size <= 700) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

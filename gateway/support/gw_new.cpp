// Global operator new and delete on plain malloc and free, for the gateway
// binaries. libstdc++'s own operator new throws std::bad_alloc, and linking
// it statically drags in the exception machinery and the unwinder, tens of
// kilobytes of flash for code built with -fno-exceptions that can never
// catch anything. Here an allocation that fails ends the process with a
// short note on stderr instead (the web server logs it), which is also what
// libstdc++ would do: an uncaught bad_alloc terminates. The nothrow forms
// return a null pointer, as callers that check expect.
#include <new>
#include <stdlib.h>
#include <unistd.h>

namespace {

[[noreturn]] void out_of_memory() {
  static const char note[] = "out of memory\n";
  ssize_t ignored = write(STDERR_FILENO, note, sizeof note - 1);
  (void)ignored;
  abort();
}

void *allocate(size_t size) {
  // new of size 0 must still return a unique pointer; malloc(0) may not.
  return malloc(size ? size : 1);
}

void *allocate_aligned(size_t size, size_t align) {
  void *p = nullptr;
  if (align < sizeof(void *)) align = sizeof(void *);
  return posix_memalign(&p, align, size ? size : 1) == 0 ? p : nullptr;
}

}  // namespace

void *operator new(size_t size) {
  void *p = allocate(size);
  if (!p) out_of_memory();
  return p;
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return allocate(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return allocate(size); }

void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { free(p); }

// Over-aligned types (alignas above the malloc guarantee) use these.
void *operator new(size_t size, std::align_val_t align) {
  void *p = allocate_aligned(size, static_cast<size_t>(align));
  if (!p) out_of_memory();
  return p;
}
void *operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void *operator new(size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
  return allocate_aligned(size, static_cast<size_t>(align));
}
void *operator new[](size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
  return allocate_aligned(size, static_cast<size_t>(align));
}
void operator delete(void *p, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { free(p); }

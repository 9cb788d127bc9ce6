#include <pthread.h>

#include "platform/thread_start.h"

const char kStartThreadCall[] = "pthread_create";

namespace {

void* runThread(void* run) {
  reinterpret_cast<void (*)()>(run)();
  return nullptr;
}

}  // namespace

int startThread(void (*run)(), std::size_t stackSize) {
  pthread_attr_t attributes;
  // glibc's attribute calls fail only on values out of range, which these are not.
  (void)pthread_attr_init(&attributes);
  (void)pthread_attr_setstacksize(&attributes, stackSize);
  (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int code = pthread_create(&thread, &attributes, runThread, reinterpret_cast<void*>(run));
  pthread_attr_destroy(&attributes);
  return code;
}

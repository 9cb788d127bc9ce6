#include <windows.h>

#include "platform/thread_start.h"

const char kStartThreadCall[] = "CreateThread";

namespace {

DWORD WINAPI runThread(LPVOID run) {
  reinterpret_cast<void (*)()>(run)();
  return 0;
}

}  // namespace

int startThread(void (*run)(), std::size_t stackSize) {
  const HANDLE thread = CreateThread(nullptr, stackSize, runThread, reinterpret_cast<LPVOID>(run),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return static_cast<int>(GetLastError());
  CloseHandle(thread);
  return 0;
}

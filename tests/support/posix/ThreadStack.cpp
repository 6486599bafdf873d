#include <pthread.h>

#include "tests/support/Faults.h"

namespace {

void* CallFunction(void* fn) {
  reinterpret_cast<void (*)()>(fn)();
  return nullptr;
}

}  // namespace

void RunOnThreadWithStack(std::size_t bytes, void (*fn)()) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, bytes);
  pthread_t thread{};
  if (pthread_create(&thread, &attributes, &CallFunction, reinterpret_cast<void*>(fn)) == 0)
    pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

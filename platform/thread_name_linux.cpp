#include <pthread.h>

#include <cstring>

#include "platform/thread_name.h"

namespace ferro {

void NameCurrentThread(const char* name) {
  char cut[16] = {};
  std::strncpy(cut, name, sizeof cut - 1);
  pthread_setname_np(pthread_self(), cut);
}

}  // namespace ferro

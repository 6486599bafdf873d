#include "platform/Clock.h"

#include <ctime>

namespace tamsel::platform {

std::string LocalDateAndTime(std::chrono::system_clock::time_point moment) {
  // The 64-bit form by name: both C runtimes' headers declare it, not both localtime_s.
  const __time64_t seconds = std::chrono::system_clock::to_time_t(moment);
  std::tm local{};
  char text[32];
  if (_localtime64_s(&local, &seconds) != 0 ||
      std::strftime(text, sizeof(text), "%m/%d/%y %H:%M", &local) == 0) {
    return "an unknown time";
  }
  return text;
}

}  // namespace tamsel::platform

#include "platform/Clock.h"

#include <ctime>

namespace tamsel::platform {

std::string LocalDateAndTime(std::chrono::system_clock::time_point moment) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
  std::tm local{};
  char text[32];
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof(text), "%m/%d/%y %H:%M", &local) == 0) {
    return "an unknown time";
  }
  return text;
}

}  // namespace tamsel::platform

#include "tests/support/CaptureSink.h"

#include <regex>

std::vector<CaptureSink::Entry> CaptureSink::Entries() {
  static const std::regex kLine(R"(^\d\d/\d\d/\d\d \d\d:\d\d \[[^\]]*\]\[([a-z]+)\] (.*)\r?\n$)");
  std::vector<Entry> entries;
  for (const std::string& line : Lines()) {
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      entries.push_back({match[1], match[2]});
    } else {
      entries.push_back({"unparsed", line});
    }
  }
  return entries;
}

std::vector<std::string> CaptureSink::Logged() {
  std::vector<std::string> lines;
  for (const Entry& entry : Entries())
    lines.push_back(entry.level + "|" + entry.message);
  return lines;
}

bool CaptureSink::Contains(const std::string& text) {
  for (const Entry& entry : Entries()) {
    if (entry.message.find(text) != std::string::npos) return true;
  }
  return false;
}

int CaptureSink::CountOf(const std::string& level, const std::string& message) {
  int count = 0;
  for (const Entry& entry : Entries()) {
    if (entry.level == level && entry.message == message) ++count;
  }
  return count;
}

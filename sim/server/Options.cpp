#include "sim/server/Options.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace SimServer {
namespace {

double ParseNumber(const std::string& option, const std::string& text, double low, double high) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || !std::isfinite(value) || value < low || value > high) {
    std::ostringstream message;
    message << option << " takes a number from " << low << " to " << high << ", not \"" << text
            << "\"";
    throw std::invalid_argument(message.str());
  }
  return value;
}

int ParseWhole(const std::string& option, const std::string& text, int low, int high) {
  const double value = ParseNumber(option, text, low, high);
  if (value != std::floor(value)) {
    throw std::invalid_argument(option + " takes a whole number, not \"" + text + "\"");
  }
  return static_cast<int>(value);
}

SaveFailure ParseFailure(const std::string& text) {
  if (text == "none") return SaveFailure::None;
  if (text == "throw") return SaveFailure::Throw;
  if (text == "crash") return SaveFailure::Crash;
  throw std::invalid_argument("--fail takes none, throw or crash, not \"" + text + "\"");
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size()) throw std::invalid_argument(option + " needs a value");
      return arguments[++i];
    };
    if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--dir") {
      options.serverDir = std::filesystem::u8path(value());
    } else if (option == "--seconds") {
      options.seconds = ParseNumber(option, value(), 0.1, 86400);
    } else if (option == "--saves") {
      options.saves = ParseWhole(option, value(), 1, 100000);
    } else if (option == "--save-interval") {
      options.saveIntervalSeconds = ParseNumber(option, value(), 0.01, 3600);
    } else if (option == "--world-mb") {
      options.worldMegabytes = static_cast<std::size_t>(ParseWhole(option, value(), 1, 16384));
    } else if (option == "--tick-rate") {
      options.tickRate = ParseNumber(option, value(), 1, 1000);
    } else if (option == "--slow-disk-ms") {
      options.slowDiskMsPerMegabyte = ParseWhole(option, value(), 0, 10000);
    } else if (option == "--fail") {
      options.failure = ParseFailure(value());
    } else if (option == "--no-plugins") {
      options.loadPlugins = false;
    } else if (option == "--no-final-save") {
      options.finalSave = false;
    } else if (option == "--exit-with") {
      const std::string& way = value();
      if (way == "return") {
        options.exitWith = Options::ExitWith::Return;
      } else if (way == "exit") {
        options.exitWith = Options::ExitWith::Exit;
      } else if (way == "exit-process") {
        options.exitWith = Options::ExitWith::ExitProcess;
      } else {
        throw std::invalid_argument("--exit-with takes return, exit or exit-process, not \"" + way +
                                    "\"");
      }
    } else if (option == "--csv") {
      options.csvFile = std::filesystem::u8path(value());
    } else if (option == "--svg") {
      options.svgFile = std::filesystem::u8path(value());
    } else if (option == "--compare") {
      options.compareDirs.push_back(std::filesystem::u8path(value()));
      options.compareDirs.push_back(std::filesystem::u8path(value()));
    } else if (option == "--verify") {
      options.verifyFile = std::filesystem::u8path(value());
    } else {
      throw std::invalid_argument("unknown option \"" + option + "\" (see --help)");
    }
  }
  return options;
}

std::string Usage() {
  return R"(Usage: dravik-server [options]

A stand-in dedicated game server: runs a game loop, asks for a world save every few seconds
through the host loader, and reports how long its loop stalled. Plug-ins are loaded from
<server dir>/VelkorApi/Plugins/<Name>/<Name>.so (.dll on Windows).

Options:
  --dir PATH           server directory, must exist (default: the current directory)
  --seconds S          how long to run (default 10)
  --saves N            stop once N save requests have been made (refused ones count too)
                       and every save that started has ended, instead
  --save-interval S    seconds between save requests (default 2)
  --world-mb N         world size in MiB; a larger world takes longer to save (default 256)
  --tick-rate HZ       game loop ticks per second (default 30)
  --slow-disk-ms N     extra milliseconds per MiB saved, like a slow disk (default 0)
  --fail MODE          make every save fail: none, throw or crash (default none)
  --no-plugins         run without loading any plug-in
  --no-final-save      end without the final save (by default, as soon as the run is over,
                       whatever save is running, one more save is asked for through the
                       routine, the reports are written and the server ends at once, as a
                       real server shuts down)
  --exit-with HOW      how the server ends: return (from main, the default), exit (the C
                       library's exit()) or exit-process (Windows' ExitProcess; exit()
                       elsewhere)
  --csv FILE           tick times as CSV (default <server dir>/ticks.csv)
  --svg FILE           chart of the tick times (default <server dir>/ticks.svg)
  --verify FILE        check that a world save is complete and say which save of its run
                       wrote it and which request it answers, then exit
  --compare DIR1 DIR2  chart two runs on the same world, one without and one with the plug-in
                       (in either order): writes compare.svg and compare.html into --dir,
                       then exits
  --help               show this text

Writes world.sav, server.log, summary.txt and saves.csv into the server directory.
)";
}

}  // namespace SimServer
